#include "shell/IpAccessPage.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "config/AppSettings.h"
#include "config/IpRules.h"
#include "config/PageChecks.h"
#include "config/SettingNames.h"
#include "config/ShellTexts.h"
#include "config/UserAccounts.h"
#include "shell/Messages.h"
#include "shell/NetworkIdDialog.h"

CIpAccessPg::CIpAccessPg(OptionsContext context, QWidget* parent)
    : COptionsPage(context, "IP Access", parent) {
    accept_ = new QRadioButton("Accept", this);
    accept_->setObjectName("accept");
    deny_ = new QRadioButton("Deny", this);
    deny_->setObjectName("deny");
    auto* policy = new QButtonGroup(this);
    policy->addButton(accept_);
    policy->addButton(deny_);
    accept_->setChecked(true);

    rules_ = new QTreeWidget(this);
    rules_->setObjectName("rules");
    rules_->setHeaderLabels({"IP address", "Subnet mask"});
    // The columns keep their widths rather than filling the list.
    rules_->header()->setStretchLastSection(false);
    rules_->setColumnWidth(0, 110);
    rules_->setColumnWidth(1, 110);
    rules_->setRootIsDecorated(false);
    rules_->setSelectionMode(QAbstractItemView::SingleSelection);
    add_ = new QPushButton("Add", this);
    add_->setObjectName("add");
    delete_ = new QPushButton("Delete", this);
    delete_->setObjectName("delete");

    auto* policyRow = new QHBoxLayout;
    policyRow->addWidget(accept_);
    policyRow->addWidget(deny_);
    policyRow->addStretch();
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(add_);
    buttons->addWidget(delete_);
    buttons->addStretch();
    auto* listRow = new QHBoxLayout;
    listRow->addWidget(rules_);
    listRow->addLayout(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("Select the default access control policy:", this));
    layout->addLayout(policyRow);
    layout->addWidget(new QLabel("Filter the following addresses :", this));
    layout->addLayout(listRow, 1);

    connect(accept_, &QRadioButton::toggled, this, &COptionsPage::SetModified);
    connect(add_, &QPushButton::clicked, this, &CIpAccessPg::OnAdd);
    connect(delete_, &QPushButton::clicked, this, &CIpAccessPg::OnDelete);
}

void CIpAccessPg::Load() {
    const CAppSettings& settings = context_.settings;
    (settings.GetBoolSetting(setting::NetPolicy) ? accept_ : deny_)->setChecked(true);
    rules_->clear();
    for (const StoredIpRule& rule : ReadStoredIpRules(settings))
        AddRow(QString::fromStdString(rule.address), QString::fromStdString(rule.mask));
}

void CIpAccessPg::AddRow(const QString& address, const QString& mask) {
    rules_->addTopLevelItem(new QTreeWidgetItem({address, mask}));
}

void CIpAccessPg::OnAdd() {
    if (!CanAddIpRule(rules_->topLevelItemCount())) {
        ShowMessage(this, QMessageBox::Critical, texts::kMaximumRulesReached);
        return;
    }
    CNetworkIdDialog dialog(this);
    if (dialog.exec() != QDialog::Accepted) return;
    AddRow(dialog.Address(), dialog.Mask());
    SetModified();
}

void CIpAccessPg::OnDelete() {
    QList<QTreeWidgetItem*> selected = rules_->selectedItems();
    if (selected.isEmpty()) return;
    delete selected.front();
    SetModified();
}

void CIpAccessPg::Apply() {
    CAppSettings& settings = context_.settings;
    settings.SetBoolSetting(setting::NetPolicy, accept_->isChecked());
    std::vector<StoredIpRule> rules;
    for (int i = 0; i < rules_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = rules_->topLevelItem(i);
        rules.push_back({CutToUnits(row->text(0).toStdString(), kRuleTextMax),
                         CutToUnits(row->text(1).toStdString(), kRuleTextMax)});
    }
    SaveStoredIpRules(settings, rules);
    settings.SaveSettings();
}
