#pragma once
// The application: owns the settings, the user list, the network runtime, the loop thread's
// event window and the controller, and starts them in their order.

#include <memory>
#include <string>

#include "config/AppSettings.h"
#include "config/ProgramOptions.h"
#include "config/UserAccounts.h"
#include "engine/MsgWnd.h"
#include "net/NetRuntime.h"
#include "platform/EventLoop.h"
#include "shell/MyFtp.h"

class CQuenlowApp {
public:
    CQuenlowApp();
    ~CQuenlowApp();

    // The start-up sequence; false with the reason in Error() when the program cannot run.
    bool Start(const ProgramOptions& options);
    // Runs the loop until Quit, then stops the server and lets the sessions say goodbye.
    void Run();
    void Quit() { loop_.Quit(); }

    const std::string& Error() const { return error_; }
    std::string ListeningText();
    CMyFtpController* Controller() { return controller_.get(); }
    platform::EventLoop& Loop() { return loop_; }

private:
    bool StartServer();

    CAppSettings settings_;
    CUserList users_;
    CThrottleRuntime runtime_;
    bool runtimeStarted_ = false;
    platform::EventLoop loop_;
    std::unique_ptr<CMsgWnd> window_;
    std::unique_ptr<CMyFtpController> controller_;
    std::string error_;
};
