#pragma once
// The "IP Access" page: the default policy and its exceptions, at most 128 address/mask rows.
// The rows replace the stored rules at OK.

#include "shell/OptionsPage.h"

class QPushButton;
class QRadioButton;
class QTreeWidget;

class CIpAccessPg : public COptionsPage {
    Q_OBJECT

public:
    explicit CIpAccessPg(OptionsContext context, QWidget* parent = nullptr);
    void Apply() override;

protected:
    void Load() override;

private:
    void OnAdd();
    void OnDelete();
    void AddRow(const QString& address, const QString& mask);

    QRadioButton *accept_, *deny_;
    QTreeWidget* rules_;
    QPushButton *add_, *delete_;
};
