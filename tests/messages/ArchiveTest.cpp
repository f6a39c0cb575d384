#include <gtest/gtest.h>

#include <random>

#include "messages/MsgObjects.h"
#include "messages/ThrottleData.h"
#include "platform/Clock.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Store(CFtpMsgObject& message) {
    return StoreMessage(message);
}

// Little-endian pieces for building expected payloads.
struct Expect {
    Bytes bytes;
    Expect& B(uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    Expect& W(uint16_t v) {
        B(v & 0xFF);
        return B(v >> 8);
    }
    Expect& D(uint32_t v) {
        W(v & 0xFFFF);
        return W(v >> 16);
    }
    Expect& Q(uint64_t v) {
        D(static_cast<uint32_t>(v));
        return D(static_cast<uint32_t>(v >> 32));
    }
    Expect& S(const std::u16string& s) {
        B(0xFF).W(0xFFFE);
        if (s.size() < 255)
            B(static_cast<uint8_t>(s.size()));
        else
            B(0xFF).W(static_cast<uint16_t>(s.size()));
        for (char16_t c : s) W(c);
        return *this;
    }
};

constexpr uint32_t kTime = 0x5F5E1000;

class ArchiveTest : public ::testing::Test {
protected:
    void SetUp() override { platform::Clock::Freeze(kTime); }
    void TearDown() override { platform::Clock::Release(); }
};

}  // namespace

TEST_F(ArchiveTest, StringsCarryTheWideMarkAndTheirLengthForm) {
    for (auto [length, header] :
         {std::pair<size_t, Bytes>{0, {0xFF, 0xFE, 0xFF, 0x00}},
          {254, {0xFF, 0xFE, 0xFF, 0xFE}},
          {255, {0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0x00}},
          {0xFFFE, {0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0, 0}}}) {
        std::string text(length, 'a');
        Bytes out;
        CArchive store(out, 1 << 20);
        store.String(text);
        ASSERT_EQ(out.size(), header.size() + 2 * length) << length;
        EXPECT_TRUE(std::equal(header.begin(), header.end(), out.begin())) << length;
        std::string back;
        CArchive load(out.data(), out.size());
        load.String(back);
        EXPECT_EQ(back, text);
        EXPECT_EQ(load.Remaining(), 0u);
    }
}

TEST_F(ArchiveTest, NarrowStringsReadFromTheLocalCodePage) {
    Bytes in{3, 'a', 0xE9, 0x80};  // "aé€" in Windows-1252
    CArchive load(in.data(), in.size());
    std::string text;
    load.String(text);
    EXPECT_EQ(text, "aé€");
    Bytes wide = Expect().S(u"日本").bytes;
    CArchive loadWide(wide.data(), wide.size());
    loadWide.String(text);
    EXPECT_EQ(text, "日本");
}

TEST_F(ArchiveTest, RequestVersionOneAndFiveFieldByField) {
    CFtpReqMsg v1;
    v1.version = 1;
    v1.sessions = 1;
    v1.disconnectIndex = 3;
    v1.disconnectAddress = "10.0.0.1";
    v1.password = "pw";
    v1.sharePoints = 1;  // not written at version 1
    Bytes expected =
        Expect().B(1).D(kTime).B(0).B(0).B(1).B(0).B(0).D(3).S(u"10.0.0.1").S(u"pw").bytes;
    EXPECT_EQ(Store(v1), expected);

    CFtpReqMsg v5;
    v5.password = "pw";
    v5.sharePoints = 1;
    v5.reportKind = 2;
    v5.reportIndex = 1;
    v5.network = 1;
    v5.throttle = 1;
    v5.disconnect2 = 1;
    v5.fileEvents = 1;
    expected = Expect()
                   .B(5)
                   .D(kTime)
                   .B(0)
                   .B(0)
                   .B(0)
                   .B(0)
                   .B(0)
                   .D(0xFFFFFFFF)
                   .S(u"")
                   .S(u"pw")
                   .B(1)  // v2 share points
                   .B(2)
                   .D(1)
                   .B(0)
                   .B(0)
                   .B(1)  // v3 report, counters, network
                   .B(1)
                   .B(1)  // v4 schedule, second disconnect flag
                   .B(1)
                   .B(0)
                   .B(0)  // v5 file events, two spare bytes
                   .bytes;
    EXPECT_EQ(Store(v5), expected);

    CFtpReqMsg back;
    LoadMessage(back, expected.data(), expected.size());
    EXPECT_EQ(back, v5);
}

TEST_F(ArchiveTest, OlderRequestsLeaveLaterFlagsAtZero) {
    CFtpReqMsg v2;
    v2.version = 2;
    v2.sharePoints = 1;
    v2.throttle = 1;  // version 4: not written
    Bytes bytes = Store(v2);
    CFtpReqMsg back;
    back.throttle = 0;
    LoadMessage(back, bytes.data(), bytes.size());
    EXPECT_EQ(back.version, 2u);
    EXPECT_EQ(back.sharePoints, 1);
    EXPECT_EQ(back.throttle, 0);
    EXPECT_EQ(back.reportKind, 0);
    EXPECT_EQ(back.reportIndex, -1);
    EXPECT_EQ(back.fileEvents, 0);
}

TEST_F(ArchiveTest, TransferCountersWithEmptyHistoriesEndInTwoZeroCounts) {
    CFtpXferMsg xfer;
    xfer.filesUploaded = 1;
    xfer.bytesSent = 0x100000002ull;
    Bytes bytes = Store(xfer);
    Expect expected;
    expected.B(1).D(kTime).Q(1).Q(0).Q(0).Q(0x100000002ull);
    for (int i = 0; i < 5; ++i) expected.Q(0);
    expected.W(0).W(0);
    EXPECT_EQ(bytes, expected.bytes);

    // With samples: the download history is written before the upload history.
    xfer.uploads = {{100, 7}};
    xfer.downloads = {{200, 8}, {300, -1}};
    bytes = Store(xfer);
    CFtpXferMsg back;
    LoadMessage(back, bytes.data(), bytes.size());
    EXPECT_EQ(back.uploads, xfer.uploads);
    EXPECT_EQ(back.downloads, xfer.downloads);
    size_t historyStart = 1 + 4 + 9 * 8;
    EXPECT_EQ(bytes[historyStart], 2) << "download count first";
    Bytes sample = Expect().D(kSampleTypeWord).D(0).D(200).D(0).Q(8).bytes;
    EXPECT_TRUE(std::equal(sample.begin(), sample.end(), bytes.begin() + historyStart + 2));
}

TEST_F(ArchiveTest, FailedBinaryDeflateDownloadHasFlags53) {
    CFtpFileEventMsg event;
    event.sequence = 7;
    event.flags = FILE_EVENT_DOWNLOAD | FILE_EVENT_DEFLATE | FILE_EVENT_FAILED | FILE_EVENT_BINARY;
    event.valid = 1;
    event.path = "\\pub\\a.bin";
    event.user = "guest@";
    event.fileBytes = 10;
    event.transferBytes = 4;
    EXPECT_EQ(event.flags, 53);
    Bytes expected = Expect()
                         .B(1)
                         .D(kTime)
                         .D(7)
                         .B(53)
                         .B(1)
                         .S(u"\\pub\\a.bin")
                         .S(u"guest@")
                         .D(kTime)
                         .D(kTime)
                         .Q(10)
                         .Q(4)
                         .bytes;
    EXPECT_EQ(Store(event), expected);
}

TEST_F(ArchiveTest, EveryClassRoundTripsThroughItsType) {
    for (int type = MSG_REQUEST; type <= MSG_BAN; ++type) {
        auto message = CreateMessage(type);
        ASSERT_NE(message, nullptr) << type;
        Bytes bytes = StoreMessage(*message);
        auto back = CreateMessage(type);
        back->time = 0;
        LoadMessage(*back, bytes.data(), bytes.size());
        EXPECT_EQ(StoreMessage(*back), bytes) << type;
    }
    EXPECT_EQ(CreateMessage(14), nullptr);
    EXPECT_NE(CreateMessage(0x104), nullptr) << "only the low byte tells types apart";
}

TEST_F(ArchiveTest, PayloadsThatOutgrowTheFrameFail) {
    CFtpReportMsg report;
    report.history.assign(3000, HistorySample{1, 2});  // 72,000 bytes of samples
    EXPECT_THROW(StoreMessage(report), CArchiveException);
    report.history.resize(100);
    EXPECT_NO_THROW(StoreMessage(report));
}

TEST_F(ArchiveTest, TruncatedAndMutatedPayloadsFailCleanly) {
    // Valid payloads of every class, with histories, strings and zones in them.
    std::vector<std::pair<int, Bytes>> samples;
    for (int type = MSG_REQUEST; type <= MSG_BAN; ++type) {
        auto message = CreateMessage(type);
        if (auto* ban = dynamic_cast<CFtpBanMsg*>(message.get())) ban->address = "127.0.0.2";
        if (auto* share = dynamic_cast<CFtpSharePtMsg*>(message.get())) {
            share->name = "pub";
            share->history = {{1, 2}, {3, 4}};
        }
        if (auto* conn = dynamic_cast<CFtpConnMsg*>(message.get())) conn->user = "ünï";
        if (auto* net = dynamic_cast<CFtpNetMsg*>(message.get())) net->second = {{5, 6}};
        samples.emplace_back(type, StoreMessage(*message));
    }
    std::mt19937 random(12345);
    int failures = 0, successes = 0;
    for (int round = 0; round < 6000; ++round) {
        auto& [type, valid] = samples[static_cast<size_t>(round) % samples.size()];
        Bytes bytes = valid;
        switch (random() % 3) {
            case 0:  // cut anywhere
                bytes.resize(random() % bytes.size());
                break;
            case 1:  // flip some bytes, lengths and counts included
                for (int k = 0, n = 1 + static_cast<int>(random() % 4); k < n; ++k)
                    bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
                break;
            default:  // claim a huge length or count
                bytes[random() % bytes.size()] = 0xFF;
                if (bytes.size() > 8) bytes[random() % bytes.size()] = 0xFF;
                break;
        }
        auto message = CreateMessage(type);
        try {
            LoadMessage(*message, bytes.data(), bytes.size());
            ++successes;
        } catch (const CArchiveException&) {
            ++failures;
        }
    }
    EXPECT_GT(failures, 1000);
    EXPECT_GT(successes, 100);
}

TEST_F(ArchiveTest, SessionRecordsCarryTransferFiguresOnlyFromVersionTwo) {
    CFtpConnMsg record;
    record.index = 2;
    record.user = "bob";
    record.uploads = 3;
    record.transferBytes = 0x100000000ULL;
    record.transferring = 1;
    Bytes v1 = Store(record);
    EXPECT_EQ(v1.back(), 0x00) << "version 1 ends with the folder's empty length";
    record.version = CFtpConnMsg::kFiguresVersion;
    Bytes v2 = Store(record);
    ASSERT_EQ(v2.size(), v1.size() + 5 * 8 + 1);
    EXPECT_TRUE(std::equal(v1.begin() + 1, v1.end(), v2.begin() + 1)) << "the same first items";

    CFtpConnMsg back;
    LoadMessage(back, v2.data(), v2.size());
    EXPECT_EQ(back.uploads, 3u);
    EXPECT_EQ(back.transferBytes, 0x100000000ULL);
    EXPECT_EQ(back.transferring, 1);
    record.version = CFtpConnMsg::kRootVersion;
    record.root = "/srv/homes/bob/";
    Bytes v3 = Store(record);
    ASSERT_EQ(v3.size(), v2.size() + 4 + record.root.size() * 2) << "a UTF-16 string";
    EXPECT_TRUE(std::equal(v2.begin() + 1, v2.end(), v3.begin() + 1));
    LoadMessage(back, v3.data(), v3.size());
    EXPECT_EQ(back.root, "/srv/homes/bob/");
    // A request of version 6 is a version 5 request in its items.
    CFtpReqMsg request, five;
    request.version = CFtpReqMsg::kFiguresVersion;
    Bytes six = Store(request);
    EXPECT_EQ(six.size(), Store(five).size());
    CFtpReqMsg read;
    LoadMessage(read, six.data(), six.size());
    EXPECT_EQ(read.version, CFtpReqMsg::kFiguresVersion);
}

TEST_F(ArchiveTest, BanRequestsAddTheirItemsAfterVersionSixAndMergeOneLiftAtATime) {
    CFtpReqMsg six;
    six.version = CFtpReqMsg::kFiguresVersion;
    six.password = "pw";
    six.bans = 1;  // not written below version 7
    CFtpReqMsg seven = six;
    seven.version = CFtpReqMsg::kBansVersion;
    seven.liftBan = 1;
    seven.liftAddress = "127.0.0.2";
    Bytes sixBytes = Store(six), sevenBytes = Store(seven);
    Bytes items = Expect().B(1).B(1).S(u"127.0.0.2").bytes;
    ASSERT_EQ(sevenBytes.size(), sixBytes.size() + items.size());
    EXPECT_EQ(sevenBytes[0], 7);
    // A server that reads version 6 finds its items where they were and leaves the rest.
    EXPECT_TRUE(std::equal(sixBytes.begin() + 1, sixBytes.end(), sevenBytes.begin() + 1));
    EXPECT_TRUE(std::equal(items.begin(), items.end(), sevenBytes.begin() + sixBytes.size()));
    CFtpReqMsg back;
    LoadMessage(back, sevenBytes.data(), sevenBytes.size());
    EXPECT_EQ(back, seven);
    CFtpReqMsg sixBack;
    LoadMessage(sixBack, sixBytes.data(), sixBytes.size());
    EXPECT_EQ(sixBack.bans, 0);

    // The standing request keeps the first lift until the server has acted on it.
    CFtpReqMsg standing;
    standing.Merge(sixBack);
    EXPECT_EQ(standing.bans, 0);
    standing.Merge(back);
    CFtpReqMsg other = seven;
    other.liftAddress = "127.0.0.3";
    standing.Merge(other);
    EXPECT_EQ(standing.bans, 1);
    EXPECT_EQ(standing.liftBan, 1);
    EXPECT_EQ(standing.liftAddress, "127.0.0.2");
    standing.Merge(sixBack);
    EXPECT_EQ(standing.bans, 1) << "a later request without bans does not cancel the list";
}

TEST_F(ArchiveTest, BanRecordFieldByField) {
    CFtpBanMsg ban;
    ban.address = "127.0.0.2";
    ban.since = kTime - 60;
    ban.until = kTime + 3540;
    ban.failures = 10;
    Bytes expected = Expect()
                         .B(1)
                         .D(kTime)
                         .S(u"127.0.0.2")
                         .D(kTime - 60)
                         .D(kTime + 3540)
                         .D(10)
                         .D(0)
                         .D(0)
                         .D(0)
                         .B(0)
                         .bytes;
    EXPECT_EQ(Store(ban), expected);
    CFtpBanMsg end;
    end.failuresToBan = 10;
    end.windowMinutes = 10;
    end.banMinutes = 60;
    end.lift = CFtpBanMsg::kNotBanned;
    Bytes bytes = Store(end);
    CFtpBanMsg back;
    LoadMessage(back, bytes.data(), bytes.size());
    EXPECT_EQ(back, end);
    EXPECT_EQ(back.address, "");
}
