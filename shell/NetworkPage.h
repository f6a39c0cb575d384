#pragma once
// The "Network" page: the external address announced in passive replies, and the deflate mode
// with its three levels.

#include <array>
#include <vector>

#include "shell/OptionsPage.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QSlider;

class CConnectPg : public COptionsPage {
    Q_OBJECT

public:
    explicit CConnectPg(OptionsContext context, QWidget* parent = nullptr);
    void Apply() override;

protected:
    void Load() override;

private:
    void UpdateEnabling();

    QCheckBox* fixIp_;
    QLabel* fixIpText_;
    QLineEdit* fixIpAddress_;
    QCheckBox* deflate_;
    // Compress, Memory, Window; each with its labels, which follow the deflate check too.
    std::array<QSlider*, 3> sliders_;
    std::vector<QWidget*> deflateDependents_;
};
