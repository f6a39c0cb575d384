// The main window on the offscreen platform: the status view follows the sessions, writes only
// what changed, and the menu follows the server's state.

#include "shell/MainFrame.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QPixmap>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "shell/QtFixture.h"
#include "shell/StatusView.h"

// fontconfig keeps its caches until the process ends; they are not ours to free.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

using MainFrameTest = MainWindowTest;

TEST_F(MainFrameTest, TheViewFollowsTheSessionsAndWritesOnlyWhatChanged) {
    CStatusView* view = frame_->View();
    int first = Connect(port_), second = Connect(port_);
    ASSERT_TRUE(RunUntil([&] { return view->RowCount() == 2; }));
    Say(second, "USER anonymous");
    Say(second, "PASS guest@example.org");
    ASSERT_TRUE(RunUntil([&] {
        return view->CellText(0, 0) == "guest@example.org" ||
               view->CellText(1, 0) == "guest@example.org";
    }));
    EXPECT_EQ(view->FieldText(CStatusView::kSessions), "2/2");
    EXPECT_EQ(view->FieldText(CStatusView::kXfers), "0/0");

    // Nothing changed, so a refresh writes nothing.
    frame_->OnTick();
    int writes = view->Writes();
    frame_->OnTick();
    frame_->OnTick();
    EXPECT_EQ(view->Writes(), writes);

    frame_->resize(380, 420);
    QPixmap shot = frame_->grab();
    EXPECT_EQ(shot.size(), QSize(380, 420));
    std::filesystem::path png = std::filesystem::current_path() / "main-window.png";
    EXPECT_TRUE(shot.save(QString::fromStdString(png.string())));

    ::close(first);
    ASSERT_TRUE(RunUntil([&] { return view->RowCount() == 1; }));
    ::close(second);
    ASSERT_TRUE(RunUntil([&] { return view->RowCount() == 0; }));
}

TEST_F(MainFrameTest, AUserWithAFolderOfTheirOwnShowsItOnTheName) {
    CStatusView view;
    StatusSnapshot snapshot;
    snapshot.rows.push_back({"alice", "0", "0/0", "PWD", "/srv/homes/alice/"});
    snapshot.rows.push_back({"guest@example.org", "0", "0/0", "PWD", ""});
    view.Refresh(snapshot);
    EXPECT_EQ(view.UserTip(0), "\"pub\" is /srv/homes/alice/");
    EXPECT_EQ(view.UserTip(1), "");
    int writes = view.Writes();
    view.Refresh(snapshot);
    EXPECT_EQ(view.Writes(), writes);
}

TEST_F(MainFrameTest, StartAndStopAreEnabledByTheServersState) {
    frame_->UpdateCommands();
    EXPECT_FALSE(frame_->StartAction()->isEnabled());
    EXPECT_TRUE(frame_->StopAction()->isEnabled());
    frame_->OnStop();
    EXPECT_TRUE(frame_->StartAction()->isEnabled());
    EXPECT_FALSE(frame_->StopAction()->isEnabled());
    ASSERT_TRUE(
        RunUntil([&] { return frame_->View()->FieldText(CStatusView::kUptime) == "Offline"; }));
    frame_->OnStart();
    EXPECT_FALSE(frame_->StartAction()->isEnabled());
    EXPECT_TRUE(frame_->StopAction()->isEnabled());
    ASSERT_TRUE(
        RunUntil([&] { return frame_->View()->FieldText(CStatusView::kUptime) != "Offline"; }));
}

TEST_F(MainFrameTest, WithoutANotificationAreaTheWindowStaysShown) {
    frame_->ShowAtStartUp();
    QApplication::processEvents();
    // The offscreen platform has no notification area, like many minimal desktops and Xvfb.
    EXPECT_FALSE(frame_->HasNotificationIcon());
    EXPECT_TRUE(frame_->isVisible());
}
