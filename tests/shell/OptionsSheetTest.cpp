// The settings sheet as a whole: the question before a running server is stopped for it, the
// pages' OK steps only for pages that were shown, and screenshots of every page and of both
// wizard steps.

#include "shell/OptionsSheet.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTest>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "config/AppSettings.h"
#include "config/ShellTexts.h"
#include "shell/CertWizard.h"
#include "shell/MainFrame.h"
#include "shell/ProfileDialog.h"
#include "shell/QtFixture.h"
#include "shell/SecurityPage.h"

namespace {

using OptionsSheetTest = MainWindowTest;

// The picture of a shown window: from the X server when there is one (what was drawn on the
// screen), else rendered by the widget itself.
QPixmap Picture(QWidget* window) {
    QTest::qWait(100);
    if (QGuiApplication::platformName() == "xcb")
        return window->screen()->grabWindow(window->winId());
    return window->grab();
}

void Save(const QPixmap& picture, const std::string& name) {
    std::filesystem::path folder = std::filesystem::current_path() / "screens";
    std::filesystem::create_directories(folder);
    EXPECT_TRUE(picture.save(QString::fromStdString((folder / name).string())));
}

// A port nothing listens on at the moment.
int FreePort() {
    int port = 0;
    int fd = testsupport::ListenBlocking(port);
    ::close(fd);
    return port;
}

// Runs a Python ftplib client aside and gives its output; the caller drives the loop.
std::string RunFtplib(const std::string& script, const std::function<void()>& whileWaiting) {
    std::string output;
    std::atomic<bool> done{false};
    std::thread client([&] {
        std::string command = "python3 -c '" + script + "' 2>&1";
        FILE* pipe = ::popen(command.c_str(), "r");
        char buffer[512];
        while (pipe && std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
        if (pipe) ::pclose(pipe);
        done = true;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done && std::chrono::steady_clock::now() < deadline) whileWaiting();
    client.join();
    return output;
}

}  // namespace

TEST_F(OptionsSheetTest, ANewPortAndAnonymousRightsServeFromTheNextStart) {
    int port = FreePort();
    WhenModal<COptionsSheet>([&](COptionsSheet* sheet) {
        sheet->findChild<QLineEdit*>("NetTcpPort")->setText(QString::number(port));
        sheet->ShowPage(1);
        auto* write = sheet->findChild<QCheckBox*>("AnonWrite");
        ASSERT_TRUE(write->isChecked()) << "anonymous clients may write by default";
        write->click();
        sheet->accept();
    });
    frame_->OnSettings();
    EXPECT_EQ(app_.Settings().GetIntSetting("NetTcpPort"), port);
    EXPECT_FALSE(app_.Settings().GetBoolSetting("AnonWrite"));
    EXPECT_FALSE(app_.IsRunning());
    frame_->OnStart();
    ASSERT_TRUE(app_.IsRunning());

    std::string script =
        "import ftplib, io, socket\n"
        "ftp = ftplib.FTP()\n"
        "ftp.connect(\"127.0.0.1\", " +
        std::to_string(port) +
        ", timeout=10)\n"
        "ftp.login(\"anonymous\", \"sheet@example.org\")\n"
        "try:\n"
        "    ftp.storbinary(\"STOR /pub/up.txt\", io.BytesIO(b\"through the sheet\"))\n"
        "except ftplib.error_perm as e:\n"
        "    print(e)\n"
        "print(ftp.nlst(\"/pub\"))\n"
        "ftp.quit()\n"
        "try:\n"
        "    socket.create_connection((\"127.0.0.1\", " +
        std::to_string(port_) +
        "), 2)\n"
        "    print(\"old port open\")\n"
        "except OSError:\n"
        "    print(\"old port closed\")\n";
    std::string output = RunFtplib(script, [&] { app_.Loop().RunOnce(20); });
    EXPECT_EQ(output, "553 Permission denied.\n[]\nold port closed\n");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "pub" / "up.txt"));
}

TEST_F(OptionsSheetTest, ARunningServerIsStoppedForTheSheetOnlyWhenThePersonAgrees) {
    ASSERT_TRUE(app_.IsRunning());
    answer_ = false;
    frame_->OnSettings();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].first, QMessageBox::Question);
    EXPECT_EQ(messages_[0].second, texts::kStopServerQuestion);
    EXPECT_TRUE(app_.IsRunning()) << "No: nothing happens";

    answer_ = true;
    bool opened = false;
    WhenModal<COptionsSheet>([&](COptionsSheet* sheet) {
        opened = true;
        EXPECT_FALSE(app_.IsRunning()) << "stopped before the sheet opens";
        sheet->reject();
    });
    frame_->OnSettings();
    EXPECT_TRUE(opened);
    EXPECT_FALSE(app_.IsRunning()) << "Cancel leaves it stopped";
    EXPECT_TRUE(frame_->StartAction()->isEnabled());

    // With the server stopped there is nothing to ask.
    messages_.clear();
    WhenModal<COptionsSheet>([](COptionsSheet* sheet) { sheet->accept(); });
    frame_->OnSettings();
    EXPECT_TRUE(messages_.empty());
    EXPECT_FALSE(app_.IsRunning()) << "OK leaves it stopped too, until Start";
    frame_->OnStart();
    EXPECT_TRUE(app_.IsRunning());
}

TEST_F(OptionsSheetTest, OnlyThePagesThatWereShownWriteAnything) {
    COptionsSheet sheet({app_.EditableSettings(), app_.Users()});
    ASSERT_EQ(sheet.Tabs()->count(), 6);
    QStringList titles;
    for (int i = 0; i < sheet.Tabs()->count(); ++i) titles << sheet.Tabs()->tabText(i);
    EXPECT_EQ(titles.join(","), "System,Users,Network,IP Access,Security,Misc.");

    sheet.show();
    auto* security = sheet.FindPage<CSecurityPg>();
    EXPECT_TRUE(sheet.Pages().front()->WasShown()) << "the page in front when the sheet opens";
    EXPECT_FALSE(security->WasShown());
    sheet.accept();
    EXPECT_TRUE(messages_.empty()) << "the Security page's OK step did not run";

    COptionsSheet again({app_.EditableSettings(), app_.Users()});
    again.show();
    again.ShowPage(4);
    EXPECT_TRUE(security != again.FindPage<CSecurityPg>());
    EXPECT_TRUE(again.FindPage<CSecurityPg>()->WasShown());
    again.accept();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].second, texts::kRestartForChanges);
}

TEST_F(OptionsSheetTest, ScreensOfEveryPageAndBothWizardSteps) {
    COptionsSheet sheet({app_.EditableSettings(), app_.Users()});
    sheet.show();
    const char* files[] = {"settings-system.png",   "settings-users.png",
                           "settings-network.png",  "settings-ip-access.png",
                           "settings-security.png", "settings-misc.png"};
    for (int i = 0; i < 6; ++i) {
        sheet.ShowPage(i);
        QPixmap picture = Picture(&sheet);
        EXPECT_EQ(picture.size(), sheet.size());
        Save(picture, files[i]);
    }
    CCertStepOne first;
    first.show();
    Save(Picture(&first), "wizard-step-1.png");
    CCertStepTwo second;
    second.show();
    Save(Picture(&second), "wizard-step-2.png");
}

TEST_F(OptionsSheetTest, CancelDropsThePagesValuesButKeepsSavedAccounts) {
    const std::string port = app_.Settings().GetSetting("NetTcpPort");
    COptionsSheet sheet({app_.EditableSettings(), app_.Users()});
    sheet.show();
    sheet.findChild<QLineEdit*>("NetTcpPort")->setText("2121");
    sheet.ShowPage(1);
    WhenModal<CProfileDialog>([](CProfileDialog* profile) {
        QTest::keyClicks(profile->findChild<QLineEdit*>("name"), "carol");
        QTest::keyClicks(profile->findChild<QLineEdit*>("password"), "pw");
        profile->accept();
    });
    sheet.findChild<QPushButton*>("new")->click();
    sheet.reject();

    EXPECT_EQ(app_.Settings().GetSetting("NetTcpPort"), port);
    ASSERT_EQ(app_.Users().Users().size(), 1u);
    EXPECT_EQ(app_.Users().Users()[0].name, "carol");
    CUserList stored;
    ASSERT_TRUE(stored.LoadUsers(app_.Settings().GetSetting("PasswordFile")));
    ASSERT_EQ(stored.Users().size(), 1u);
    EXPECT_EQ(stored.Users()[0].password, "pw");
}
