#include "shell/StatusView.h"

#include <unistd.h>

#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "net/HostAddress.h"
#include "net/SocketEngine.h"
#include "shell/StatusIcons.h"

namespace {
constexpr int kRoleSecure = Qt::UserRole + 1;
}

CStatusView::CStatusView(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    group_ = new QGroupBox("Activity", this);
    auto* grid = new QGridLayout(group_);
    static const char* const kLabels[kFieldCount][3] = {{"Uptime :", "0 00:00:00", "d h:m:s"},
                                                        {"Sessions :", "0/0", "curr/tot"},
                                                        {"Xfers :", "0/0", "up/dn"},
                                                        {"Sent :", "0.00", "Mb"},
                                                        {"Recvd :", "0.00", "Mb"}};
    for (int i = 0; i < kFieldCount; ++i) {
        grid->addWidget(new QLabel(kLabels[i][0], group_), i, 0);
        fields_[i] = new QLineEdit(kLabels[i][1], group_);
        fields_[i]->setReadOnly(true);
        fields_[i]->setAlignment(Qt::AlignRight);
        fields_[i]->setFocusPolicy(Qt::NoFocus);
        grid->addWidget(fields_[i], i, 1);
        grid->addWidget(new QLabel(kLabels[i][2], group_), i, 2);
    }
    layout->addWidget(group_);

    list_ = new QTreeWidget(this);
    list_->setRootIsDecorated(false);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setHeaderLabels({"User", "Time", "Up/Dl", "Cmd"});
    list_->setIconSize(QSize(16, 16));
    static const int kWidths[] = {85, 40, 45, 160};
    for (int column = 0; column < 4; ++column) list_->setColumnWidth(column, kWidths[column]);
    list_->headerItem()->setTextAlignment(1, Qt::AlignRight);
    list_->headerItem()->setTextAlignment(2, Qt::AlignRight);
    layout->addWidget(list_, 1);
}

void CStatusView::SetCaption(const QString& caption) {
    group_->setTitle(caption);
}

void CStatusView::WriteField(int field, const std::string& text) {
    QString wanted = QString::fromStdString(text);
    if (fields_[field]->text() == wanted) return;
    fields_[field]->setText(wanted);
    ++writes_;
}

void CStatusView::Refresh(const StatusSnapshot& snapshot) {
    int r = 0;
    for (const StatusRow& row : snapshot.rows) {
        QTreeWidgetItem* item = list_->topLevelItem(r);
        if (!item) {
            item = new QTreeWidgetItem(list_);
            item->setTextAlignment(1, Qt::AlignRight);
            item->setTextAlignment(2, Qt::AlignRight);
        }
        const std::string* texts[] = {&row.user, &row.minutes, &row.counts, &row.command};
        for (int column = 0; column < 4; ++column) {
            QString wanted = QString::fromStdString(*texts[column]).left(255);
            if (item->text(column) != wanted) {
                item->setText(column, wanted);
                ++writes_;
            }
        }
        QString tip = row.root.empty() ? QString()
                                       : QString::fromStdString("\"pub\" is " + row.root);
        if (item->toolTip(0) != tip) item->setToolTip(0, tip);
        if (item->data(0, kRoleSecure).isNull() ||
            item->data(0, kRoleSecure).toBool() != row.secure) {
            item->setData(0, kRoleSecure, row.secure);
            item->setIcon(0, row.secure ? SecureClientIcon() : PlainClientIcon());
            ++writes_;
        }
        ++r;
    }
    while (list_->topLevelItemCount() > r) delete list_->takeTopLevelItem(r);
    WriteField(kUptime, snapshot.uptime);
    WriteField(kSessions, snapshot.sessions);
    WriteField(kXfers, snapshot.xfers);
    WriteField(kSent, snapshot.sent);
    WriteField(kReceived, snapshot.received);
}

void CStatusView::Clear() {
    list_->clear();
}

QString CStatusView::FieldText(int field) const {
    return fields_[field]->text();
}
int CStatusView::RowCount() const {
    return list_->topLevelItemCount();
}
QString CStatusView::CellText(int row, int column) const {
    QTreeWidgetItem* item = list_->topLevelItem(row);
    return item ? item->text(column) : QString();
}
QString CStatusView::UserTip(int row) const {
    QTreeWidgetItem* item = list_->topLevelItem(row);
    return item ? item->toolTip(0) : QString();
}
bool CStatusView::RowSecure(int row) const {
    QTreeWidgetItem* item = list_->topLevelItem(row);
    return item && item->data(0, kRoleSecure).toBool();
}

std::string HostAddressText() {
    return ReachableHostAddress(CSocketEngine::Instance().BindAddress());
}
