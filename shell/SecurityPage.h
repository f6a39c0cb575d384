#pragma once
// The "Security" page of the settings sheet (placeholder until it is built).

#include "shell/OptionsPage.h"

class CSecurityPg : public COptionsPage {
    Q_OBJECT

public:
    explicit CSecurityPg(OptionsContext context, QWidget* parent = nullptr);
    void Apply() override;

protected:
    void Load() override;
};
