#pragma once
// The application started as the program starts it, with a QApplication on the offscreen
// platform (unless the test runs under a chosen platform, e.g. xcb on Xvfb), message boxes
// answered by the test, and helpers to act inside modal dialogs.

#include <QApplication>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "shell/AppFixture.h"
#include "shell/MainFrame.h"
#include "shell/Messages.h"

class QtAppTest : public AppTest {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "shell_qt_tests";
        static char* argv[] = {name, nullptr};
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        if (!QApplication::instance()) new QApplication(argc, argv);
    }
    void SetUp() override {
        AppTest::SetUp();
        SetMessageHandler([this](QMessageBox::Icon icon, const QString& text) {
            messages_.emplace_back(icon, text);
            return answer_;
        });
    }
    void TearDown() override {
        SetMessageHandler(nullptr);
        AppTest::TearDown();
    }

    // Runs fn on the modal dialog that opens next (polled from the event loop), so a test can
    // fill it in and close it while the code under test waits in exec(). With a Dialog type,
    // waits for a modal dialog of that type.
    template <class Dialog = QWidget>
    static void WhenModal(std::type_identity_t<std::function<void(Dialog*)>> fn) {
        auto* timer = new QTimer;
        timer->setInterval(10);
        QObject::connect(timer, &QTimer::timeout, [timer, fn = std::move(fn)] {
            if (auto* modal = qobject_cast<Dialog*>(QApplication::activeModalWidget())) {
                timer->stop();
                timer->deleteLater();
                fn(modal);
            }
        });
        timer->start();
    }

    // The texts of the messages shown so far, and the answer given to questions.
    std::vector<std::pair<QMessageBox::Icon, QString>> messages_;
    bool answer_ = true;
};

// The same with the main window made over the application.
class MainWindowTest : public QtAppTest {
protected:
    void SetUp() override {
        QtAppTest::SetUp();
        frame_ = std::make_unique<CMainFrame>(app_);
    }
    void TearDown() override {
        frame_.reset();
        QtAppTest::TearDown();
    }
    // Runs the engine's loop and the window's refresh until check holds (two seconds at most).
    bool RunUntil(const std::function<bool()>& check) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < deadline) {
            app_.Loop().RunOnce(20);
            frame_->OnTick();
            QApplication::processEvents();
            if (check()) return true;
        }
        return false;
    }

    std::unique_ptr<CMainFrame> frame_;
};
