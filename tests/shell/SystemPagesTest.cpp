// The System, Network and Misc. pages.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QSlider>
#include <QTableWidget>
#include <cstdlib>

#include "shell/MiscPage.h"
#include "shell/NetworkPage.h"
#include "shell/PageFixture.h"
#include "shell/SharePointsDialog.h"
#include "shell/SystemPage.h"

using SystemPageTest = PageTest<CSystemPg>;
using NetworkPageTest = PageTest<CConnectPg>;
using MiscPageTest = PageTest<CMiscPg>;
using Cases = std::vector<std::pair<const char*, const char*>>;  // typed, shown

TEST_F(SystemPageTest, EachFieldIsCheckedWhenLeftAndNothingIsStoredBeforeOk) {
    Settings().SetSetting("SysRootFolder", "/srv/ftp/");
    Open();
    EXPECT_FALSE(page_->IsModified());
    QLineEdit* other = Find("SysLoginAttempts");
    const std::pair<const char*, Cases> fields[] = {
        {"NetMaxConnection", {{"0", "1"}, {"100", "64"}, {"63", "63"}, {"abc", "1"}}},
        {"NetTcpPort", {{"65535", "65534"}, {"65533", "65533"}, {"-5", "0"}, {"21x", "21"}}},
        {"SysIdleTimeout", {{"12x", "300"}, {"", "1"}, {"0", "1"}, {"-4", "300"}, {"45", "45"}}},
        {"SysRootFolder",
         {{"/My Documents/../Temp/./", "/Temp/"},
          {"data//pub", "/data/pub/"},
          {"/data/CON/", "/srv/ftp/"},
          {"/cOn", "/srv/ftp/"},
          {"/a?b/", "/srv/ftp/"},
          {"/data/console/", "/data/console/"}}},
    };
    for (const auto& [name, cases] : fields) {
        for (const auto& [typed, shown] : cases) {
            TypeAndLeave(Find(name), typed, other);
            EXPECT_EQ(Find(name)->text(), shown) << name << " '" << typed << "'";
        }
    }
    TypeAndLeave(other, "abc", Find("NetTcpPort"));
    EXPECT_EQ(other->text(), "3") << "Login as Inactivity";
    EXPECT_TRUE(page_->IsModified());
    EXPECT_EQ(Settings().GetSetting("SysRootFolder"), "/srv/ftp/");
    EXPECT_EQ(Settings().GetSetting("NetTcpPort"), "0");
}

TEST_F(SystemPageTest, OkChecksTheFieldsAgainAndStoresOnlyCheckedValues) {
    Open();
    // Not left: as if OK came while the field still had the focus.
    const Cases fields = {{"SysRootFolder", "/srv//ftp/./"},
                          {"NetMaxConnection", "100"},
                          {"NetTcpPort", "65535"},
                          {"SysIdleTimeout", "ten"},
                          {"SysLoginAttempts", "0"}};
    for (const auto& [name, text] : fields) Find(name)->setText(text);
    page_->Apply();
    const Cases stored = {{"SysRootFolder", "/srv/ftp/"},
                          {"NetMaxConnection", "64"},
                          {"NetTcpPort", "65534"},
                          {"SysIdleTimeout", "300"},
                          {"SysLoginAttempts", "1"}};
    for (const auto& [name, text] : stored) {
        EXPECT_EQ(Settings().GetSetting(name), text) << name;
        EXPECT_EQ(Find(name)->text().toStdString(), text) << name;
        EXPECT_TRUE(Saved(name, text)) << name;
    }
    Find("SysRootFolder")->setText("/x/PRN/");
    page_->Apply();
    EXPECT_EQ(Settings().GetSetting("SysRootFolder"), "/srv/ftp/");
}

TEST_F(SystemPageTest, ALargerPoolSetElsewhereSurvivesOkUnlessTheFieldIsChanged) {
    Settings().SetSetting("NetMaxConnection", "500");
    Open();
    EXPECT_EQ(Find("NetMaxConnection")->text(), "500");
    TypeAndLeave(Find("SysIdleTimeout"), "60", Find("NetMaxConnection"));
    TypeAndLeave(Find("SysLoginAttempts"), "4", Find("SysIdleTimeout"));  // users' field left
    page_->Apply();
    EXPECT_EQ(Settings().GetSetting("NetMaxConnection"), "500");
    EXPECT_TRUE(Saved("NetMaxConnection", "500"));
    TypeAndLeave(Find("NetMaxConnection"), "499", Find("SysIdleTimeout"));
    EXPECT_EQ(Find("NetMaxConnection")->text(), "64") << "what a person types is clamped";
    page_->Apply();
    EXPECT_EQ(Settings().GetSetting("NetMaxConnection"), "64");
}

TEST_F(SystemPageTest, SharePointsAndHomeFoldersAreStoredAtOkAndBadRowsAreRefused) {
    Open();
    if (const char* shots = std::getenv("QFTP_SCREENSHOTS"))
        page_->grab().save(QString(shots) + "/system-page.png");
    CSharePointsDialog* dialog = page_->OpenSharePoints();
    dialog->AddRow({"docs", "/srv/docs", true});
    dialog->AddRow({"drop", "relative/folder", false});
    std::vector<StoredShare> read;
    EXPECT_EQ(dialog->ReadRows(read), "Row 2: the folder must be a whole path, such as /srv/docs.");
    dialog->Table()->item(1, 1)->setText("/srv/drop/");
    dialog->Table()->item(1, 0)->setText("DOCS");
    EXPECT_EQ(dialog->ReadRows(read), "Row 2: \"DOCS\" is there twice.");
    dialog->Table()->item(1, 0)->setText("pub");
    EXPECT_EQ(dialog->ReadRows(read), "Row 2: \"pub\" is the shared folder's name.");
    dialog->Table()->item(1, 0)->setText("drop");
    dialog->HomesBox()->setChecked(true);
    if (const char* shots = std::getenv("QFTP_SCREENSHOTS"))
        dialog->grab().save(QString(shots) + "/share-points.png");
    EXPECT_FALSE(page_->IsModified());
    dialog->accept();
    EXPECT_TRUE(page_->IsModified());
    EXPECT_EQ(Settings().GetSetting("SysFsCount"), "0") << "nothing is stored before OK";
    page_->Apply();
    std::vector<StoredShare> wanted{{"docs", "/srv/docs/", true}, {"drop", "/srv/drop/", false}};
    EXPECT_EQ(ReadStoredShares(Settings()), wanted);
    EXPECT_TRUE(Saved("SysFsMapHome", "true"));
    EXPECT_TRUE(Saved("SysFsCount", "2"));
    delete dialog;

    // The dialog opens with what is stored; Cancel changes nothing.
    dialog = page_->OpenSharePoints();
    EXPECT_EQ(dialog->Table()->rowCount(), 2);
    EXPECT_TRUE(dialog->HomesBox()->isChecked());
    dialog->Table()->removeRow(0);
    dialog->reject();
    page_->Apply();
    EXPECT_EQ(ReadStoredShares(Settings()).size(), 2u);
    delete dialog;
}

TEST_F(NetworkPageTest, ChecksEnableTheirControlsAndOkWritesThemAsSet) {
    Open();
    auto* fixIp = Find<QCheckBox>("NetFixIPState");
    auto* deflate = Find<QCheckBox>("SysDeflateState");
    QLineEdit* address = Find("NetFixIPAddress");
    QSlider* sliders[] = {Find<QSlider>("SysDeflComprLevel"), Find<QSlider>("SysDeflMemLevel"),
                          Find<QSlider>("SysDeflWindowSize")};
    auto labelEnabled = [this](const QString& text) {
        for (QLabel* label : page_->findChildren<QLabel*>())
            if (label->text().startsWith(text)) return label->isEnabled();
        ADD_FAILURE() << text.toStdString();
        return false;
    };
    // A fresh installation has both off.
    EXPECT_FALSE(address->isEnabled() || labelEnabled("Enter the external"));
    for (QSlider* slider : sliders) EXPECT_FALSE(slider->isEnabled());
    fixIp->click();
    EXPECT_TRUE(address->isEnabled() && labelEnabled("Enter the external"));
    EXPECT_FALSE(sliders[0]->isEnabled() || labelEnabled("Max.")) << "each check its own";
    deflate->click();
    for (QSlider* slider : sliders) EXPECT_TRUE(slider->isEnabled());
    EXPECT_TRUE(labelEnabled("Compress") && labelEnabled("Min."));
    EXPECT_TRUE(page_->IsModified());

    EXPECT_EQ(sliders[1]->value(), 2) << "the stored memory level";
    EXPECT_EQ(sliders[2]->maximum(), 15);
    address->clear();
    QTest::keyClicks(address, "not.an.address");
    sliders[0]->setFocus();
    QTest::keyClick(sliders[0], Qt::Key_Up);  // "Min." is at the top
    sliders[1]->setValue(9);
    sliders[2]->setValue(3);  // below the range: its end
    page_->Apply();
    const Cases stored = {{"NetFixIPState", "true"},   {"NetFixIPAddress", "not.an.address"},
                          {"SysDeflateState", "true"}, {"SysDeflComprLevel", "6"},
                          {"SysDeflMemLevel", "9"},    {"SysDeflWindowSize", "9"}};
    for (const auto& [name, text] : stored) {
        EXPECT_EQ(Settings().GetSetting(name), text) << name;
        EXPECT_TRUE(Saved(name, text)) << name;
    }
}

TEST_F(MiscPageTest, SchemeFollowsPowerSaveOptAndOkWritesTheThreeValues) {
    for (const auto& [stored, index] : {std::pair{"-3", 0}, {"2", 2}, {"7", -1}}) {
        Settings().SetSetting("PowerSaveOpt", stored);
        Open();
        EXPECT_EQ(Find<QComboBox>("PowerSaveOpt")->currentIndex(), index) << stored;
    }
    page_->Apply();
    EXPECT_EQ(Settings().GetSetting("PowerSaveOpt"), "0") << "nothing selected";

    Open();
    auto* scheme = Find<QComboBox>("PowerSaveOpt");
    scheme->setFocus();
    QTest::keyClick(scheme, Qt::Key_Down);
    EXPECT_EQ(scheme->currentText(), "Keep alive for active users");
    EXPECT_TRUE(page_->IsModified());
    TypeAndLeave(Find("SysAdminEmail"), "admin@127.0.0.1", scheme);
    TypeAndLeave(Find("SysWelcomeMsg"), "/srv/welcome.txt", scheme);
    page_->Apply();
    EXPECT_EQ(Settings().GetSetting("PowerSaveOpt"), "1");
    EXPECT_EQ(Settings().GetSetting("SysAdminEmail"), "admin@127.0.0.1");
    EXPECT_TRUE(Saved("SysWelcomeMsg", "/srv/welcome.txt"));
}
