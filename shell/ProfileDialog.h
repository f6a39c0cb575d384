#pragma once
// The "Profile" dialog: one account's name, password and rights. The name and the password are
// cut to what the password file holds whenever a field is left and at OK (8 characters for a
// password, 128 when passwords are kept as hashes); nothing else is checked, so empty and
// repeated names are accepted. A password kept as a hash is never shown: its field starts
// empty and, left untouched, keeps the stored hash.

#include <QDialog>

#include "config/UserAccounts.h"

class QCheckBox;
class QLineEdit;

class CProfileDialog : public QDialog {
    Q_OBJECT

public:
    explicit CProfileDialog(const UserAccount& account, bool hashing = false,
                            QWidget* parent = nullptr);
    ~CProfileDialog() override;

    // The account as accepted (valid after OK).
    const UserAccount& Account() const { return account_; }

    void accept() override;

private:
    void CutName();
    void CutPassword();

    UserAccount account_;
    bool hashing_;
    bool passwordTyped_ = false;
    QLineEdit *name_, *password_;
    QCheckBox *write_, *overwrite_, *delete_, *rename_;
};
