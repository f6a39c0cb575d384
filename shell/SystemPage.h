#pragma once
// The "System" page: the shared folder, the session limit and port, and the two time-outs.
// Each field is checked when it loses focus and again at OK, so that what reaches the store is
// always a clamped number or the value it held before.

#include <vector>

#include "config/ShareStore.h"
#include "shell/OptionsPage.h"

class QLineEdit;
class QToolButton;
class CSharePointsDialog;

class CSystemPg : public COptionsPage {
    Q_OBJECT

public:
    explicit CSystemPg(OptionsContext context, QWidget* parent = nullptr);
    ~CSystemPg() override;
    void Apply() override;
    // The dialog the button beside the root opens; null while it is closed.
    CSharePointsDialog* OpenSharePoints();

protected:
    void Load() override;

private:
    void CheckRoot();
    void CheckUsers();
    void CheckPort();
    // Inactivity and Login: digits only, else the stored value comes back.
    void CheckAtLeastOne(QLineEdit* field);

    QLineEdit *root_, *users_, *port_, *idle_, *logins_;
    QToolButton* shares_;
    // What the share points dialog was last closed with, stored at OK.
    std::vector<StoredShare> sharePoints_;
    bool homes_ = false;
    bool sharesChanged_ = false;
};
