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
    ok_->setEnabled(IsAddressText(address_->text().toStdString()) &&
                    IsAddressText(mask_->text().toStdString()));
}
