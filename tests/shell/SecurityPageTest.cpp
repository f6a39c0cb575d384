// The Security page and the certificate wizard, driven through their widgets.

#include "shell/SecurityPage.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "config/AppSettings.h"
#include "config/ShellTexts.h"
#include "shell/CertWizard.h"
#include "shell/QtFixture.h"

namespace {

class SecurityPageTest : public QtAppTest {
protected:
    void SetUp() override {
        QtAppTest::SetUp();
        folder_ = (dir_ / "certs").string();
        std::filesystem::create_directories(folder_);
        page_ =
            std::make_unique<CSecurityPg>(OptionsContext{app_.EditableSettings(), app_.Users()});
        page_->SetCertificateFolder(folder_);
        page_->show();
    }
    void TearDown() override {
        page_.reset();
        QtAppTest::TearDown();
    }
    QLineEdit* Edit(const char* name) const { return page_->findChild<QLineEdit*>(name); }
    QPushButton* Button(const QString& text) const {
        for (QPushButton* button : page_->findChildren<QPushButton*>())
            if (button->text() == text) return button;
        return nullptr;
    }
    // Answers both wizard steps: the name, pass phrase and days, then the common name and
    // state (the other fields keep their defaults).
    void AnswerWizard(const QString& name, const QString& days = "365") {
        WhenModal<CCertStepOne>([=](CCertStepOne* first) {
            QTest::keyClicks(first->findChild<QLineEdit*>("name"), name);
            QTest::keyClicks(first->findChild<QLineEdit*>("passPhrase"), "s3cret");
            first->findChild<QLineEdit*>("days")->setText(days);
            WhenModal<CCertStepTwo>([](CCertStepTwo* second) {
                QTest::keyClicks(second->Field(CertField::CommonName), "ftp.example.org");
                QTest::keyClicks(second->Field(CertField::State), "Ohio");
                second->FinishedButton()->click();
            });
            first->NextButton()->click();
        });
    }

    std::string folder_;
    std::unique_ptr<CSecurityPg> page_;
};

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TEST_F(SecurityPageTest, EveryControlFollowsTheTlsCheckAndOkAlwaysAsksForARestart) {
    QCheckBox* enable = page_->findChild<QCheckBox*>("SSLState");
    ASSERT_NE(enable, nullptr);
    EXPECT_FALSE(enable->isChecked());  // the default
    EXPECT_FALSE(Edit("SSLCertFile")->isEnabled());
    EXPECT_FALSE(Button("Create...")->isEnabled());
    enable->click();
    EXPECT_TRUE(Edit("SSLCertFile")->isEnabled());
    EXPECT_TRUE(Edit("SSLPassPhrase")->isEnabled());
    EXPECT_EQ(Edit("SSLPassPhrase")->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(page_->IsModified());

    QTest::keyClicks(Edit("SSLCertFile"), "/etc/ftp.crt");
    QTest::keyClicks(Edit("SSLKeyFile"), "/etc/ftp.key");
    QTest::keyClicks(Edit("SSLPassPhrase"), "pw");
    page_->Apply();
    const CAppSettings& settings = app_.Settings();
    EXPECT_TRUE(settings.GetBoolSetting("SSLState"));
    EXPECT_EQ(settings.GetSetting("SSLCertFile"), "/etc/ftp.crt");
    EXPECT_EQ(settings.GetSetting("SSLPassPhrase"), "pw");
    std::string registry = ReadFile(dir_ / "config" / "registry.reg");
    EXPECT_NE(registry.find("\"SSLKeyFile\"=\"/etc/ftp.key\""), std::string::npos) << registry;

    Button("Reset")->click();
    EXPECT_EQ(Edit("SSLCertFile")->text(), "");
    EXPECT_EQ(Edit("SSLKeyFile")->text(), "");
    EXPECT_EQ(Edit("SSLPassPhrase")->text(), "");
    page_->Apply();
    ASSERT_EQ(messages_.size(), 2u) << "the restart note after every OK";
    for (const auto& [icon, text] : messages_) {
        EXPECT_EQ(icon, QMessageBox::Information);
        EXPECT_EQ(text, texts::kRestartForChanges);
    }
}

TEST_F(SecurityPageTest, StepOneGoesOnOnlyWithAUsableNamePassPhraseAndDays) {
    CCertStepOne step;
    auto* name = step.findChild<QLineEdit*>("name");
    auto* pass = step.findChild<QLineEdit*>("passPhrase");
    auto* days = step.findChild<QLineEdit*>("days");
    EXPECT_EQ(days->text(), "365");
    EXPECT_FALSE(step.NextButton()->isEnabled());
    pass->setText("pw");
    for (const char* refused : {"", "a*b", "a?b", "sub\\CON", "x|y", "..\\up", "/abs"}) {
        name->setText(refused);
        EXPECT_FALSE(step.NextButton()->isEnabled()) << refused;
    }
    name->setText("certs\\server");
    EXPECT_TRUE(step.NextButton()->isEnabled());
    days->setText("0");
    EXPECT_FALSE(step.NextButton()->isEnabled());
    days->clear();
    QTest::keyClicks(days, "12x");
    EXPECT_EQ(days->text(), "12") << "digits only";
    EXPECT_TRUE(step.NextButton()->isEnabled());
    pass->clear();
    EXPECT_FALSE(step.NextButton()->isEnabled());
}

TEST_F(SecurityPageTest, StepTwoFinishesOnlyWithAPassingRequestAndComplainsWhenAFieldIsLeft) {
    CCertStepTwo step;
    step.show();
    QApplication::setActiveWindow(&step);
    EXPECT_EQ(step.Field(CertField::Country)->text(), "US");
    EXPECT_EQ(step.Field(CertField::Country)->maxLength(), 2);
    EXPECT_EQ(step.Field(CertField::CommonName)->maxLength(), 64);
    EXPECT_FALSE(step.FinishedButton()->isEnabled()) << "common name and state are required";
    QTest::keyClicks(step.Field(CertField::CommonName), "ftp.example.org");
    QTest::keyClicks(step.Field(CertField::State), "Ohio");
    EXPECT_TRUE(step.FinishedButton()->isEnabled());
    step.Field(CertField::Country)->setText("D");
    EXPECT_TRUE(step.FinishedButton()->isEnabled()) << "one character is a country";

    QLineEdit* city = step.Field(CertField::City);
    city->setFocus();
    QTest::keyClicks(city, " . ");
    EXPECT_FALSE(step.FinishedButton()->isEnabled()) << "only spaces and dots";
    step.Field(CertField::Email)->setFocus();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].first, QMessageBox::Critical);
    EXPECT_TRUE(messages_[0].second.startsWith(
        "City is invalid. This field has a maximum length of 64 characters."))
        << messages_[0].second.toStdString();
    QTest::qWait(50);
    EXPECT_TRUE(city->hasFocus()) << "the focus goes back to the field";

    city->clear();
    EXPECT_TRUE(step.FinishedButton()->isEnabled()) << "an empty optional field is left out";
    QTest::keyClicks(step.Field(CertField::Organization), "a=b");
    EXPECT_FALSE(step.FinishedButton()->isEnabled());
}

TEST_F(SecurityPageTest, CreateMakesTheFilesAndFillsTheThreeFields) {
    page_->findChild<QCheckBox*>("SSLState")->click();
    AnswerWizard("server", "1");
    Button("Create...")->click();
    std::filesystem::path cert = std::filesystem::path(folder_) / "server.crt";
    EXPECT_EQ(Edit("SSLCertFile")->text().toStdString(), cert.string());
    EXPECT_EQ(Edit("SSLKeyFile")->text().toStdString(), folder_ + "/server.key");
    EXPECT_EQ(Edit("SSLPassPhrase")->text(), "s3cret");
    EXPECT_TRUE(messages_.empty());

    FILE* file = std::fopen(cert.c_str(), "r");
    ASSERT_NE(file, nullptr);
    X509* x509 = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    ASSERT_NE(x509, nullptr);
    char subject[256];
    X509_NAME_oneline(X509_get_subject_name(x509), subject, sizeof subject);
    EXPECT_STREQ(subject, "/C=US/CN=ftp.example.org/ST=Ohio");
    // Valid for the one day asked for.
    int days = -1, seconds = -1;
    ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(x509), X509_get0_notAfter(x509));
    EXPECT_EQ(days * 86400 + seconds, 86400);
    X509_free(x509);
}

TEST_F(SecurityPageTest, AFailedGenerationSaysSoAndKeepsTheFields) {
    page_->findChild<QCheckBox*>("SSLState")->click();
    QTest::keyClicks(Edit("SSLCertFile"), "/old.crt");
    AnswerWizard("missing\\server");  // a sub-folder that does not exist
    Button("Create...")->click();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].first, QMessageBox::Critical);
    EXPECT_EQ(messages_[0].second, texts::kFailedToCreateCertificate);
    EXPECT_EQ(Edit("SSLCertFile")->text(), "/old.crt");
    EXPECT_EQ(Edit("SSLKeyFile")->text(), "");
}
