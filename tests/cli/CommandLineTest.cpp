#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <sstream>

#include "cli/AdminSession.h"
#include "cli/CommandLine.h"
#include "config/UserAccounts.h"
#include "platform/AtomicFile.h"
#include "support/TestTls.h"

namespace {
// A person at a terminal who gives the prepared answers in turn.
class ScriptedTerminal : public CTerminal {
public:
    bool interactive = true;
    std::deque<std::string> answers;
    std::vector<std::string> prompts;

    bool Interactive() const override { return interactive; }
    bool ReadSecret(const std::string& prompt, std::string& text) override {
        return ReadLine(prompt, text);
    }
    bool ReadLine(const std::string& prompt, std::string& text) override {
        prompts.push_back(prompt);
        if (answers.empty()) return false;
        text = answers.front();
        answers.pop_front();
        return true;
    }
};

class CommandLineTest : public testing::Test {
protected:
    void SetUp() override { dir = testsupport::MakeTempDir("qftp-cli"); }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    // Parses and runs a command line as the program does; the exit status.
    int Run(std::vector<std::string> arguments) {
        out.str("");
        err.str("");
        arguments.insert(arguments.begin(), {"--config-dir", dir});
        CAdminSession session(out, err, terminal);
        CCommandLine line(session);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        std::optional<int> done = line.Parse(arguments);
        printed = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
        if (done) return *done;
        EXPECT_TRUE(line.HasCommand());
        return line.RunCommand();
    }
    std::vector<UserAccount> StoredUsers() {
        CUserList list;
        list.LoadUsers(dir + "/QuenlowFTP.dat");
        return list.Users();
    }

    std::string dir, printed;
    std::ostringstream out, err;
    ScriptedTerminal terminal;
};
}  // namespace

TEST(CommandLineParseTest, ServerOptionsAndUsageErrors) {
    std::ostringstream out, err;
    ScriptedTerminal terminal;
    auto parse = [&](std::vector<std::string> arguments, ProgramOptions* options = nullptr) {
        CAdminSession session(out, err, terminal);
        CCommandLine line(session);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        std::optional<int> done = line.Parse(arguments);
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        if (options) *options = line.Options();
        EXPECT_FALSE(!done && line.HasCommand()) << "no command was given";
        return done;
    };
    ProgramOptions options;
    EXPECT_EQ(parse({"--headless", "--set", "NetTcpPort=2999", "--set=SysName=a=b", "--config-dir",
                     "/tmp/x"},
                    &options),
              std::nullopt);
    EXPECT_TRUE(options.headless);
    EXPECT_EQ(options.configDir, "/tmp/x");
    ASSERT_EQ(options.sets.size(), 2u);
    EXPECT_EQ(options.sets[0], (std::pair<std::string, std::string>{"NetTcpPort", "2999"}));
    EXPECT_EQ(options.sets[1].second, "a=b");

    for (std::vector<std::string> bad : {std::vector<std::string>{"--set", "novalue"},
                                         {"--set", "=x"},
                                         {"--config-dir"},
                                         {"--config-dir", ""},
                                         {"--frobnicate"},
                                         {"user"},
                                         {"user", "add"},
                                         {"rule", "del", "x"},
                                         {"--headless", "user", "list"},
                                         {"--set", "A=b", "config", "list"}})
        EXPECT_EQ(parse(bad), kExitUsage) << bad[0];
    EXPECT_EQ(parse({"--help"}), kExitOk);
    EXPECT_EQ(parse({"user", "add", "--help"}), kExitOk);
}

TEST_F(CommandLineTest, AccountsAreSavedAtOnceAndAskedForOnATerminal) {
    terminal.answers = {"s3cret", "s3cret"};
    ASSERT_EQ(Run({"user", "add", "ann", "--rights", "WD"}), kExitOk) << err.str();
    EXPECT_EQ(terminal.prompts, (std::vector<std::string>{"Password: ", "Repeat the password: "}));
    ASSERT_EQ(StoredUsers().size(), 1u);
    EXPECT_EQ(StoredUsers()[0], (UserAccount{"ann", "s3cret", RightsWrite | RightsDelete}));

    terminal.answers = {"one", "two"};
    EXPECT_EQ(Run({"user", "edit", "ann"}), kExitFailed);
    EXPECT_NE(err.str().find("the two passwords differ"), std::string::npos);
    EXPECT_EQ(StoredUsers()[0].password, "s3cret");

    // --config-dir may also follow the command.
    EXPECT_EQ(Run({"user", "edit", "ann", "--rename", "bea", "--rights", "-"}), kExitOk);
    EXPECT_EQ(StoredUsers()[0], (UserAccount{"bea", "s3cret", 0}));
    EXPECT_EQ(Run({"user", "add", "bea", "--password", "x"}), kExitFailed) << "no duplicates";
    EXPECT_EQ(Run({"user", "add", std::string(33, 'n'), "--password", "x"}), kExitFailed);
    EXPECT_NE(err.str().find("longer than 32 characters"), std::string::npos);
    EXPECT_EQ(Run({"user", "add", "cy", "--password", "123456789"}), kExitFailed);
    EXPECT_NE(err.str().find("longer than 8 characters"), std::string::npos);
    terminal.interactive = false;
    EXPECT_EQ(Run({"user", "add", "cy"}), kExitFailed);
    EXPECT_NE(err.str().find("standard input is not a terminal"), std::string::npos);
    EXPECT_EQ(Run({"user", "edit", "bea"}), kExitUsage);
    EXPECT_EQ(Run({"user", "del", "bea"}), kExitOk);
    EXPECT_TRUE(StoredUsers().empty());
}

TEST_F(CommandLineTest, SecretsComeFromTheFirstLineOfAFile) {
    ASSERT_TRUE(platform::WriteFileAtomically(dir + "/pw", "fromfile\r\nignored\n", 0600));
    ASSERT_EQ(Run({"user", "add", "dee", "--password-file", dir + "/pw"}), kExitOk);
    EXPECT_EQ(StoredUsers()[0].password, "fromfile");
    EXPECT_EQ(Run({"user", "add", "eve", "--password-file", dir + "/none"}), kExitFailed);
    EXPECT_EQ(Run({"user", "add", "eve", "--password", "a", "--password-file", dir + "/pw"}),
              kExitUsage)
        << "one source of the password";
}

TEST_F(CommandLineTest, CertificateAsksForMissingFieldsUntilTheyPass) {
    terminal.answers = {"server", "ftp.example.org", "  ..  ", "Ohio", "pp", "pp"};
    ASSERT_EQ(Run({"cert", "create", "--days", "3"}), kExitOk) << err.str();
    EXPECT_EQ(terminal.prompts, (std::vector<std::string>{
                                    "Name : ", "Cmn Name : ", "State/Prov. : ", "State/Prov. : ",
                                    "Pass phrase: ", "Repeat the pass phrase: "}));
    EXPECT_NE(err.str().find("State is invalid."), std::string::npos);
    std::string registry;
    ASSERT_TRUE(platform::ReadWholeFile(dir + "/registry.reg", registry));
    EXPECT_NE(registry.find("\"SSLCertFile\"=\"" + dir + "/server.crt\""), std::string::npos);
    EXPECT_NE(registry.find("\"SSLPassPhrase\"=\"pp\""), std::string::npos);
    EXPECT_NE(registry.find("\"SSLState\"=\"false\""), std::string::npos) << "no --enable";

    terminal.interactive = false;
    EXPECT_EQ(Run({"cert", "create", "--name", "x", "--cn", "a", "--passphrase", "p"}),
              kExitFailed);
    EXPECT_EQ(err.str(),
              "quenlowftp: State is invalid. This field has a maximum length of 64 characters. "
              "It cannot contain only spaces and periods, or any of the following characters: "
              "/\\[];:|=,+*?<>{}\n");
}
