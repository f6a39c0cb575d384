#pragma once
// The "IP Access" page of the settings sheet (placeholder until it is built).

#include "shell/OptionsPage.h"

class CIpAccessPg : public COptionsPage {
    Q_OBJECT

public:
    explicit CIpAccessPg(OptionsContext context, QWidget* parent = nullptr);
    void Apply() override;

protected:
    void Load() override;
};
