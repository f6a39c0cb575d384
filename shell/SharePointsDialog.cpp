#include "shell/SharePointsDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "config/PageChecks.h"
#include "platform/Text.h"

namespace {
enum Column { kName, kFolder, kReadOnly };
}

CSharePointsDialog::CSharePointsDialog(const std::vector<StoredShare>& shares, bool homes,
                                       QWidget* parent)
    : QDialog(parent), shares_(shares), homes_(homes) {
    setWindowTitle("Share points");
    auto* intro = new QLabel(
        "Clients see these folders beside \"pub\". A read-only one takes no changes, "
        "whatever a user's rights.",
        this);
    intro->setWordWrap(true);

    table_ = new QTableWidget(0, 3, this);
    table_->setHorizontalHeaderLabels({"Name", "Folder", "Read-only"});
    table_->horizontalHeader()->setSectionResizeMode(kFolder, QHeaderView::Stretch);
    table_->verticalHeader()->hide();
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    for (const StoredShare& share : shares) AddRow(share);

    auto* add = new QPushButton("&Add", this);
    auto* browse = new QPushButton("&Folder...", this);
    auto* remove = new QPushButton("&Remove", this);
    connect(add, &QPushButton::clicked, this, [this] {
        AddRow({"", "", false});
        table_->setCurrentCell(table_->rowCount() - 1, kName);
        table_->editItem(table_->item(table_->rowCount() - 1, kName));
    });
    connect(browse, &QPushButton::clicked, this, &CSharePointsDialog::Browse);
    connect(remove, &QPushButton::clicked, this, [this] {
        if (table_->currentRow() >= 0) table_->removeRow(table_->currentRow());
    });
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(add);
    buttons->addWidget(browse);
    buttons->addWidget(remove);
    buttons->addStretch();

    homesBox_ = new QCheckBox("Each named user has a folder of their own as \"pub\"", this);
    homesBox_->setObjectName("SysFsMapHome");
    homesBox_->setChecked(homes);

    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(box, &QDialogButtonBox::accepted, this, &CSharePointsDialog::accept);
    connect(box, &QDialogButtonBox::rejected, this, &CSharePointsDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(table_);
    layout->addLayout(buttons);
    layout->addWidget(homesBox_);
    layout->addWidget(box);
    resize(520, 320);
}

void CSharePointsDialog::AddRow(const StoredShare& share) {
    int row = table_->rowCount();
    table_->insertRow(row);
    table_->setItem(row, kName, new QTableWidgetItem(QString::fromStdString(share.name)));
    table_->setItem(row, kFolder, new QTableWidgetItem(QString::fromStdString(share.folder)));
    auto* readOnly = new QTableWidgetItem;
    readOnly->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    readOnly->setCheckState(share.readOnly ? Qt::Checked : Qt::Unchecked);
    table_->setItem(row, kReadOnly, readOnly);
}

void CSharePointsDialog::Browse() {
    int row = table_->currentRow();
    if (row < 0) return;
    QString folder = QFileDialog::getExistingDirectory(this, "Folder to share",
                                                       table_->item(row, kFolder)->text());
    if (!folder.isEmpty()) table_->item(row, kFolder)->setText(folder);
}

std::string CSharePointsDialog::ReadRows(std::vector<StoredShare>& shares) const {
    shares.clear();
    for (int row = 0; row < table_->rowCount(); ++row) {
        StoredShare share;
        share.name = table_->item(row, kName)->text().trimmed().toStdString();
        std::string typed = table_->item(row, kFolder)->text().trimmed().toStdString();
        share.readOnly = table_->item(row, kReadOnly)->checkState() == Qt::Checked;
        std::string where = "Row " + std::to_string(row + 1) + ": ";
        std::string problem = ShareNameProblem(share.name);
        if (!problem.empty()) return where + problem + ".";
        for (const StoredShare& earlier : shares)
            if (platform::EqualsIgnoreCase(earlier.name, share.name))
                return where + "\"" + share.name + "\" is there twice.";
        std::optional<std::string> folder =
            typed.empty() || typed[0] != '/' ? std::nullopt : CheckRootFolder(typed);
        if (!folder) return where + "the folder must be a whole path, such as /srv/docs.";
        share.folder = folder->back() == '/' ? *folder : *folder + "/";
        shares.push_back(share);
    }
    if (shares.size() > static_cast<size_t>(kMaxExtraShares))
        return "There can be at most " + std::to_string(kMaxExtraShares) + " share points.";
    return "";
}

void CSharePointsDialog::accept() {
    std::vector<StoredShare> shares;
    std::string problem = ReadRows(shares);
    if (!problem.empty()) {
        QMessageBox::warning(this, windowTitle(), QString::fromStdString(problem));
        return;
    }
    shares_ = shares;
    homes_ = homesBox_->isChecked();
    QDialog::accept();
}
