// The Users page and the Profile dialog.

#include <gtest/gtest.h>

#include <cstdlib>

#include <QCheckBox>
#include <QPushButton>
#include <QTreeWidget>

#include "config/AppSettings.h"
#include "config/ShellTexts.h"
#include "config/UserAccounts.h"
#include "shell/PageFixture.h"
#include "shell/ProfileDialog.h"
#include "shell/UsersPage.h"

namespace {

class UsersPageTest : public PageTest<CUserPg> {
protected:
    void SetUp() override {
        PageTest::SetUp();
        path_ = (dir_ / "users.dat").string();
        Settings().SetSetting("PasswordFile", path_);
    }
    // The accounts in memory and in the file, then the page.
    void OpenWith(const std::vector<UserAccount>& accounts) {
        app_.Users().Users() = accounts;
        ASSERT_TRUE(app_.Users().SaveUsers(path_));
        Open();
    }
    QTreeWidget* List() const { return Find<QTreeWidget>("Profiles"); }
    void Select(std::initializer_list<int> rows) const {
        List()->clearSelection();
        for (int row : rows) List()->topLevelItem(row)->setSelected(true);
    }
    QStringList Shown() const {
        QStringList names;
        for (int i = 0; i < List()->topLevelItemCount(); ++i)
            names << List()->topLevelItem(i)->text(0);
        return names;
    }
    std::vector<UserAccount> InFile() const {
        CUserList file;
        file.LoadUsers(path_);
        return file.Users();
    }
    // Clicks the button and fills in and accepts the Profile dialog it opens.
    void Profile(const char* button, const QString& name, const QString& password,
                 std::vector<const char*> toggle = {}) {
        WhenModal<CProfileDialog>([=](CProfileDialog* dialog) {
            dialog->findChild<QLineEdit*>("name")->setText(name);
            dialog->findChild<QLineEdit*>("password")->setText(password);
            for (const char* right : toggle) dialog->findChild<QCheckBox*>(right)->click();
            dialog->accept();
        });
        Find<QPushButton>(button)->click();
    }

    std::string path_;
};

using ProfileDialogTest = QtAppTest;

}  // namespace

TEST_F(UsersPageTest, NewEditAndDeleteWriteThePasswordFileAtOnce) {
    OpenWith({{"alice", "a", RightsWrite}});
    EXPECT_EQ(List()->columnWidth(0), 130);
    Profile("new", "bob", "b0b", {"RightsDelete", "RightsRename"});
    std::vector<UserAccount> expected = {{"alice", "a", RightsWrite},
                                         {"bob", "b0b", RightsDelete | RightsRename}};
    EXPECT_EQ(InFile(), expected);
    EXPECT_EQ(Shown(), QStringList({"alice", "bob"}));

    Select({0});
    Profile("edit", "alice2", "pw", {"RightsWrite", "RightsOverwrite"});
    expected[0] = {"alice2", "pw", RightsOverwrite};
    EXPECT_EQ(InFile(), expected);
    Select({1});
    EXPECT_TRUE(OpensDialog(Find<QPushButton>("edit")));
    EXPECT_EQ(InFile(), expected) << "Cancel changes nothing";

    Find<QPushButton>("delete")->click();
    expected.pop_back();
    EXPECT_EQ(InFile(), expected);
    EXPECT_EQ(app_.Users().Users(), expected);
    EXPECT_EQ(Shown(), QStringList({"alice2"}));
    EXPECT_TRUE(messages_.empty()) << "Delete does not ask";
}

TEST_F(UsersPageTest, EditAndDeleteNeedExactlyOneSelectedRow) {
    const std::vector<UserAccount> accounts = {{"alice", "a", 0}, {"bob", "b", 0}};
    OpenWith(accounts);
    for (auto rows : {std::initializer_list<int>{}, {0, 1}}) {
        Select(rows);
        EXPECT_FALSE(OpensDialog(Find<QPushButton>("edit")));
        Find<QPushButton>("delete")->click();
    }
    EXPECT_EQ(Shown(), QStringList({"alice", "bob"}));
    EXPECT_EQ(InFile(), accounts);
    EXPECT_TRUE(messages_.empty());
}

TEST_F(UsersPageTest, AFailedSaveSaysSoAndShowsWhatTheFileHolds) {
    OpenWith({{"alice", "a", 0}});
    // Under a regular file: no one, not even root, can write or read there.
    std::ofstream(dir_ / "afile") << "x";
    Settings().SetSetting("PasswordFile", (dir_ / "afile" / "users.dat").string());
    Profile("new", "bob", "b");
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0],
              std::make_pair(QMessageBox::Critical, QString(texts::kFailedToWritePasswordFile)));
    EXPECT_TRUE(app_.Users().Users().empty()) << "reloaded from the file";
    EXPECT_TRUE(Shown().isEmpty());
}

TEST_F(UsersPageTest, AnonymousRightsFollowTheAllowCheckAndAreWrittenAtOk) {
    Settings().SetSetting("AnonDelete", "false");
    Open();
    auto* allow = Find<QCheckBox>("SysAnonState");
    const char* rights[] = {"AnonWrite", "AnonOverwrite", "AnonDelete", "AnonRename"};
    for (const char* right : rights) EXPECT_TRUE(Find<QCheckBox>(right)->isEnabled());
    EXPECT_FALSE(Find<QCheckBox>("AnonDelete")->isChecked());
    Find<QCheckBox>("AnonWrite")->click();
    allow->click();
    for (const char* right : rights) EXPECT_FALSE(Find<QCheckBox>(right)->isEnabled());
    EXPECT_TRUE(page_->IsModified());
    EXPECT_EQ(Settings().GetSetting("SysAnonState"), "true") << "only at OK";
    page_->Apply();
    const std::pair<const char*, const char*> stored[] = {{"SysAnonState", "false"},
                                                          {"AnonWrite", "false"},
                                                          {"AnonOverwrite", "true"},
                                                          {"AnonDelete", "false"}};
    for (const auto& [name, text] : stored) EXPECT_TRUE(Saved(name, text)) << name;
}

TEST_F(ProfileDialogTest, NameAndPasswordAreCutWhenLeftAndAtOkAndShownCut) {
    CProfileDialog dialog({"old", "pw", RightsDelete | RightsRename});
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    auto* name = dialog.findChild<QLineEdit*>("name");
    auto* password = dialog.findChild<QLineEdit*>("password");
    EXPECT_EQ(password->echoMode(), QLineEdit::Normal);
    const QString longName = "abcdefghijklmnopqrstuvwxyz0123456789";
    TypeAndLeave(name, longName, password);
    EXPECT_EQ(name->text(), longName.left(32));
    TypeAndLeave(password, "123456789012", name);
    EXPECT_EQ(password->text(), "12345678");

    // At OK without leaving the field; characters, not bytes, are counted.
    name->setText(QString(40, QChar(0x00E9)));
    dialog.findChild<QCheckBox*>("RightsRename")->click();
    dialog.findChild<QCheckBox*>("RightsWrite")->click();
    dialog.accept();
    EXPECT_EQ(name->text(), QString(32, QChar(0x00E9)));
    EXPECT_EQ(dialog.Account(), UserAccount({QString(32, QChar(0x00E9)).toStdString(), "12345678",
                                             RightsDelete | RightsWrite}));

    CProfileDialog empty(UserAccount{});
    empty.accept();
    EXPECT_EQ(empty.result(), QDialog::Accepted) << "an empty name is accepted";
}

TEST_F(UsersPageTest, WithHashingLongPasswordsAreTakenAndNeverShownAgain) {
    Settings().SetSetting("SysPasswordHash", "true");
    OpenWith({{"alice", "a", RightsWrite}});
    const QString phrase = QString("correct horse battery staple ").repeated(4).trimmed();
    ASSERT_GT(phrase.size(), 100);
    WhenModal<CProfileDialog>([&](CProfileDialog* dialog) {
        auto* name = dialog->findChild<QLineEdit*>("name");
        auto* password = dialog->findChild<QLineEdit*>("password");
        TypeAndLeave(name, "carol", password);
        TypeAndLeave(password, phrase + QString(40, 'x'), name);
        EXPECT_EQ(password->text().size(), 128) << "cut at 128 characters, not 8";
        TypeAndLeave(password, phrase, name);
        if (const char* shots = std::getenv("QFTP_SCREENSHOTS")) {
            password->setFocus();  // the phrase is shown while it is being edited
            dialog->grab().save(QString(shots) + "/profile-long-password.png");
        }
        dialog->accept();
    });
    Find<QPushButton>("new")->click();
    std::vector<UserAccount> stored = InFile();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_TRUE(stored[0].hashed && stored[1].hashed) << "every password, old and new";
    CAppSettings settings;
    uint32_t rights = 0;
    EXPECT_TRUE(Authenticate(stored, settings, "carol", phrase.toStdString(), rights));
    EXPECT_TRUE(Authenticate(stored, settings, "alice", "a", rights));

    // Editing shows no hash; a name change leaves the password as it was.
    Select({1});
    WhenModal<CProfileDialog>([](CProfileDialog* dialog) {
        auto* password = dialog->findChild<QLineEdit*>("password");
        EXPECT_EQ(password->text(), "");
        EXPECT_EQ(password->placeholderText(), "(unchanged)");
        dialog->findChild<QLineEdit*>("name")->setText("carol2");
        dialog->accept();
    });
    Find<QPushButton>("edit")->click();
    stored = InFile();
    EXPECT_EQ(stored[1].name, "carol2");
    EXPECT_TRUE(Authenticate(stored, settings, "carol2", phrase.toStdString(), rights));
}
