#pragma once
// The application started as the program starts it, on an ephemeral port with a share of its
// own, for the tests of what the windows show.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "shell/Application.h"
#include "support/EngineFixture.h"

class AppTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("qftp-app-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_ / "pub");
        ProgramOptions options;
        options.configDir = (dir_ / "config").string();
        options.sets = {{"NetTcpPort", "0"},
                        {"SysRootFolder", (dir_ / "pub").string() + "/"},
                        {"SysWelcomeMsgState", "false"},
                        {"SysCmdTimeout", "0"}};
        ASSERT_TRUE(app_.Start(options)) << app_.Error();
        std::string address;
        app_.Controller()->TertiarySocket()->GetSockName(address, port_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    static int Connect(int port) { return testsupport::ConnectBlocking(port); }
    static void Say(int fd, const std::string& line) {
        ASSERT_TRUE(testsupport::SendLine(fd, line));
    }

    std::filesystem::path dir_;
    CQuenlowApp app_;
    int port_ = 0;
};
