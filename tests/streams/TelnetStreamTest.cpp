#include <gtest/gtest.h>

#include <zlib.h>

#include "FakeSocket.h"
#include "streams/DeflateBuffer.h"
#include "streams/MsgStream.h"
#include "streams/TelnetStream.h"

namespace {
std::string Decode(TelnetDecoder& decoder, const std::string& in, std::string* replies = nullptr) {
    std::string data, out;
    decoder.Decode(reinterpret_cast<const uint8_t*>(in.data()), in.size(), data, out);
    if (replies) *replies += out;
    return data;
}

struct ControlStream {
    ControlStream() : stream(&socket) {
        stream.Create(4096, 4096);
        stream.Open(3, 0);
        stream.SetTelnet(true);
    }
    std::string Read() {
        std::string line;
        return stream.ReadLine(line) ? line : "<none>";
    }
    FakeSocket socket;
    CFtpTelnetStream stream;
};
}  // namespace

TEST(FifoBufferTest, ConsumeAndAppendStayWithinBounds) {
    CFtpFifoBuffer fifo;
    fifo.Allocate(8, true);
    const uint8_t abc[] = {'a', 'b', 'c'};
    fifo.Append(abc, 3);
    EXPECT_THROW(fifo.Consume(5), COutOfMemory);
    EXPECT_EQ(fifo.Used(), 3u);
    fifo.Consume(1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(fifo.Data()), 2), "bc");
    uint8_t six[6] = {};
    EXPECT_NO_THROW(fifo.Append(six, 6));  // exactly the free room
    EXPECT_THROW(fifo.Append(six, 1), COutOfMemory);
    EXPECT_EQ(fifo.Used(), 8u);
}

TEST(TelnetCodecTest, LineEndsAreCrLfOrCrNul) {
    auto find = [](const std::string& s) {
        return FindLineEnd(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    EXPECT_EQ(find("NOOP\r\n"), 6);
    EXPECT_EQ(find(Bytes({'A', 13, 0, 'B'})), 3);
    EXPECT_EQ(find("NOOP\n"), -1);
    EXPECT_EQ(find("NOOP\r"), -1);
    EXPECT_EQ(find(Bytes({'A', 0, 10, 13, 10})), 5);
}

TEST(TelnetCodecTest, OptionsAreRefusedAndCommandsStripped) {
    TelnetDecoder decoder;
    std::string replies;
    EXPECT_EQ(Decode(decoder, Bytes({'a', 255, 255, 'b'})), Bytes({'a', 255, 'b'}));
    EXPECT_EQ(
        Decode(decoder, Bytes({255, 253, 1, 255, 251, 3, 255, 252, 5, 255, 254, 6}), &replies), "");
    EXPECT_EQ(replies, Bytes({255, 252, 1, 255, 254, 3, 255, 254, 5, 255, 252, 6}));
    // A subnegotiation split across reads is dropped whole, and so is a split command.
    EXPECT_EQ(Decode(decoder, Bytes({'x', 255, 250, 24, 'a', 'b', 255})), "x");
    EXPECT_EQ(Decode(decoder, Bytes({240, 'y', 255})), "y");
    replies.clear();
    EXPECT_EQ(Decode(decoder, Bytes({253, 9, 'z'}), &replies), "z");
    EXPECT_EQ(replies, Bytes({255, 252, 9}));
    // CR NUL is a bare CR.
    EXPECT_EQ(Decode(decoder, Bytes({'A', 13, 0, 'B'})), Bytes({'A', 13, 'B'}));
}

TEST(TelnetCodecTest, SynchDropsWhatCameBeforeItButABare242IsData) {
    TelnetDecoder decoder;
    EXPECT_EQ(Decode(decoder, Bytes({'j', 'u', 'n', 'k', 255, 242, 'A', 'B', 'O', 'R', 13, 10})),
              "ABOR\r\n");
    // The interrupt that precedes a client's abort leaves the session going.
    EXPECT_EQ(Decode(decoder, Bytes({255, 244, 255, 242, 'A', 'B', 'O', 'R', 13, 10})), "ABOR\r\n");
    // "ò" of the local code page in a file name.
    EXPECT_EQ(Decode(decoder, Bytes({'R', 'E', 'T', 'R', ' ', 242, 'x', 13, 10})),
              Bytes({'R', 'E', 'T', 'R', ' ', 242, 'x', 13, 10}));
    // IAC IAC 242 is data 255 then data 242, not a mark.
    EXPECT_EQ(Decode(decoder, Bytes({'a', 255, 255, 242})), Bytes({'a', 255, 242}));
}

TEST(TelnetCodecTest, Utf8RulesOfTheStream) {
    auto decode = [](const std::string& s, std::u16string* out = nullptr) {
        char16_t units[16];
        size_t consumed = 0, produced = 0;
        Utf8Result r = DecodeUtf8(reinterpret_cast<const uint8_t*>(s.data()), s.size(), units, 16,
                                  &consumed, &produced);
        if (out) out->assign(units, produced);
        return r;
    };
    std::u16string units;
    EXPECT_EQ(decode(Bytes({0xC3, 0xA9}), &units), Utf8Result::Ok);
    EXPECT_EQ(units, u"\u00E9");
    EXPECT_EQ(decode(Bytes({0xF0, 0x9F, 0x98, 0x80}), &units), Utf8Result::Ok);
    EXPECT_EQ(units, std::u16string({0xD83D, 0xDE00}));
    for (auto bad : {Bytes({0xC0, 0xAF}), Bytes({0xC1, 0x81}), Bytes({0xE0, 0x80, 0x80}),
                     Bytes({0xED, 0xA0, 0x80}), Bytes({0xF4, 0x90, 0x80, 0x80}), Bytes({0xF8}),
                     Bytes({0x80}), Bytes({0xC3, 0x41})})
        EXPECT_EQ(decode(bad), Utf8Result::Invalid);
    EXPECT_EQ(decode(Bytes({'a', 0xE2, 0x82})), Utf8Result::Incomplete);

    // A pair is not split when only one unit of room is left.
    char16_t one[1];
    size_t consumed = 9, produced = 9;
    std::string pair = Bytes({0xF0, 0x9F, 0x98, 0x80});
    EXPECT_EQ(
        DecodeUtf8(reinterpret_cast<const uint8_t*>(pair.data()), 4, one, 1, &consumed, &produced),
        Utf8Result::Ok);
    EXPECT_EQ(produced, 0u);

    uint8_t bytes[8];
    const char16_t lone[] = {u'a', 0xDC00};
    EXPECT_EQ(EncodeUtf8(lone, 2, bytes, 8, &consumed, &produced), Utf8Result::Invalid);
    const char16_t high[] = {u'a', 0xD800};
    EXPECT_EQ(EncodeUtf8(high, 2, bytes, 8, &consumed, &produced), Utf8Result::Incomplete);
    const char16_t euro[] = {0x20AC};
    EXPECT_EQ(EncodeUtf8(euro, 1, bytes, 2, &consumed, &produced), Utf8Result::Ok);
    EXPECT_EQ(produced, 0u) << "no room for the whole sequence: stop before it";
}

TEST(TelnetStreamTest, LinesArriveWholeWhateverTheReads) {
    ControlStream c;
    c.socket.incoming = "USER a\r";
    EXPECT_EQ(c.Read(), "<none>");
    c.socket.incoming = "\nPASS b\r\n\r\nNOOP\n";
    EXPECT_EQ(c.Read(), "USER a");
    EXPECT_EQ(c.Read(), "PASS b");
    EXPECT_EQ(c.Read(), "<none>") << "an empty line is consumed and is no line";
    EXPECT_EQ(c.Read(), "<none>") << "a bare LF ends nothing";

    ControlStream raw;
    raw.stream.SetTelnet(false);
    raw.socket.incoming = Bytes({'N', 'O', 'O', 'P', 13, 0});
    EXPECT_EQ(raw.Read(), "NOOP");
    ControlStream telnet;
    telnet.socket.incoming = Bytes({'N', 'O', 'O', 'P', 13, 0});
    EXPECT_EQ(telnet.Read(), "<none>") << "the decoder drops the NUL; the line waits for LF";
}

TEST(TelnetStreamTest, AReleasedStreamHoldsNoBuffersUntilItIsOpenedAgain) {
    ControlStream c;
    c.socket.incoming = "NOOP\r\n";
    EXPECT_EQ(c.Read(), "NOOP");
    c.stream.Release();
    EXPECT_EQ(c.stream.Input().Capacity(), 0u);
    EXPECT_EQ(c.stream.Output().Capacity(), 0u);
    c.stream.Open(3, 0);
    EXPECT_EQ(c.stream.Input().Capacity(), 4096u);
    EXPECT_EQ(c.stream.Output().Capacity(), 4096u);
    c.socket.incoming = "USER a\r\n";
    EXPECT_EQ(c.Read(), "USER a");
}

TEST(TelnetStreamTest, EncodingOfLinesBothWays) {
    ControlStream c;
    c.socket.incoming = Bytes({'C', 'W', 'D', ' ', 0xE9, 13, 10});
    EXPECT_EQ(c.Read(), "CWD é") << "the local code page";
    c.stream.SetUtf8(true);
    c.socket.incoming = Bytes({'C', 'W', 'D', ' ', 0xC3, 0xA9, 13, 10});
    EXPECT_EQ(c.Read(), "CWD é");
    c.socket.incoming = Bytes({'C', 'W', 'D', ' ', 0xC0, 0xAF, 13, 10, 'N', 'O', 'O', 'P', 13, 10});
    EXPECT_THROW(c.Read(), COutOfMemory);
    EXPECT_EQ(c.Read(), "NOOP") << "the bad line was consumed";

    c.stream.WriteLine("257 \"/é€日\" ÿ");
    EXPECT_EQ(c.socket.sent, "257 \"/é€日\" ÿ\r\n");
    c.socket.sent.clear();
    c.stream.SetUtf8(false);
    c.stream.WriteLine("é€日\xC3\xBF");
    EXPECT_EQ(c.socket.sent, Bytes({0xE9, 0x80, '?', 0xFF, 0xFF, 13, 10}))
        << "unmappable as '?', 255 doubled for telnet";
    // A line of three-byte characters is never cut short.
    c.socket.sent.clear();
    c.stream.SetUtf8(true);
    std::string wide;
    for (int i = 0; i < 300; ++i) wide += "日";
    c.stream.WriteLine(wide);
    EXPECT_EQ(c.socket.sent, wide + "\r\n");
}

TEST(TelnetStreamTest, OptionRepliesGoOutAsProtocolBytes) {
    ControlStream c;
    c.socket.incoming = Bytes({255, 253, 1, 255, 254, 2, 255, 251, 3, 255, 252, 4});
    EXPECT_EQ(c.Read(), "<none>");
    EXPECT_EQ(c.socket.sent, Bytes({255, 252, 1, 255, 252, 2, 255, 254, 3, 255, 254, 4}))
        << "DO and DONT -> WONT, WILL and WONT -> DONT; no IAC doubled";
    c.socket.sent.clear();
    c.socket.chunk = 1;  // a request split over three reads, in the middle of a line
    c.socket.incoming = Bytes({'N', 'O', 255, 253, 24, 'O', 'P', 13, 10});
    // A short read ends a read step (the socket is empty then): one step per receive event.
    std::string line = "<none>";
    for (int event = 0; event < 20 && line == "<none>"; ++event) line = c.Read();
    EXPECT_EQ(line, "NOOP");
    EXPECT_EQ(c.socket.sent, Bytes({255, 252, 24}));
}

TEST(TelnetStreamTest, OverlongLineIsDroppedAndReported) {
    ControlStream c;
    c.socket.incoming = "RETR " + std::string(9000, 'x') + "\r\nNOOP\r\n";
    std::string line;
    bool got = false;
    for (int i = 0; i < 10 && !got; ++i) got = c.stream.ReadLine(line);
    EXPECT_TRUE(c.stream.TakeDiscardedLine());
    EXPECT_FALSE(c.stream.TakeDiscardedLine());
    EXPECT_EQ(line, "NOOP");
}

TEST(TelnetStreamTest, ReadsAreSlicedAndSocketErrorsAreStreamFailures) {
    ControlStream d;
    d.stream.Create(65536, 4096);
    d.socket.incoming = std::string(20000, 'a');
    d.stream.FillInput();
    EXPECT_EQ(d.stream.Input().Used(), 9216u) << "1536-byte reads until 8192 are read";
    d.socket.fail = true;
    EXPECT_THROW(d.stream.FillInput(), CStreamFailure);
    uint64_t before = d.stream.BytesSent();
    EXPECT_THROW(d.stream.WriteLine("x"), CStreamFailure);
    EXPECT_EQ(d.stream.BytesSent(), before);
}

TEST(MsgStreamTest, ReplyFilesGoOutInSlices) {
    std::string dir = ::testing::TempDir();
    std::string path = dir + "/reply300.txt";
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        for (int i = 0; i < 300; ++i) std::fprintf(f, "line %d\r\n", i);
        std::fprintf(f, "no line end");
        std::fclose(f);
    }
    FakeSocket socket;
    CFtpMsgStream stream(&socket);
    stream.Create(4096, 4096);
    stream.Open(3, 0);
    stream.BeginReply(250, "OK");
    ASSERT_TRUE(stream.OpenReplyFile(path));
    EXPECT_EQ(stream.SendReplyFile(255), 255);
    EXPECT_EQ(stream.SendReplyFile(255), 45);
    EXPECT_EQ(stream.SendReplyFile(255), -1);
    EXPECT_EQ(socket.sent.substr(0, 22), "250-line 0\r\n250-line 1");
    EXPECT_NE(socket.sent.find("250-line 299\r\n250 OK\r\n"), std::string::npos);
    EXPECT_EQ(socket.sent.find("no line end"), std::string::npos);

    // Nothing pending, empty final text: the step writes nothing, and -1 once drained.
    socket.sent.clear();
    stream.BeginReply(220, "");
    EXPECT_EQ(stream.SendReplyFile(255), 0);
    EXPECT_EQ(stream.SendReplyFile(255), -1);
    EXPECT_TRUE(socket.sent.empty());

    // A client that does not read: no command is taken while output waits.
    socket.room = 0;
    stream.BeginReply(230, "Welcome");
    EXPECT_EQ(stream.SendReplyFile(255), 0);
    EXPECT_EQ(stream.SendReplyFile(255), 0);
    socket.room = 1 << 20;
    EXPECT_EQ(stream.SendReplyFile(255), -1);
    EXPECT_EQ(socket.sent, "230 Welcome\r\n");
}

TEST(DeflateBufferTest, ParametersAreClamped) {
    int level = 12, mem = 0, window = 8;
    CFtpDeflateBuffer::ClampParameters(level, mem, window);
    EXPECT_EQ(level, 9);
    EXPECT_EQ(mem, 1);
    EXPECT_EQ(window, 9);
}

TEST(DeflateBufferTest, DataStreamRoundTripsThroughAnIndependentInflater) {
    CFtpDeflateBuffer deflater;
    ASSERT_TRUE(deflater.Init(4096, true, 7, 8, 15));
    FakeSocket socket;
    socket.chunk = 777;
    CFtpDataStream out(&socket);
    out.Initialize();
    out.SetDeflateBuffer(&deflater);
    for (int transfer = 0; transfer < 2; ++transfer) {
        out.Open(3, 0);
        out.SetMode(MODE_DEFLATE);
        socket.sent.clear();
        std::string data;
        for (int i = 0; i < 20000; ++i) data += "line " + std::to_string(i % 50) + "\n";
        size_t taken = 0;
        while (taken < data.size())
            taken +=
                static_cast<size_t>(out.Send(reinterpret_cast<const uint8_t*>(data.data()) + taken,
                                             static_cast<int>(data.size() - taken), 0));
        while (!out.Flush(true)) {
        }
        EXPECT_GT(out.GetCompressionRatio(), 80);
        // zlib's own one-shot inflater is the peer.
        std::string back(data.size() + 16, '\0');
        uLongf length = back.size();
        ASSERT_EQ(
            uncompress(reinterpret_cast<Bytef*>(back.data()), &length,
                       reinterpret_cast<const Bytef*>(socket.sent.data()), socket.sent.size()),
            Z_OK)
            << "transfer " << transfer << " is a complete stream of its own";
        back.resize(length);
        EXPECT_EQ(back, data);
        out.Close();
        EXPECT_EQ(out.Mode(), MODE_STREAM) << "a reset leaves deflate mode";
    }

    // The other way: compressed by zlib, received through the buffer, delivered in pieces.
    std::string plain(100000, 'z');
    uLongf size = compressBound(plain.size());
    std::string packed(size, '\0');
    compress(reinterpret_cast<Bytef*>(packed.data()), &size,
             reinterpret_cast<const Bytef*>(plain.data()), plain.size());
    packed.resize(size);
    CFtpDataStream in(&socket);
    in.Initialize();
    in.SetDeflateBuffer(&deflater);
    in.Open(3, 0);
    in.SetMode(MODE_DEFLATE);
    socket.incoming = packed;
    std::string got;
    uint8_t area[3000];
    for (int i = 0; i < 1000; ++i) {
        int n = in.Receive(area, sizeof area, 0);
        if (n > 0) got.append(reinterpret_cast<char*>(area), static_cast<size_t>(n));
        if (n == 0 && socket.incoming.empty()) break;
    }
    EXPECT_EQ(got, plain);
}

TEST(DeflateBufferTest, EmptyTransferIsJustTheStreamEndAndCorruptInputFails) {
    CFtpDeflateBuffer deflater;
    ASSERT_TRUE(deflater.Init(4096, true, 7, 2, 15));
    FakeSocket socket;
    CFtpDataStream stream(&socket);
    stream.Initialize();
    stream.SetDeflateBuffer(&deflater);
    stream.Open(3, 0);
    stream.SetMode(MODE_DEFLATE);
    EXPECT_TRUE(stream.Flush(true));
    uLongf length = 16;
    char out[16];
    EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(out), &length,
                         reinterpret_cast<const Bytef*>(socket.sent.data()), socket.sent.size()),
              Z_OK);
    EXPECT_EQ(length, 0u);

    stream.Close();
    stream.Open(3, 0);
    stream.SetMode(MODE_DEFLATE);
    socket.incoming = Bytes({0x78, 0x9C, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x12});
    uint8_t area[64];
    EXPECT_THROW(stream.Receive(area, sizeof area, 0), CStreamFailure);
}

TEST(DeflateBufferTest, CompressionRatioFollowsTheCounters) {
    EXPECT_EQ(CompressionRatio(250, 1000), 76);
    EXPECT_EQ(CompressionRatio(1002, 1000), 0);
    EXPECT_EQ(CompressionRatio(5000, 1000), 0);
    CFtpDataStream plain;
    EXPECT_EQ(plain.GetCompressionRatio(), 0);
}
