#include "shell/NetworkPage.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QVBoxLayout>

#include "config/AppSettings.h"
#include "config/PageChecks.h"
#include "config/SettingNames.h"

namespace {
struct SliderInfo {
    const char* label;
    const char* setting;
    int minimum, maximum;
};
constexpr SliderInfo kSliders[] = {
    {"Compress", setting::SysDeflComprLevel, kCompressLevelMin, kCompressLevelMax},
    {"Memory", setting::SysDeflMemLevel, kMemoryLevelMin, kMemoryLevelMax},
    {"Window", setting::SysDeflWindowSize, kWindowBitsMin, kWindowBitsMax},
};
}  // namespace

CConnectPg::CConnectPg(OptionsContext context, QWidget* parent)
    : COptionsPage(context, "Network", parent) {
    auto* firewall = new QGroupBox("Firewall Options", this);
    fixIp_ = new QCheckBox("Fix IP Address", firewall);
    fixIp_->setObjectName(setting::NetFixIPState);
    fixIpText_ =
        new QLabel("Enter the external IP address that maps to your FTP server:", firewall);
    fixIpText_->setWordWrap(true);
    fixIpAddress_ = new QLineEdit(firewall);
    fixIpAddress_->setObjectName(setting::NetFixIPAddress);
    auto* firewallLayout = new QVBoxLayout(firewall);
    firewallLayout->addWidget(fixIp_);
    firewallLayout->addWidget(fixIpText_);
    firewallLayout->addWidget(fixIpAddress_);

    deflate_ = new QCheckBox("Enable 'deflate' mode", this);
    deflate_->setObjectName(setting::SysDeflateState);
    auto* sliderGrid = new QGridLayout;
    for (size_t i = 0; i < sliders_.size(); ++i) {
        const SliderInfo& info = kSliders[i];
        auto* slider = new QSlider(Qt::Vertical, this);
        slider->setObjectName(info.setting);
        slider->setRange(info.minimum, info.maximum);
        slider->setTickPosition(QSlider::TicksRight);
        slider->setPageStep(1);
        // The lowest level at the top, and the arrow keys moving the handle the way they point.
        slider->setInvertedAppearance(true);
        slider->setInvertedControls(true);
        sliders_[i] = slider;
        auto* label = new QLabel(info.label, this);
        auto* min = new QLabel("Min.", this);
        auto* max = new QLabel("Max.", this);
        int column = static_cast<int>(i);
        sliderGrid->addWidget(label, 0, column, Qt::AlignHCenter);
        sliderGrid->addWidget(min, 1, column, Qt::AlignHCenter);
        sliderGrid->addWidget(slider, 2, column, Qt::AlignHCenter);
        sliderGrid->addWidget(max, 3, column, Qt::AlignHCenter);
        deflateDependents_.insert(deflateDependents_.end(), {label, min, slider, max});
        connect(slider, &QSlider::valueChanged, this, &COptionsPage::SetModified);
    }

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(firewall);
    layout->addWidget(deflate_);
    layout->addLayout(sliderGrid);
    layout->addStretch();

    connect(fixIpAddress_, &QLineEdit::textEdited, this, &COptionsPage::SetModified);
    for (QCheckBox* check : {fixIp_, deflate_}) {
        connect(check, &QCheckBox::toggled, this, [this] {
            UpdateEnabling();
            SetModified();
        });
    }
    UpdateEnabling();
}

void CConnectPg::Load() {
    const CAppSettings& settings = context_.settings;
    fixIp_->setChecked(settings.GetBoolSetting(setting::NetFixIPState));
    fixIpAddress_->setText(QString::fromStdString(settings.GetSetting(setting::NetFixIPAddress)));
    deflate_->setChecked(settings.GetBoolSetting(setting::SysDeflateState));
    // A stored level outside its range shows at the nearest end.
    for (size_t i = 0; i < sliders_.size(); ++i)
        sliders_[i]->setValue(settings.GetIntSetting(kSliders[i].setting));
    UpdateEnabling();
}

void CConnectPg::UpdateEnabling() {
    fixIpText_->setEnabled(fixIp_->isChecked());
    fixIpAddress_->setEnabled(fixIp_->isChecked());
    for (QWidget* widget : deflateDependents_) widget->setEnabled(deflate_->isChecked());
}

void CConnectPg::Apply() {
    CAppSettings& settings = context_.settings;
    // Stored as typed: the engine announces whatever is here.
    settings.SetSetting(setting::NetFixIPAddress, fixIpAddress_->text().toStdString());
    settings.SetBoolSetting(setting::NetFixIPState, fixIp_->isChecked());
    for (size_t i = 0; i < sliders_.size(); ++i)
        settings.SetIntSetting(kSliders[i].setting, sliders_[i]->value());
    settings.SetBoolSetting(setting::SysDeflateState, deflate_->isChecked());
    settings.SaveSettings();
}
