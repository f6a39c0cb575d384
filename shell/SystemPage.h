#pragma once
// The "System" page of the settings sheet (placeholder until it is built).

#include "shell/OptionsPage.h"

class CSystemPg : public COptionsPage {
    Q_OBJECT

public:
    explicit CSystemPg(OptionsContext context, QWidget* parent = nullptr);
    void Apply() override;

protected:
    void Load() override;
};
