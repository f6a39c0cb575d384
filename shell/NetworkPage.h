#pragma once
// The "Network" page of the settings sheet (placeholder until it is built).

#include "shell/OptionsPage.h"

class CConnectPg : public COptionsPage {
    Q_OBJECT

public:
    explicit CConnectPg(OptionsContext context, QWidget* parent = nullptr);
    void Apply() override;

protected:
    void Load() override;
};
