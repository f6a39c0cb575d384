#pragma once
// The "Users" page: the named accounts and the anonymous login's rights. Unlike every other
// page, an account change is written to the password file at once, not at OK, so Cancel keeps
// it; the anonymous settings wait for OK like the rest.

#include <array>

#include "shell/OptionsPage.h"

class QCheckBox;
class QPushButton;
class QTreeWidget;

class CUserPg : public COptionsPage {
    Q_OBJECT

public:
    explicit CUserPg(OptionsContext context, QWidget* parent = nullptr);
    void Apply() override;

protected:
    void Load() override;

private:
    void OnNew();
    void OnEdit();
    void OnDelete();
    // The row that Edit and Delete act on: the one selected row, or -1.
    int SelectedRow() const;
    bool Hashing() const;  // passwords are kept as hashes (SysPasswordHash)
    // After every account change: the file written (on failure the list goes back to what the
    // file holds), then the list shown again.
    void SaveAndRefill();
    void FillList();
    void UpdateEnabling();

    QTreeWidget* list_;
    QPushButton *new_, *edit_, *delete_;
    QCheckBox* anonymous_;
    // "W", "O", "D", "R", in the order of kAnonSettings.
    std::array<QCheckBox*, 4> permissions_;
};
