#include "shell/SecurityPage.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "config/AppSettings.h"
#include "config/SettingNames.h"
#include "config/ShellTexts.h"
#include "platform/Folders.h"
#include "shell/CertWizard.h"
#include "shell/Messages.h"

CSecurityPg::CSecurityPg(OptionsContext context, QWidget* parent)
    : COptionsPage(context, "Security", parent), folder_(platform::ConfigDir()) {
    enable_ = new QCheckBox("Enable SSL/TLS", this);
    enable_->setObjectName(setting::SSLState);
    auto* intro = new QLabel("Enter or create a certificate for this server.", this);
    certFile_ = new QLineEdit(this);
    certFile_->setObjectName(setting::SSLCertFile);
    keyFile_ = new QLineEdit(this);
    keyFile_->setObjectName(setting::SSLKeyFile);
    passPhrase_ = new QLineEdit(this);
    passPhrase_->setObjectName(setting::SSLPassPhrase);
    passPhrase_->setEchoMode(QLineEdit::Password);
    reset_ = new QPushButton("Reset", this);
    create_ = new QPushButton("Create...", this);

    auto* form = new QFormLayout;
    auto* certLabel = new QLabel("Certificate filename :", this);
    auto* keyLabel = new QLabel("Private key filename :", this);
    auto* passLabel = new QLabel("Passphrase :", this);
    form->addRow(certLabel, certFile_);
    form->addRow(keyLabel, keyFile_);
    form->addRow(passLabel, passPhrase_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(reset_);
    buttons->addWidget(create_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(enable_);
    layout->addWidget(intro);
    layout->addLayout(form);
    layout->addLayout(buttons);
    layout->addStretch();
    dependents_ = {intro,     certLabel,   certFile_, keyLabel, keyFile_,
                   passLabel, passPhrase_, reset_,    create_};

    connect(enable_, &QCheckBox::toggled, this, [this] {
        UpdateEnabling();
        SetModified();
    });
    for (QLineEdit* edit : {certFile_, keyFile_, passPhrase_})
        connect(edit, &QLineEdit::textEdited, this, &COptionsPage::SetModified);
    connect(reset_, &QPushButton::clicked, this, &CSecurityPg::OnReset);
    connect(create_, &QPushButton::clicked, this, &CSecurityPg::OnCreate);
    UpdateEnabling();
}

void CSecurityPg::Load() {
    CAppSettings& settings = context_.settings;
    enable_->setChecked(settings.GetBoolSetting(setting::SSLState));
    certFile_->setText(QString::fromStdString(settings.GetSetting(setting::SSLCertFile)));
    keyFile_->setText(QString::fromStdString(settings.GetSetting(setting::SSLKeyFile)));
    passPhrase_->setText(QString::fromStdString(settings.GetSetting(setting::SSLPassPhrase)));
    UpdateEnabling();
}

void CSecurityPg::UpdateEnabling() {
    for (QWidget* widget : dependents_) widget->setEnabled(enable_->isChecked());
}

void CSecurityPg::OnReset() {
    certFile_->clear();
    keyFile_->clear();
    passPhrase_->clear();
    SetModified();
}

void CSecurityPg::OnCreate() {
    CreatedCertificate made;
    if (!RunCertificateWizard(this, folder_, made)) return;
    certFile_->setText(QString::fromStdString(made.paths.certificate));
    keyFile_->setText(QString::fromStdString(made.paths.key));
    passPhrase_->setText(QString::fromStdString(made.passPhrase));
    SetModified();
}

void CSecurityPg::Apply() {
    CAppSettings& settings = context_.settings;
    settings.SetBoolSetting(setting::SSLState, enable_->isChecked());
    settings.SetSetting(setting::SSLCertFile, certFile_->text().toStdString());
    settings.SetSetting(setting::SSLKeyFile, keyFile_->text().toStdString());
    settings.SetSetting(setting::SSLPassPhrase, passPhrase_->text().toStdString());
    settings.SaveSettings();
    ShowMessage(this, QMessageBox::Information, texts::kRestartForChanges);
}
