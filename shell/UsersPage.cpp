#include "shell/UsersPage.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "config/AppSettings.h"
#include "config/SettingNames.h"
#include "config/ShellTexts.h"
#include "config/UserAccounts.h"
#include "shell/Messages.h"
#include "shell/ProfileDialog.h"

namespace {
constexpr const char* kAnonSettings[] = {"AnonWrite", setting::AnonOverwrite, "AnonDelete",
                                         "AnonRename"};
constexpr const char* kAnonLetters[] = {"W", "O", "D", "R"};
}  // namespace

CUserPg::CUserPg(OptionsContext context, QWidget* parent) : COptionsPage(context, "Users", parent) {
    list_ = new QTreeWidget(this);
    list_->setObjectName("Profiles");
    list_->setHeaderLabels({"Username"});
    // The column keeps its width rather than filling the list.
    list_->header()->setStretchLastSection(false);
    list_->setColumnWidth(0, 130);
    list_->setRootIsDecorated(false);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    new_ = new QPushButton("New", this);
    new_->setObjectName("new");
    edit_ = new QPushButton("Edit", this);
    edit_->setObjectName("edit");
    delete_ = new QPushButton("Delete", this);
    delete_->setObjectName("delete");

    auto* profiles = new QGroupBox("Profiles", this);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(new_);
    buttons->addWidget(edit_);
    buttons->addWidget(delete_);
    buttons->addStretch();
    auto* profilesLayout = new QHBoxLayout(profiles);
    profilesLayout->addWidget(list_);
    profilesLayout->addLayout(buttons);

    auto* anonymousGroup = new QGroupBox("Anonymous", this);
    anonymous_ = new QCheckBox("Allow 'anonymous' user", anonymousGroup);
    anonymous_->setObjectName(setting::SysAnonState);
    auto* permissionRow = new QHBoxLayout;
    permissionRow->addWidget(new QLabel("Perm. :", anonymousGroup));
    for (size_t i = 0; i < permissions_.size(); ++i) {
        permissions_[i] = new QCheckBox(kAnonLetters[i], anonymousGroup);
        permissions_[i]->setObjectName(kAnonSettings[i]);
        permissionRow->addWidget(permissions_[i]);
        connect(permissions_[i], &QCheckBox::toggled, this, &COptionsPage::SetModified);
    }
    permissionRow->addStretch();
    auto* anonymousLayout = new QVBoxLayout(anonymousGroup);
    anonymousLayout->addWidget(anonymous_);
    anonymousLayout->addLayout(permissionRow);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(profiles, 1);
    layout->addWidget(anonymousGroup);

    connect(anonymous_, &QCheckBox::toggled, this, [this] {
        UpdateEnabling();
        SetModified();
    });
    connect(new_, &QPushButton::clicked, this, &CUserPg::OnNew);
    connect(edit_, &QPushButton::clicked, this, &CUserPg::OnEdit);
    connect(delete_, &QPushButton::clicked, this, &CUserPg::OnDelete);
    UpdateEnabling();
}

void CUserPg::Load() {
    const CAppSettings& settings = context_.settings;
    anonymous_->setChecked(settings.GetBoolSetting(setting::SysAnonState));
    for (size_t i = 0; i < permissions_.size(); ++i)
        permissions_[i]->setChecked(settings.GetBoolSetting(kAnonSettings[i]));
    UpdateEnabling();
    FillList();
}

void CUserPg::UpdateEnabling() {
    for (QCheckBox* box : permissions_) box->setEnabled(anonymous_->isChecked());
}

void CUserPg::FillList() {
    list_->clear();
    for (const UserAccount& account : context_.users.Users())
        list_->addTopLevelItem(new QTreeWidgetItem({QString::fromStdString(account.name)}));
}

bool CUserPg::Hashing() const {
    return context_.settings.GetBoolSetting(setting::SysPasswordHash);
}

int CUserPg::SelectedRow() const {
    QList<QTreeWidgetItem*> selected = list_->selectedItems();
    if (selected.size() != 1) return -1;
    int row = list_->indexOfTopLevelItem(selected.front());
    return row < static_cast<int>(context_.users.Users().size()) ? row : -1;
}

void CUserPg::OnNew() {
    CProfileDialog dialog(UserAccount{}, Hashing(), this);
    if (dialog.exec() != QDialog::Accepted) return;
    context_.users.Users().push_back(dialog.Account());
    SaveAndRefill();
}

void CUserPg::OnEdit() {
    int row = SelectedRow();
    if (row < 0) return;
    std::vector<UserAccount>& users = context_.users.Users();
    CProfileDialog dialog(users.at(row), Hashing(), this);
    if (dialog.exec() != QDialog::Accepted) return;
    users.at(row) = dialog.Account();
    SaveAndRefill();
}

void CUserPg::OnDelete() {
    int row = SelectedRow();
    if (row < 0) return;
    std::vector<UserAccount>& users = context_.users.Users();
    users.erase(users.begin() + row);
    SaveAndRefill();
}

void CUserPg::SaveAndRefill() {
    SetModified();
    std::string path = context_.settings.GetSetting(setting::PasswordFile);
    if (!context_.users.SaveUsers(path, Hashing())) {
        ShowMessage(this, QMessageBox::Critical, texts::kFailedToWritePasswordFile);
        context_.users.LoadUsers(path);
    }
    FillList();
}

void CUserPg::Apply() {
    CAppSettings& settings = context_.settings;
    settings.SetBoolSetting(setting::SysAnonState, anonymous_->isChecked());
    for (size_t i = 0; i < permissions_.size(); ++i)
        settings.SetBoolSetting(kAnonSettings[i], permissions_[i]->isChecked());
    settings.SaveSettings();
}
