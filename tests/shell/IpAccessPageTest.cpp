// The IP Access page and the Network Identifier dialog.

#include <gtest/gtest.h>

#include <cstdlib>

#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

#include "config/IpRules.h"
#include "config/ShellTexts.h"
#include "shell/IpAccessPage.h"
#include "shell/NetworkIdDialog.h"
#include "shell/PageFixture.h"

namespace {

class IpAccessPageTest : public PageTest<CIpAccessPg> {
protected:
    // Stored rules 127.0.0.<i>/255.255.255.255 for i below count, then the page.
    void OpenWith(int count) {
        CSettingsMap rules;
        for (int i = 0; i < count; ++i) {
            rules.SetString(RuleAddressName(i), "127.0.0." + std::to_string(i));
            rules.SetString(RuleMaskName(i), "255.255.255.255");
        }
        ASSERT_TRUE(SaveIpRules(Settings(), rules, count));
        Open();
    }
    QTreeWidget* Rules() const { return Find<QTreeWidget>("rules"); }
    int Rows() const { return Rules()->topLevelItemCount(); }
    QString Row(int i) const {
        QTreeWidgetItem* item = Rules()->topLevelItem(i);
        return item ? item->text(0) + "/" + item->text(1) : QString();
    }
    void Delete(int row) const {
        Rules()->clearSelection();
        Rules()->topLevelItem(row)->setSelected(true);
        Find<QPushButton>("delete")->click();
    }
    // Clicks Add and answers the rule dialog it opens.
    void Add(const QString& address, const QString& mask) {
        WhenModal<CNetworkIdDialog>([=](CNetworkIdDialog* dialog) {
            QTest::keyClicks(dialog->findChild<QLineEdit*>("address"), address);
            QTest::keyClicks(dialog->findChild<QLineEdit*>("mask"), mask);
            dialog->OkButton()->click();
        });
        Find<QPushButton>("add")->click();
    }
};

using NetworkIdDialogTest = QtAppTest;

}  // namespace

TEST_F(NetworkIdDialogTest, OkOnlyWhileBothTextsAreDottedQuads) {
    CNetworkIdDialog dialog;
    auto* address = dialog.findChild<QLineEdit*>("address");
    auto* mask = dialog.findChild<QLineEdit*>("mask");
    EXPECT_FALSE(dialog.OkButton()->isEnabled());
    QTest::keyClicks(address, "10.0.0.1");
    EXPECT_FALSE(dialog.OkButton()->isEnabled()) << "the mask is still empty";
    QTest::keyClicks(mask, "255.255.255.255");
    EXPECT_TRUE(dialog.OkButton()->isEnabled());
    for (const char* refused : {"10.0.0", "10.0.0.1.", "10.0.0.x", " 10.0.0.1", ""}) {
        address->setText(refused);
        EXPECT_FALSE(dialog.OkButton()->isEnabled()) << refused;
    }
    address->setText("1..2.3");
    EXPECT_TRUE(dialog.OkButton()->isEnabled()) << "empty parts pass";
}

TEST_F(NetworkIdDialogTest, AnIpv6RuleIsAPrefixWithoutAMask) {
    CNetworkIdDialog dialog;
    auto* address = dialog.findChild<QLineEdit*>("address");
    auto* mask = dialog.findChild<QLineEdit*>("mask");
    QTest::keyClicks(address, "2001:db8::/32");
    EXPECT_TRUE(dialog.OkButton()->isEnabled());
    if (const char* shots = std::getenv("QFTP_SCREENSHOTS"))
        dialog.grab().save(QString(shots) + "/network-id-ipv6.png");
    EXPECT_FALSE(mask->isEnabled()) << "a prefix length stands for the mask";
    for (const char* refused : {"2001:db8::/129", "2001:db8::/", "fe80::1%eth0", "1::2::3", ":"}) {
        address->setText(refused);
        EXPECT_FALSE(dialog.OkButton()->isEnabled()) << refused;
    }
    address->setText("::1");
    EXPECT_TRUE(dialog.OkButton()->isEnabled());
    address->setText("10.0.0.1");
    EXPECT_TRUE(mask->isEnabled());
    mask->setText("255.0.0.0");
    address->setText("::1");
    EXPECT_TRUE(mask->text().isEmpty()) << "an IPv6 rule is stored without a mask";
    EXPECT_EQ(dialog.Mask(), "");
}

TEST_F(IpAccessPageTest, ShowsTheStoredRulesAndAddsAndDeletesRows) {
    Settings().SetBoolSetting("NetPolicy", false);
    OpenWith(3);
    EXPECT_TRUE(Find<QRadioButton>("deny")->isChecked());
    EXPECT_EQ(Rules()->columnWidth(0), 110);
    EXPECT_EQ(Rules()->columnWidth(1), 110);
    ASSERT_EQ(Rows(), 3);
    EXPECT_EQ(Row(2), "127.0.0.2/255.255.255.255");

    Find<QPushButton>("delete")->click();
    EXPECT_EQ(Rows(), 3) << "no selection, nothing deleted";
    EXPECT_FALSE(page_->IsModified());
    Delete(1);
    EXPECT_EQ(Row(1), "127.0.0.2/255.255.255.255");
    Add("10.0.0.1", "255.255.255.255");
    EXPECT_EQ(Row(2), "10.0.0.1/255.255.255.255");
    Add("2001:db8::/32", "");
    EXPECT_EQ(Row(3), "2001:db8::/32/");
    EXPECT_TRUE(OpensDialog(Find<QPushButton>("add")));
    EXPECT_EQ(Rows(), 4) << "Cancel adds nothing";
    EXPECT_TRUE(page_->IsModified());
    EXPECT_TRUE(messages_.empty()) << "Delete does not ask";
}

TEST_F(IpAccessPageTest, The129thRuleIsRefusedWithoutADialog) {
    OpenWith(128);
    ASSERT_EQ(Rows(), 128);
    EXPECT_FALSE(OpensDialog(Find<QPushButton>("add")));
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0],
              std::make_pair(QMessageBox::Critical, QString(texts::kMaximumRulesReached)));
    EXPECT_EQ(Rows(), 128);
    Delete(5);
    Add("127.0.0.200", "255.255.255.0");
    EXPECT_EQ(Rows(), 128);
    EXPECT_EQ(messages_.size(), 1u);
}

TEST_F(IpAccessPageTest, OkStoresThePolicyAndTheRowsInListOrder) {
    OpenWith(3);
    Delete(0);
    Delete(1);
    // Passes the dialog; stored cut to 63 characters.
    const QString longAddress = "127.0.0." + QString(70, '1');
    Add(longAddress, "255.0.0.0");
    Find<QRadioButton>("deny")->click();
    page_->Apply();
    EXPECT_TRUE(Saved("NetPolicy", "false"));
    EXPECT_TRUE(Saved("NetRuleCount", "2"));
    EXPECT_TRUE(Saved("Ip0001", longAddress.left(63).toStdString()));
    EXPECT_FALSE(Saved("Ip0002", "127.0.0.2")) << "the old rules are gone";

    Open();  // as the page shows them next time
    EXPECT_TRUE(Find<QRadioButton>("deny")->isChecked());
    ASSERT_EQ(Rows(), 2);
    EXPECT_EQ(Row(0), "127.0.0.1/255.255.255.255");
    EXPECT_EQ(Row(1), longAddress.left(63) + "/255.0.0.0");
}
