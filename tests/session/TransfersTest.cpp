#include <gtest/gtest.h>

#include "config/UserAccounts.h"
#include "session/SharePoints.h"
#include "session/Transfers.h"
#include "support/MemoryShare.h"

namespace {

// A session that records what the transfers answer; no data connection ever opens.
class RecordingTransferSession : public CTransferSession {
public:
    bool TransferReply(CommandId, int code, const std::string& reply) override {
        codes.push_back(code);
        texts.push_back(reply);
        return true;
    }
    const std::string& TransferFolder() const override { return folder; }
    std::string TransferHome() const override { return ""; }
    uint32_t TransferRights() const override { return rights; }
    const std::string& TransferLine() const override { return line; }
    const std::string& TransferPreviousLine() const override { return previous; }
    bool TransferNlstUtf8() const override { return false; }
    bool TransferDeflateReady() override { return deflate; }
    CurrentOperation& TransferOperation() override { return operation; }
    void TransferSetOperation(CommandId id, const std::string& path, uint64_t state,
                              uint64_t offset) override {
        operation.commandId = id;
        operation.path = path;
        operation.state = state;
        operation.offset = offset;
    }
    bool TransferOpenData(int, const std::string&) override { return false; }
    bool TransferDataVerified() override { return true; }
    bool TransferDataWaitsForCheck() const override { return false; }
    void TransferWantDataEvent(bool) override {}
    bool TransferDataOpen() override { return dataOpen; }
    void TransferCloseData() override { dataOpen = false; }
    void TransferContinue() override { ++continued; }
    void TransferActivity() override {}
    void TransferError(uint32_t) override {}
    void TransferCountFiles(uint64_t, uint64_t) override {}
    void TransferCountBytes(uint64_t, uint64_t) override {}
    void TransferReport(const TransferRecord& record) override { reports.push_back(record); }
    void TransferFailSession() override {}

    int Last() const { return codes.empty() ? 0 : codes.back(); }

    std::string folder = "\\pub\\";
    uint32_t rights = RightsWrite | RightsOverwrite;
    std::string line, previous;
    bool deflate = false, dataOpen = false;
    int continued = 0;
    CurrentOperation operation;
    std::vector<int> codes;
    std::vector<std::string> texts;
    std::vector<TransferRecord> reports;
};

class TransfersTest : public ::testing::Test {
protected:
    void SetUp() override { fs.File("/srv/pub/a.txt", 100); }
    // The next command, with the line the dispatcher read for it.
    void Line(const std::string& next) {
        session.previous = session.line;
        session.line = next;
    }

    MemoryShare share;
    MemoryFileSystem& fs = share.fs;
    RecordingTransferSession session;
    CTransfers transfers{session};
};

}  // namespace

TEST_F(TransfersTest, ParametersAcceptTheirLettersAndRefuseTheRest) {
    transfers.Type("i");
    EXPECT_EQ(session.texts.back(), "Type set to I.");
    EXPECT_EQ(transfers.DataTypeInUse(), TYPE_IMAGE);
    transfers.Type("L 8");
    transfers.Type("E");
    transfers.Type("");
    EXPECT_EQ(session.codes, (std::vector<int>{200, 200, 504, 501}));
    transfers.Type("an");
    EXPECT_EQ(transfers.DataTypeInUse(), TYPE_ASCII);

    session.codes.clear();
    transfers.Mode("Z");
    EXPECT_EQ(session.Last(), 534) << "MODE Z only where it is ready";
    session.deflate = true;
    transfers.Mode("z");
    EXPECT_EQ(transfers.ModeInUse(), MODE_DEFLATE);
    transfers.Mode("B");
    transfers.Stru("R");
    transfers.Stru("P");
    EXPECT_EQ(session.codes, (std::vector<int>{534, 200, 504, 200, 504}));
    EXPECT_EQ(transfers.StructureInUse(), 1);
    transfers.Reset();
    EXPECT_EQ(transfers.ModeInUse(), MODE_STREAM);
    EXPECT_EQ(transfers.StructureInUse(), 0);

    session.codes.clear();
    Line("REST 10 ");
    transfers.Rest();
    Line("REST x");
    transfers.Rest();
    Line("REST 4096");
    transfers.Rest();
    EXPECT_EQ(session.codes, (std::vector<int>{501, 501, 350})) << "the raw argument counts";
    EXPECT_EQ(session.texts.back(),
              "Restarting at 4096 bytes. Send STOR or RETR to start transfer.");
    transfers.Allo("100");
    transfers.Allo("lots");
    EXPECT_EQ(session.codes, (std::vector<int>{501, 501, 350, 202, 501}));
}

TEST_F(TransfersTest, UploadsAreRefusedBeforeAnyFileIsOpened) {
    session.rights = 0;
    transfers.Upload(CMD_STOR, "new.bin");
    EXPECT_EQ(session.Last(), 553);
    EXPECT_EQ(session.texts.back(), "Permission denied.");

    session.rights = RightsWrite;
    session.codes.clear();
    transfers.Upload(CMD_STOR, "");
    transfers.Upload(CMD_STOR, "con");        // a name the system keeps for itself
    transfers.Upload(CMD_STOR, "docs");       // a folder
    transfers.Upload(CMD_STOR, "a.txt");      // exists, no right to overwrite
    transfers.Upload(CMD_STOR, "\\pub");      // the share point itself
    transfers.Upload(CMD_STOR, "\\top.bin");  // the root holds share points only
    EXPECT_EQ(session.codes, (std::vector<int>{501, 501, 550, 553, 550, 550}));

    session.codes.clear();
    Line("REST 5");
    Line("STOR missing.bin");
    transfers.Upload(CMD_STOR, "missing.bin");
    EXPECT_EQ(session.Last(), 552) << "a restart needs the file it resumes";
    session.rights = RightsWrite | RightsOverwrite;
    Line("REST 5");
    Line("APPE a.txt");
    transfers.Upload(CMD_APPE, "a.txt");
    EXPECT_EQ(session.Last(), 554) << "APPE takes no restart offset";
    Line("STOU name");
    transfers.Upload(CMD_STOU, "");
    EXPECT_EQ(session.Last(), 500) << "STOU takes no argument";
    EXPECT_EQ(session.continued, 0);
    EXPECT_EQ(session.operation.commandId, 0u) << "nothing was started";
    EXPECT_EQ(fs.At("/srv/pub/a.txt").size, 100u);
}

TEST_F(TransfersTest, RetrOfWhatIsNotAFileAndAborWithNothingRunning) {
    transfers.Retr("");
    transfers.Retr("missing.txt");
    transfers.Retr("docs");
    transfers.Retr("../../outside.txt");
    EXPECT_EQ(session.codes, (std::vector<int>{501, 550, 550, 550}));

    session.codes.clear();
    transfers.Abor();
    EXPECT_EQ(session.codes, (std::vector<int>{226})) << "nothing to cut";
    session.dataOpen = true;
    transfers.Abor();
    EXPECT_EQ(session.codes, (std::vector<int>{226, 426, 226}));
    EXPECT_FALSE(session.dataOpen);
    EXPECT_TRUE(session.reports.empty()) << "no file transfer ran";
}
