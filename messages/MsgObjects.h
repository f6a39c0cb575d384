#pragma once
// The message objects a monitoring console reads and writes: each class writes itself to and
// reads itself from an archive, version by version. Items a class added in a later version are
// present only when the version byte is at least that version, in both directions.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "messages/Archive.h"
#include "platform/Clock.h"

// One hourly sample; on the wire a 24-byte record.
struct HistorySample {
    platform::Time32 time = 0;
    int64_t value = 0;
    bool operator==(const HistorySample&) const = default;
};
using History = std::vector<HistorySample>;

inline constexpr uint32_t kSampleTypeWord = 1;  // readers ignore it
void SerializeSample(CArchive& ar, platform::Time32& time, int64_t& value);
void SerializeHistory(CArchive& ar, History& history);

// Console message types.
enum MessageType : int {
    MSG_REQUEST = 1,
    MSG_SYSTEM = 2,
    MSG_OS = 3,
    MSG_CONNECTION = 4,
    MSG_EVENT = 5,
    MSG_SHARE_POINT = 6,
    MSG_REPORT = 7,
    MSG_TRANSFER = 8,
    MSG_USER = 9,
    MSG_NETWORK = 10,
    MSG_THROTTLE = 11,
    MSG_FILE_EVENT = 12,
    MSG_BAN = 13,
};

class CFtpMsgObject {
public:
    explicit CFtpMsgObject(uint32_t defaultVersion = 1)
        : version(defaultVersion), time(platform::Clock::Now()) {}
    virtual ~CFtpMsgObject() = default;

    // Writes when the archive stores, reads when it loads.
    virtual void Serialize(CArchive& ar);

    bool operator==(const CFtpMsgObject&) const = default;

    uint32_t version;  // only the low byte travels
    platform::Time32 time;

protected:
    bool Has(uint32_t sinceVersion) const { return (version & 0xFF) >= sinceVersion; }
};

// The console's standing request, with its password. A request of version 6 (it adds no
// items) asks for the session records' version 2; version 7 adds the ban list and lifting a
// ban, which a server that knows only version 6 reads past, and asks for the session records'
// version 3 and the system facts' version 4.
class CFtpReqMsg : public CFtpMsgObject {
public:
    static constexpr uint32_t kFiguresVersion = 6;
    static constexpr uint32_t kBansVersion = 7;
    CFtpReqMsg() : CFtpMsgObject(5) {}
    void Serialize(CArchive& ar) override;
    // Folds a newer request into this standing one.
    void Merge(const CFtpReqMsg& newer);
    bool operator==(const CFtpReqMsg&) const = default;

    uint8_t systemInfo = 0, osInfo = 0, sessions = 0, events = 0;
    uint8_t disconnect = 0;
    int32_t disconnectIndex = -1;
    std::string disconnectAddress;
    std::string password;
    uint8_t sharePoints = 0;                        // v2
    uint8_t reportKind = 0;                         // v3
    int32_t reportIndex = -1;                       // v3
    uint8_t transfers = 0, users = 0, network = 0;  // v3
    uint8_t throttle = 0, disconnect2 = 0;          // v4
    uint8_t fileEvents = 0;                         // v5
    uint8_t spare1 = 0, spare2 = 0;                 // v5, not used by the server
    uint8_t bans = 0;                               // v7: the ban list
    uint8_t liftBan = 0;                            // v7: lift the ban on liftAddress
    std::string liftAddress;                        // v7
};

// System information; this server never fills it.
class CFtpSysMsg : public CFtpMsgObject {
public:
    static constexpr uint32_t kAddressVersion = 4;
    CFtpSysMsg() : CFtpMsgObject(3) {}
    void Serialize(CArchive& ar) override;
    std::array<uint8_t, 3> bytes{};
    std::array<uint32_t, 5> values{};
    std::string text;                      // v2
    std::array<uint32_t, 2> moreValues{};  // v3
    platform::Time32 stamp = 0;            // v3
    std::string address;                   // v4: the address clients reach the server at
};

// Operating system information; this server never fills it.
class CFtpOsMsg : public CFtpMsgObject {
public:
    CFtpOsMsg() : CFtpMsgObject(2) {}
    void Serialize(CArchive& ar) override;
    uint8_t byte1 = 0;
    std::array<uint32_t, 5> values1{};
    std::string text1;
    uint8_t byte2 = 0;
    std::array<uint32_t, 9> values2{};
    std::string text2, text3;
    std::array<uint32_t, 8> values3{};
    std::string text4;  // v2
};

// One active session. The base time holds the login time. Version 2 adds the session's
// transfer figures; the server sends it only to a console whose request is of version 6 or
// later, so a console that knows version 1 gets exactly version 1.
class CFtpConnMsg : public CFtpMsgObject {
public:
    static constexpr uint32_t kFiguresVersion = 2;
    static constexpr uint32_t kRootVersion = 3;
    CFtpConnMsg() : CFtpMsgObject(1) {}
    void Serialize(CArchive& ar) override;
    int32_t index = -1;
    uint8_t secure = 0;
    uint32_t minutesConnected = 0;
    std::string user, peerAddress, lastCommand, folder;
    uint64_t uploads = 0, downloads = 0;        // v2: files this session moved
    uint64_t bytesReceived = 0, bytesSent = 0;  // v2: bytes this session moved
    uint64_t transferBytes = 0;                 // v2: bytes of the running transfer
    uint8_t transferring = 0;                   // v2: a transfer is running
    std::string root;  // v3: the folder "pub" is for this user, when it is one of their own
};

class CFtpEventMsg : public CFtpMsgObject {
public:
    CFtpEventMsg() : CFtpMsgObject(1) {}
    void Serialize(CArchive& ar) override;
    int32_t index = -1;
    uint16_t code = 0;
    std::string text;
};

class CFtpSharePtMsg : public CFtpMsgObject {
public:
    CFtpSharePtMsg() : CFtpMsgObject(2) {}
    void Serialize(CArchive& ar) override;
    int32_t index = -1;
    std::string name, folder;
    uint32_t reserved = 0;
    uint64_t sizeA = 0, sizeB = 0;
    History history;  // v2
};

// Report kinds (history groups).
enum ReportKind : uint8_t {
    REPORT_SHARE_POINTS = 1,
    REPORT_NETWORK = 2,
    REPORT_USERS = 4,
    REPORT_TRANSFERS = 8,
    REPORT_FIFTH = 16,
};

class CFtpReportMsg : public CFtpMsgObject {
public:
    CFtpReportMsg() : CFtpMsgObject(1) {}
    void Serialize(CArchive& ar) override;
    uint8_t kind = 0;
    int32_t index = 0;
    History history;
};

class CFtpXferMsg : public CFtpMsgObject {
public:
    CFtpXferMsg() : CFtpMsgObject(1) {}
    void Serialize(CArchive& ar) override;
    uint64_t filesUploaded = 0, filesDownloaded = 0, bytesReceived = 0, bytesSent = 0;
    std::array<uint64_t, 5> reserved{};
    History uploads;    // the first history; written after the second
    History downloads;  // the second history
};

class CFtpUserMsg : public CFtpMsgObject {
public:
    CFtpUserMsg() : CFtpMsgObject(1) {}
    void Serialize(CArchive& ar) override;
    int64_t activeSessions = 0;
    uint64_t rejected = 0, accepted = 0;
    uint64_t endedIdle = 0, endedError = 0, endedByClient = 0, endedShutdown = 0, endedOther = 0,
             endedFailedLogins = 0, reserved64 = 0;
    uint32_t pooledSessions = 0;
    std::array<uint32_t, 4> reserved32{};
    History acceptedHistory, rejectedHistory;
};

class CFtpNetMsg : public CFtpMsgObject {
public:
    CFtpNetMsg() : CFtpMsgObject(1) {}
    void Serialize(CArchive& ar) override;
    std::string listenAddress;
    uint64_t bytesReceived = 0, bytesSent = 0;
    std::array<uint32_t, 2> reservedA{};
    uint32_t openSockets = 0;
    std::array<uint32_t, 2> reservedB{};
    uint32_t listenPort = 0;
    uint32_t reservedC = 0;
    uint8_t reservedByte = 0;
    std::array<uint32_t, 6> reservedD{};
    History first, second;
};

// Flags of a finished transfer.
enum FileEventFlags : uint8_t {
    FILE_EVENT_DOWNLOAD = 1,
    FILE_EVENT_OTHER = 2,
    FILE_EVENT_DEFLATE = 4,
    FILE_EVENT_PROTECTED = 8,
    FILE_EVENT_FAILED = 16,
    FILE_EVENT_BINARY = 32,
    FILE_EVENT_RESTARTED = 64,
};

class CFtpFileEventMsg : public CFtpMsgObject {
public:
    CFtpFileEventMsg();
    void Serialize(CArchive& ar) override;
    uint32_t sequence = 0xFFFFFFFF;
    uint8_t flags = 0;
    uint8_t valid = 0;
    std::string path, user;
    platform::Time32 start, end;
    uint64_t fileBytes = 0, transferBytes = 0;
};

// One address banned after failed logins. The list ends with a record without an address,
// which carries the rules in force (failuresToBan 0: bans are off) and what a lift asked for
// in the same request found.
class CFtpBanMsg : public CFtpMsgObject {
public:
    enum LiftResult : uint8_t { kNoLift = 0, kLifted = 1, kNotBanned = 2 };
    CFtpBanMsg() : CFtpMsgObject(1) {}
    void Serialize(CArchive& ar) override;
    bool operator==(const CFtpBanMsg&) const = default;
    std::string address;
    platform::Time32 since = 0, until = 0;
    uint32_t failures = 0;
    uint32_t failuresToBan = 0, windowMinutes = 0, banMinutes = 0;  // on the end record
    uint8_t lift = kNoLift;                                         // on the end record
};

// The class a console message type carries, with its defaults; null for an unknown type.
std::unique_ptr<CFtpMsgObject> CreateMessage(int type);

// Whole-payload helpers: serialise into bytes (at most limit), or read from a payload (bytes a
// newer console may add at the end are left alone). Both raise CArchiveException.
std::vector<uint8_t> StoreMessage(CFtpMsgObject& message, size_t limit = 65535 - 8);
void LoadMessage(CFtpMsgObject& message, const uint8_t* data, size_t size);
