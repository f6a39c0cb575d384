#include "shell/ProfileDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QVBoxLayout>
#include <utility>

#include "config/PageChecks.h"

CProfileDialog::CProfileDialog(const UserAccount& account, bool hashing, QWidget* parent)
    : QDialog(parent), account_(account), hashing_(hashing) {
    setWindowTitle("Profile");
    name_ = new QLineEdit(QString::fromStdString(account.name), this);
    name_->setObjectName("name");
    // A plain password is shown as typed: the password file keeps it in plain text anyway.
    password_ = new QLineEdit(account.hashed ? QString() : QString::fromStdString(account.password),
                              this);
    password_->setObjectName("password");
    if (account.hashed) password_->setPlaceholderText("(unchanged)");
    if (hashing || account.hashed) password_->setEchoMode(QLineEdit::PasswordEchoOnEdit);
    connect(password_, &QLineEdit::textEdited, this, [this] { passwordTyped_ = true; });

    auto* identity = new QGroupBox("Identity", this);
    auto* form = new QFormLayout(identity);
    form->addRow("User :", name_);
    form->addRow("Password :", password_);

    auto* privileges = new QGroupBox("Privileges", this);
    auto* checks = new QVBoxLayout(privileges);
    auto check = [&](const char* label, const char* name, uint32_t bit) {
        auto* box = new QCheckBox(label, privileges);
        box->setObjectName(name);
        box->setChecked((account.rights & bit) != 0);
        checks->addWidget(box);
        return box;
    };
    write_ = check("Write (MKD/STOR/STOU/APPE)", "RightsWrite", RightsWrite);
    overwrite_ = check("Overwrite (STOR/APPE)", "RightsOverwrite", RightsOverwrite);
    delete_ = check("Delete (RMD/DELE)", "RightsDelete", RightsDelete);
    rename_ = check("Rename (RNFR/RNTO)", "RightsRename", RightsRename);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &CProfileDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CProfileDialog::reject);
    connect(name_, &QLineEdit::editingFinished, this, &CProfileDialog::CutName);
    connect(password_, &QLineEdit::editingFinished, this, &CProfileDialog::CutPassword);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(identity);
    layout->addWidget(privileges);
    layout->addWidget(buttons);
}

CProfileDialog::~CProfileDialog() {
    // The focused field loses its focus only when the widget base destroys it; no cut then.
    name_->disconnect(this);
    password_->disconnect(this);
}

void CProfileDialog::CutName() {
    name_->setText(QString::fromStdString(CutProfileName(name_->text().toStdString())));
}

void CProfileDialog::CutPassword() {
    password_->setText(
        QString::fromStdString(CutProfilePassword(password_->text().toStdString(), hashing_)));
}

void CProfileDialog::accept() {
    CutName();
    CutPassword();
    account_.name = name_->text().toStdString();
    if (!account_.hashed || passwordTyped_) {
        account_.password = password_->text().toStdString();
        account_.hashed = false;  // hashed when the list is saved, if hashing is on
    }
    const std::pair<QCheckBox*, uint32_t> bits[] = {{write_, RightsWrite},
                                                    {overwrite_, RightsOverwrite},
                                                    {delete_, RightsDelete},
                                                    {rename_, RightsRename}};
    for (const auto& [box, bit] : bits) {
        if (box->isChecked())
            account_.rights |= bit;
        else
            account_.rights &= ~bit;
    }
    QDialog::accept();
}
