#pragma once
// The "Misc." page of the settings sheet (placeholder until it is built).

#include "shell/OptionsPage.h"

class CMiscPg : public COptionsPage {
    Q_OBJECT

public:
    explicit CMiscPg(OptionsContext context, QWidget* parent = nullptr);
    void Apply() override;

protected:
    void Load() override;
};
