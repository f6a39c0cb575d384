#include "shell/MiscPage.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "config/AppSettings.h"
#include "config/PageChecks.h"
#include "config/SettingNames.h"

CMiscPg::CMiscPg(OptionsContext context, QWidget* parent) : COptionsPage(context, "Misc.", parent) {
    email_ = new QLineEdit(this);
    email_->setObjectName(setting::SysAdminEmail);
    welcome_ = new QLineEdit(this);
    welcome_->setObjectName(setting::SysWelcomeMsg);
    power_ = new QComboBox(this);
    power_->setObjectName(setting::PowerSaveOpt);
    for (const char* scheme : kPowerSchemes) power_->addItem(scheme);

    auto* administrator = new QGroupBox("Administrator", this);
    auto* administratorForm = new QFormLayout(administrator);
    administratorForm->addRow("Email :", email_);

    auto* welcome = new QGroupBox("Welcome Message", this);
    auto* welcomeForm = new QFormLayout(welcome);
    welcomeForm->addRow("Path :", welcome_);
    welcomeForm->addRow(new QLabel("NOTE: this file must be in ASCII text format.", welcome));

    auto* power = new QGroupBox("Power Save Scheme", this);
    auto* powerLayout = new QVBoxLayout(power);
    powerLayout->addWidget(power_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(administrator);
    layout->addWidget(welcome);
    layout->addWidget(power);
    layout->addStretch();

    connect(email_, &QLineEdit::textEdited, this, &COptionsPage::SetModified);
    connect(welcome_, &QLineEdit::textEdited, this, &COptionsPage::SetModified);
    connect(power_, &QComboBox::activated, this, &COptionsPage::SetModified);
}

void CMiscPg::Load() {
    const CAppSettings& settings = context_.settings;
    email_->setText(QString::fromStdString(settings.GetSetting(setting::SysAdminEmail)));
    welcome_->setText(QString::fromStdString(settings.GetSetting(setting::SysWelcomeMsg)));
    int scheme = settings.GetIntSetting(setting::PowerSaveOpt);
    // A negative scheme shows the first; one beyond the list shows none, which OK stores as 0.
    if (scheme < 0) scheme = 0;
    power_->setCurrentIndex(scheme < power_->count() ? scheme : -1);
}

void CMiscPg::Apply() {
    CAppSettings& settings = context_.settings;
    settings.SetSetting(setting::SysAdminEmail, email_->text().toStdString());
    settings.SetSetting(setting::SysWelcomeMsg, welcome_->text().toStdString());
    int scheme = power_->currentIndex();
    settings.SetIntSetting(setting::PowerSaveOpt, scheme < 0 ? 0 : scheme);
    settings.SaveSettings();
}
