#include "shell/SystemPage.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include "config/AppSettings.h"
#include "config/PageChecks.h"
#include "config/SettingNames.h"
#include "shell/SharePointsDialog.h"

namespace {
// A field named after the setting it edits.
QLineEdit* NewField(const char* setting, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(setting);
    return field;
}

// "label [field] unit" on one row of a group's grid.
void AddRow(QGridLayout* grid, int row, const QString& label, QLineEdit* field,
            const QString& unit = {}) {
    grid->addWidget(new QLabel(label), row, 0);
    grid->addWidget(field, row, 1);
    if (!unit.isEmpty()) grid->addWidget(new QLabel(unit), row, 2);
}
}  // namespace

CSystemPg::CSystemPg(OptionsContext context, QWidget* parent)
    : COptionsPage(context, "System", parent) {
    root_ = NewField(setting::SysRootFolder, this);
    users_ = NewField(setting::NetMaxConnection, this);
    port_ = NewField(setting::NetTcpPort, this);
    idle_ = NewField(setting::SysIdleTimeout, this);
    logins_ = NewField(setting::SysLoginAttempts, this);

    auto* directory = new QGroupBox("Directory", this);
    auto* directoryGrid = new QGridLayout(directory);
    AddRow(directoryGrid, 0, "Root :", root_);
    shares_ = new QToolButton(directory);
    shares_->setObjectName("SharePoints");
    shares_->setText("...");
    shares_->setToolTip("Share points beside \"pub\", and a folder of their own for each user");
    directoryGrid->addWidget(shares_, 0, 2);
    connect(shares_, &QToolButton::clicked, this, [this] {
        CSharePointsDialog* dialog = OpenSharePoints();
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->open();
    });

    auto* connection = new QGroupBox("Connection", this);
    auto* connectionGrid = new QGridLayout(connection);
    AddRow(connectionGrid, 0, "Users :", users_, "(Max. 64)");
    AddRow(connectionGrid, 1, "Port :", port_);

    auto* timeout = new QGroupBox("Timeout", this);
    auto* timeoutGrid = new QGridLayout(timeout);
    AddRow(timeoutGrid, 0, "Inactivity :", idle_, "secs");
    AddRow(timeoutGrid, 1, "Login :", logins_, "retries");

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(directory);
    layout->addWidget(connection);
    layout->addWidget(timeout);
    layout->addStretch();

    for (QLineEdit* field : {root_, users_, port_, idle_, logins_})
        connect(field, &QLineEdit::textEdited, this, &COptionsPage::SetModified);
    connect(root_, &QLineEdit::editingFinished, this, &CSystemPg::CheckRoot);
    connect(users_, &QLineEdit::editingFinished, this, &CSystemPg::CheckUsers);
    connect(port_, &QLineEdit::editingFinished, this, &CSystemPg::CheckPort);
    connect(idle_, &QLineEdit::editingFinished, this, [this] { CheckAtLeastOne(idle_); });
    connect(logins_, &QLineEdit::editingFinished, this, [this] { CheckAtLeastOne(logins_); });
}

CSystemPg::~CSystemPg() {
    // A field that has the focus loses it while the widget base destroys the children, after
    // this page is gone: its check must not run then.
    for (QLineEdit* field : {root_, users_, port_, idle_, logins_}) field->disconnect(this);
}

void CSystemPg::Load() {
    const CAppSettings& settings = context_.settings;
    for (QLineEdit* field : {root_, users_, port_, idle_, logins_})
        field->setText(
            QString::fromStdString(settings.GetSetting(field->objectName().toStdString())));
    sharePoints_ = ReadStoredShares(settings);
    homes_ = settings.GetBoolSetting(setting::SysFsMapHome);
    sharesChanged_ = false;
}

CSharePointsDialog* CSystemPg::OpenSharePoints() {
    auto* dialog = new CSharePointsDialog(sharePoints_, homes_, this);
    connect(dialog, &QDialog::accepted, this, [this, dialog] {
        if (dialog->Shares() == sharePoints_ && dialog->Homes() == homes_) return;
        sharePoints_ = dialog->Shares();
        homes_ = dialog->Homes();
        sharesChanged_ = true;
        SetModified();
    });
    return dialog;
}

void CSystemPg::CheckRoot() {
    if (auto folder = CheckRootFolder(root_->text().toStdString()))
        root_->setText(QString::fromStdString(*folder));
    else
        root_->setText(
            QString::fromStdString(context_.settings.GetSetting(setting::SysRootFolder)));
}

void CSystemPg::CheckUsers() {
    // The clamp is for what a person types here: a larger pool set from the command line
    // stays as stored unless the field is changed.
    std::string text = users_->text().toStdString();
    if (text == context_.settings.GetSetting(setting::NetMaxConnection)) return;
    users_->setText(QString::number(ClampMaxConnections(text)));
}

void CSystemPg::CheckPort() {
    port_->setText(QString::number(ClampPort(port_->text().toStdString())));
}

void CSystemPg::CheckAtLeastOne(QLineEdit* field) {
    if (auto value = ReadDigitsAtLeastOne(field->text().toStdString()))
        field->setText(QString::number(*value));
    else
        field->setText(QString::fromStdString(
            context_.settings.GetSetting(field->objectName().toStdString())));
}

void CSystemPg::Apply() {
    // A field still holding focus has not been checked yet.
    CheckRoot();
    CheckUsers();
    CheckPort();
    CheckAtLeastOne(idle_);
    CheckAtLeastOne(logins_);
    CAppSettings& settings = context_.settings;
    for (QLineEdit* field : {root_, users_, port_, idle_, logins_})
        settings.SetSetting(field->objectName().toStdString(), field->text().toStdString());
    if (!sharesChanged_) {
        settings.SaveSettings();
        return;
    }
    settings.SetBoolSetting(setting::SysFsMapHome, homes_);
    SaveStoredShares(settings, sharePoints_);  // the settings with them, in one write
    sharesChanged_ = false;
}
