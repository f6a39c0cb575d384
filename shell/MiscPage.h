#pragma once
// The "Misc." page: the administrator's address for the status reply, the welcome file, and
// the power scheme.

#include "shell/OptionsPage.h"

class QComboBox;
class QLineEdit;

class CMiscPg : public COptionsPage {
    Q_OBJECT

public:
    explicit CMiscPg(OptionsContext context, QWidget* parent = nullptr);
    void Apply() override;

protected:
    void Load() override;

private:
    QLineEdit *email_, *welcome_;
    QComboBox* power_;
};
