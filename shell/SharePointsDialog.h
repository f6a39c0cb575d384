#pragma once
// The System page's "Share points" dialog: the folders clients see beside "pub", each with
// the users' rights or read-only, and whether each named user has a folder of their own that
// "pub" stands for. Nothing is stored here: the page stores what the dialog was closed with.

#include <QDialog>
#include <vector>

#include "config/ShareStore.h"

class QCheckBox;
class QTableWidget;

class CSharePointsDialog : public QDialog {
    Q_OBJECT

public:
    CSharePointsDialog(const std::vector<StoredShare>& shares, bool homes, QWidget* parent);

    std::vector<StoredShare> Shares() const { return shares_; }
    bool Homes() const { return homes_; }

    void AddRow(const StoredShare& share);
    QTableWidget* Table() const { return table_; }
    QCheckBox* HomesBox() const { return homesBox_; }
    // The rows as share points; a text saying what is wrong with the first bad one, or "".
    std::string ReadRows(std::vector<StoredShare>& shares) const;

    void accept() override;

private:
    void Browse();

    QTableWidget* table_;
    QCheckBox* homesBox_;
    std::vector<StoredShare> shares_;
    bool homes_;
};
