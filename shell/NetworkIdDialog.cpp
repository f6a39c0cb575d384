#include "shell/NetworkIdDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "config/IpRules.h"

CNetworkIdDialog::CNetworkIdDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Network Identifier");
    address_ = new QLineEdit(this);
    address_->setObjectName("address");
    address_->setToolTip(
        "An IPv4 address such as 192.168.1.0 with a subnet mask, or an IPv6 "
        "address with a prefix length such as 2001:db8::/32");
    mask_ = new QLineEdit(this);
    mask_->setObjectName("mask");
    auto* form = new QFormLayout;
    form->addRow("Address :", address_);
    form->addRow("Subnet mask :", mask_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &CNetworkIdDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CNetworkIdDialog::reject);
    connect(address_, &QLineEdit::textChanged, this, &CNetworkIdDialog::UpdateOk);
    connect(mask_, &QLineEdit::textChanged, this, &CNetworkIdDialog::UpdateOk);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    UpdateOk();
}

QString CNetworkIdDialog::Address() const {
    return address_->text();
}

QString CNetworkIdDialog::Mask() const {
    return mask_->text();
}

void CNetworkIdDialog::UpdateOk() {
    std::string address = address_->text().toStdString();
    // An IPv6 rule carries its prefix length in the address ("2001:db8::/32") and no mask.
    bool ipv6 = IsIpv6RuleText(address);
    mask_->setEnabled(!ipv6);
    if (ipv6) {
        if (!mask_->text().isEmpty()) mask_->clear();  // comes back here through textChanged
        Address6 parsed{};
        int prefix = 0;
        ok_->setEnabled(ParsePrefix6(address, parsed, prefix));
        return;
    }
    ok_->setEnabled(IsAddressText(address) && IsAddressText(mask_->text().toStdString()));
}
