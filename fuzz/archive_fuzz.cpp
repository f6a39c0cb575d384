// Console message objects as a console sends them. The first byte picks the mode:
//
//   below 0x80: the rest is the payload of message type 1 + b % 12, loaded into its class;
//               whatever loads must store, and the stored bytes must load whole and store
//               again to the same bytes (load(store(x)) is the fixed point);
//   0x80 and up: the rest is the byte stream of a console connection, received in chunks of
//               1 + (b & 0x7F) bytes through the console channel's frame decoder. Afterwards
//               the channel is given a send event; whatever it sends must be well-framed, and
//               only a console that presented the password may receive anything.
//
// The channel is driven through a socket object that never touches the network.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/ControlConnection.h"
#include "messages/MsgObjects.h"
#include "messages/ThrottleData.h"
#include "net/ThrottleSchedule.h"
#include "platform/Clock.h"
#include "platform/RegistryFile.h"

namespace {

constexpr const char* kPassword = "pw";

uint32_t GetU32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Stores a message that has just loaded and checks the stored form is its own fixed point.
// False when the loaded object does not fit the payload limit (text read narrow is stored
// wide, so a full payload may grow).
bool CheckRoundTrip(int type, CFtpMsgObject& loaded) {
    std::vector<uint8_t> once;
    try {
        once = StoreMessage(loaded);
    } catch (const CArchiveException&) {
        return false;
    }
    std::unique_ptr<CFtpMsgObject> again = CreateMessage(type);
    CArchive in(once.data(), once.size());
    try {
        again->Serialize(in);
    } catch (const CArchiveException&) {
        __builtin_trap();  // what the server stores it cannot read back
    }
    if (in.Remaining() != 0) __builtin_trap();  // load and store disagree on the layout
    std::vector<uint8_t> twice = StoreMessage(*again);
    if (twice != once) __builtin_trap();
    return true;
}

void FuzzPayload(int type, const uint8_t* data, size_t size) {
    std::unique_ptr<CFtpMsgObject> message = CreateMessage(type);
    if (!message) __builtin_trap();
    try {
        LoadMessage(*message, data, size);
    } catch (const CArchiveException&) {
        return;
    }
    CheckRoundTrip(type, *message);
    if (type == MSG_REQUEST) {
        CFtpReqMsg standing;
        standing.Merge(static_cast<CFtpReqMsg&>(*message));
    }
}

// Hands out the input in fixed chunks and collects what is sent.
class ScriptedSocket : public CFtpSocket {
public:
    using CFtpSocket::CFtpSocket;
    int Receive(void* buffer, int length, int) override {
        if (!open) return -1;
        size_t n = std::min({left, chunk, static_cast<size_t>(length)});
        std::memcpy(buffer, data, n);
        data += n;
        left -= n;
        return static_cast<int>(n);
    }
    int Send(const void* buffer, int length, int) override {
        if (!open) return -1;
        const auto* p = static_cast<const uint8_t*>(buffer);
        sent.insert(sent.end(), p, p + length);
        return length;
    }
    void Close() override { open = false; }
    bool IsOpen() override { return open; }
    void SetReadWanted(bool) override {}
    void SetWriteWanted(bool) override {}

    const uint8_t* data = nullptr;
    size_t left = 0, chunk = 1;
    std::vector<uint8_t> sent;
    bool open = true;
};

class Sink : public CFtpEventSink {
public:
    void Post(uint32_t code, CFtpListener*, CFtpSocket*) override {
        if (code == EV_RECEIVE) ++receives;
    }
    int receives = 0;
};

class Console : public CFtpControlConnection {
public:
    explicit Console(CFtpEventSink* sink) : CFtpControlConnection(sink) {
        consoleEnabled_ = true;
        sendBuffer_.assign(kBufferSize, 0);
        receiveBuffer_.assign(kBufferSize, 0);
        socket = new ScriptedSocket(this);
        secondarySocket_ = socket;  // deleted with the connection
        Settings().SetString("SysConsolePass", kPassword);
    }
    CFtpSocket* CreatePrimarySocket(CFtpConnection*) override { return nullptr; }
    CFtpSocket* CreateSecondarySocket(CFtpConnection*) override { return nullptr; }
    uint32_t Received() const { return received_; }

    ScriptedSocket* socket;
};

// A frame the channel sent: 4-byte type, 4-byte length, then a payload that must load whole.
void CheckSentFrames(const std::vector<uint8_t>& sent) {
    size_t at = 0;
    while (at < sent.size()) {
        if (sent.size() - at < CFtpControlConnection::kHeaderSize) __builtin_trap();
        uint32_t type = GetU32(&sent[at]), length = GetU32(&sent[at + 4]);
        at += CFtpControlConnection::kHeaderSize;
        if (length > sent.size() - at) __builtin_trap();
        std::unique_ptr<CFtpMsgObject> message = CreateMessage(static_cast<int>(type));
        if (!message || type > 0xFF) __builtin_trap();
        CArchive in(&sent[at], length);
        try {
            message->Serialize(in);
        } catch (const CArchiveException&) {
            __builtin_trap();
        }
        if (in.Remaining() != 0) __builtin_trap();
        at += length;
    }
}

void FuzzFrames(size_t chunk, const uint8_t* data, size_t size) {
    static const CFtpThrottleData kDefaultSchedule;
    ReplaceThrottleSchedule(kDefaultSchedule);  // a frame may install one; runs stay independent

    Sink sink;
    Console console(&sink);
    ScriptedSocket& socket = *console.socket;
    socket.data = data;
    socket.left = size;
    socket.chunk = chunk;
    // One receive event per chunk, and one more for each event the channel raises itself
    // because a further frame is already buffered.
    for (int rounds = 0; socket.open && rounds < 100000; ++rounds) {
        size_t left = socket.left;
        uint32_t held = console.Received();
        int receives = sink.receives;
        console.OnReceive(&socket);
        if (console.Received() > CFtpControlConnection::kBufferSize) __builtin_trap();
        if (socket.left == left && console.Received() == held && sink.receives == receives)
            break;
    }
    if (!socket.open) return;

    console.OnSend(&socket);
    if (socket.sent.empty()) return;
    if (console.StandingRequest().password != kPassword) __builtin_trap();
    CheckSentFrames(socket.sent);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::Clock::Freeze(1700000000);  // message defaults read the clock
    // Saving a schedule goes to the registry: a path below a non-folder, so it never writes.
    platform::Registry::SetFile("/dev/null/registry.reg");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint8_t mode = data[0];
    if (mode < 0x80)
        FuzzPayload(1 + mode % 12, data + 1, size - 1);
    else
        FuzzFrames(1 + (mode & 0x7F), data + 1, size - 1);
    return 0;
}
