#pragma once
// The "Users" page of the settings sheet (placeholder until it is built).

#include "shell/OptionsPage.h"

class CUserPg : public COptionsPage {
    Q_OBJECT

public:
    explicit CUserPg(OptionsContext context, QWidget* parent = nullptr);
    void Apply() override;

protected:
    void Load() override;
};
