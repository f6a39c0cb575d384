#include "messages/MsgObjects.h"

#include "messages/ThrottleData.h"

void SerializeSample(CArchive& ar, platform::Time32& time, int64_t& value) {
    uint32_t type = kSampleTypeWord, zero = 0;
    ar.Dword(type);
    ar.Dword(zero);
    ar.Time(time);
    ar.Dword(zero);
    ar.Int64(value);
}

void SerializeHistory(CArchive& ar, History& history) {
    uint32_t count = static_cast<uint32_t>(history.size());
    ar.Count(count, 24);
    if (ar.IsLoading()) history.assign(count, HistorySample{});
    for (HistorySample& sample : history) SerializeSample(ar, sample.time, sample.value);
}

void CFtpMsgObject::Serialize(CArchive& ar) {
    uint8_t v = static_cast<uint8_t>(version);
    ar.Byte(v);
    if (ar.IsLoading()) version = v;
    ar.Time(time);
}

void CFtpReqMsg::Serialize(CArchive& ar) {
    CFtpMsgObject::Serialize(ar);
    ar.Byte(systemInfo);
    ar.Byte(osInfo);
    ar.Byte(sessions);
    ar.Byte(events);
    ar.Byte(disconnect);
    ar.Int32(disconnectIndex);
    ar.String(disconnectAddress);
    ar.String(password);
    if (Has(2)) ar.Byte(sharePoints);
    if (Has(3)) {
        ar.Byte(reportKind);
        ar.Int32(reportIndex);
        ar.Byte(transfers);
        ar.Byte(users);
        ar.Byte(network);
    }
    if (Has(4)) {
        ar.Byte(throttle);
        ar.Byte(disconnect2);
    }
    if (Has(5)) {
        ar.Byte(fileEvents);
        ar.Byte(spare1);
        ar.Byte(spare2);
    }
    if (Has(kBansVersion)) {
        ar.Byte(bans);
        ar.Byte(liftBan);
        ar.String(liftAddress);
    }
}

void CFtpReqMsg::Merge(const CFtpReqMsg& newer) {
    version = newer.version;
    time = newer.time;
    password = newer.password;
    for (auto flag :
         {&CFtpReqMsg::systemInfo, &CFtpReqMsg::osInfo, &CFtpReqMsg::sessions, &CFtpReqMsg::events,
          &CFtpReqMsg::sharePoints, &CFtpReqMsg::transfers, &CFtpReqMsg::users,
          &CFtpReqMsg::network, &CFtpReqMsg::throttle, &CFtpReqMsg::fileEvents, &CFtpReqMsg::bans})
        this->*flag = (this->*flag || newer.*flag) ? 1 : 0;
    if (reportKind == 0) {
        reportKind = newer.reportKind;
        reportIndex = newer.reportIndex;
    }
    if (!disconnect) {
        disconnect = newer.disconnect;
        disconnectIndex = newer.disconnectIndex;
        disconnectAddress = newer.disconnectAddress;
    }
    if (!liftBan) {
        liftBan = newer.liftBan;
        liftAddress = newer.liftAddress;
    }
    // The second flag guards the same take-over; the server does not act on it.
    if (!disconnect2) disconnect2 = newer.disconnect2;
}

void CFtpSysMsg::Serialize(CArchive& ar) {
    CFtpMsgObject::Serialize(ar);
    for (uint8_t& b : bytes) ar.Byte(b);
    for (uint32_t& v : values) ar.Dword(v);
    if (Has(2)) ar.String(text);
    if (Has(3)) {
        for (uint32_t& v : moreValues) ar.Dword(v);
        ar.Time(stamp);
    }
    if (Has(kAddressVersion)) ar.String(address);
}

void CFtpOsMsg::Serialize(CArchive& ar) {
    CFtpMsgObject::Serialize(ar);
    ar.Byte(byte1);
    for (uint32_t& v : values1) ar.Dword(v);
    ar.String(text1);
    ar.Byte(byte2);
    for (uint32_t& v : values2) ar.Dword(v);
    ar.String(text2);
    ar.String(text3);
    for (uint32_t& v : values3) ar.Dword(v);
    if (Has(2)) ar.String(text4);
}

void CFtpConnMsg::Serialize(CArchive& ar) {
    CFtpMsgObject::Serialize(ar);
    ar.Int32(index);
    ar.Byte(secure);
    ar.Dword(minutesConnected);
    ar.String(user);
    ar.String(peerAddress);
    ar.String(lastCommand);
    ar.String(folder);
    if (Has(kFiguresVersion)) {
        ar.Uint64(uploads);
        ar.Uint64(downloads);
        ar.Uint64(bytesReceived);
        ar.Uint64(bytesSent);
        ar.Uint64(transferBytes);
        ar.Byte(transferring);
    }
    if (Has(kRootVersion)) ar.String(root);
}

void CFtpEventMsg::Serialize(CArchive& ar) {
    CFtpMsgObject::Serialize(ar);
    ar.Int32(index);
    ar.Word(code);
    ar.String(text);
}

void CFtpSharePtMsg::Serialize(CArchive& ar) {
    CFtpMsgObject::Serialize(ar);
    ar.Int32(index);
    ar.String(name);
    ar.String(folder);
    ar.Dword(reserved);
    ar.Uint64(sizeA);
    ar.Uint64(sizeB);
    if (Has(2)) SerializeHistory(ar, history);
}

void CFtpReportMsg::Serialize(CArchive& ar) {
    CFtpMsgObject::Serialize(ar);
    ar.Byte(kind);
    ar.Int32(index);
    SerializeHistory(ar, history);
}

void CFtpXferMsg::Serialize(CArchive& ar) {
    CFtpMsgObject::Serialize(ar);
    ar.Uint64(filesUploaded);
    ar.Uint64(filesDownloaded);
    ar.Uint64(bytesReceived);
    ar.Uint64(bytesSent);
    for (uint64_t& r : reserved) ar.Uint64(r);
    SerializeHistory(ar, downloads);
    SerializeHistory(ar, uploads);
}

void CFtpUserMsg::Serialize(CArchive& ar) {
    CFtpMsgObject::Serialize(ar);
    ar.Int64(activeSessions);
    for (uint64_t* v : {&rejected, &accepted, &endedIdle, &endedError, &endedByClient,
                        &endedShutdown, &endedOther, &endedFailedLogins, &reserved64})
        ar.Uint64(*v);
    ar.Dword(pooledSessions);
    for (uint32_t& r : reserved32) ar.Dword(r);
    SerializeHistory(ar, acceptedHistory);
    SerializeHistory(ar, rejectedHistory);
}

void CFtpNetMsg::Serialize(CArchive& ar) {
    CFtpMsgObject::Serialize(ar);
    ar.String(listenAddress);
    ar.Uint64(bytesReceived);
    ar.Uint64(bytesSent);
    for (uint32_t& r : reservedA) ar.Dword(r);
    ar.Dword(openSockets);
    for (uint32_t& r : reservedB) ar.Dword(r);
    ar.Dword(listenPort);
    ar.Dword(reservedC);
    ar.Byte(reservedByte);
    for (uint32_t& r : reservedD) ar.Dword(r);
    SerializeHistory(ar, first);
    SerializeHistory(ar, second);
}

CFtpFileEventMsg::CFtpFileEventMsg() : CFtpMsgObject(1), start(time), end(time) {}

void CFtpFileEventMsg::Serialize(CArchive& ar) {
    CFtpMsgObject::Serialize(ar);
    ar.Dword(sequence);
    ar.Byte(flags);
    ar.Byte(valid);
    ar.String(path);
    ar.String(user);
    ar.Time(start);
    ar.Time(end);
    ar.Uint64(fileBytes);
    ar.Uint64(transferBytes);
}

void CFtpBanMsg::Serialize(CArchive& ar) {
    CFtpMsgObject::Serialize(ar);
    ar.String(address);
    ar.Time(since);
    ar.Time(until);
    ar.Dword(failures);
    ar.Dword(failuresToBan);
    ar.Dword(windowMinutes);
    ar.Dword(banMinutes);
    ar.Byte(lift);
}

std::unique_ptr<CFtpMsgObject> CreateMessage(int type) {
    switch (type & 0xFF) {
        case MSG_REQUEST:
            return std::make_unique<CFtpReqMsg>();
        case MSG_SYSTEM:
            return std::make_unique<CFtpSysMsg>();
        case MSG_OS:
            return std::make_unique<CFtpOsMsg>();
        case MSG_CONNECTION:
            return std::make_unique<CFtpConnMsg>();
        case MSG_EVENT:
            return std::make_unique<CFtpEventMsg>();
        case MSG_SHARE_POINT:
            return std::make_unique<CFtpSharePtMsg>();
        case MSG_REPORT:
            return std::make_unique<CFtpReportMsg>();
        case MSG_TRANSFER:
            return std::make_unique<CFtpXferMsg>();
        case MSG_USER:
            return std::make_unique<CFtpUserMsg>();
        case MSG_NETWORK:
            return std::make_unique<CFtpNetMsg>();
        case MSG_THROTTLE:
            return std::make_unique<CFtpThrottleData>();
        case MSG_FILE_EVENT:
            return std::make_unique<CFtpFileEventMsg>();
        case MSG_BAN:
            return std::make_unique<CFtpBanMsg>();
        default:
            return nullptr;
    }
}

std::vector<uint8_t> StoreMessage(CFtpMsgObject& message, size_t limit) {
    std::vector<uint8_t> bytes;
    CArchive ar(bytes, limit);
    message.Serialize(ar);
    return bytes;
}

void LoadMessage(CFtpMsgObject& message, const uint8_t* data, size_t size) {
    CArchive ar(data, size);
    message.Serialize(ar);
}
