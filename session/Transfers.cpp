#include "session/Transfers.h"

#include <algorithm>
#include <cstdio>

#include "config/FolderPath.h"
#include "config/UserAccounts.h"
#include "net/EventCodes.h"
#include "net/FtpSocket.h"
#include "platform/Text.h"
#include "session/DataCommands.h"
#include "session/Replies.h"
#include "session/SharePoints.h"

using platform::Clock;

namespace {
constexpr uint32_t kDigestStep = 8192;    // bytes SITE MD5 reads a step
constexpr uint32_t kPositionStep = 8192;  // converted bytes a text restart skips a step
}  // namespace

void CTransfers::Create(CFtpSocket* dataSocket, CFtpDeflateBuffer* deflate) {
    list_.Create(0, 4096);
    file_.Create(CFtpFileStream::kBinaryStep);
    list_.SetSocket(dataSocket);
    list_.SetFinder(&finder_);
    file_.SetSocket(dataSocket);
    list_.SetDeflateBuffer(deflate);
    file_.SetDeflateBuffer(deflate);
}

void CTransfers::ReleaseBuffers() {
    list_.Release();
    file_.Release();
}

void CTransfers::Detach() {
    list_.SetSocket(nullptr);
    file_.SetSocket(nullptr);
}

void CTransfers::CloseStreams() {
    list_.Close();
    file_.Close();
}

void CTransfers::Reset() {
    dataType_ = TYPE_ASCII;
    mode_ = MODE_STREAM;
    structure_ = STRU_FILE;
}

uint64_t CTransfers::FilePosition() const {
    return (file_.State() & STREAM_COMPLETE) ? 0 : file_.Position();
}

// ---- parameters ----

// The restart offset: the number of a REST on the line just before, else 0.
uint64_t CTransfers::RestartOffset() const {
    const std::string& previous = session_.TransferPreviousLine();
    std::string argument;
    if (LookupCommand(previous) != CMD_REST || !GetArgument(previous, argument)) return 0;
    return ParseDecimal(argument).value_or(0);
}

void CTransfers::Type(const std::string& argument) {
    if (argument.empty()) return (void)session_.TransferReply(CMD_TYPE, REPLY_BAD_ARGUMENTS);
    std::string type = platform::AsciiUpper(argument);
    if (type == "I" || type == "L 8")
        dataType_ = TYPE_IMAGE;
    else if (type == "A" || type == "AN" || type == "N" || type == "AT" || type == "T")
        dataType_ = TYPE_ASCII;
    else
        return (void)session_.TransferReply(CMD_TYPE, REPLY_BAD_PARAMETER);
    session_.TransferReply(CMD_TYPE, REPLY_OK, "Type set to " + type + ".");
}

void CTransfers::Mode(const std::string& argument) {
    if (argument.empty()) return (void)session_.TransferReply(CMD_MODE, REPLY_BAD_ARGUMENTS);
    std::string mode = platform::AsciiUpper(argument);
    if (mode == "S") {
        mode_ = MODE_STREAM;
        session_.TransferReply(CMD_MODE, REPLY_OK, "Mode set to S.");
    } else if (mode == "Z") {
        if (!session_.TransferDeflateReady())
            return (void)session_.TransferReply(CMD_MODE, REPLY_POLICY_DENIED);
        mode_ = MODE_DEFLATE;
        session_.TransferReply(CMD_MODE, REPLY_OK, "Mode set to Z.");
    } else {
        session_.TransferReply(CMD_MODE, REPLY_BAD_PARAMETER);
    }
}

void CTransfers::Stru(const std::string& argument) {
    if (argument.empty()) return (void)session_.TransferReply(CMD_STRU, REPLY_BAD_ARGUMENTS);
    std::string structure = platform::AsciiUpper(argument);
    if (structure != "F" && structure != "R")
        return (void)session_.TransferReply(CMD_STRU, REPLY_BAD_PARAMETER);
    structure_ = structure == "R" ? STRU_RECORD : STRU_FILE;
    session_.TransferReply(CMD_STRU, REPLY_OK, "File structure set to " + structure + ".");
}

void CTransfers::Rest() {
    // The raw argument: "REST 10 " with its trailing blank must not pass as 10.
    std::string raw;
    GetArgument(session_.TransferLine(), raw);
    std::optional<uint64_t> offset = ParseDecimal(raw);
    if (!offset) return (void)session_.TransferReply(CMD_REST, REPLY_BAD_ARGUMENTS);
    session_.TransferReply(CMD_REST, REPLY_PENDING,
                           "Restarting at " + std::to_string(*offset) +
                               " bytes. Send STOR or RETR to start transfer.");
}

void CTransfers::Allo(const std::string& argument) {
    session_.TransferReply(CMD_ALLO,
                           ParseDecimal(argument) ? REPLY_SUPERFLUOUS : REPLY_BAD_ARGUMENTS);
}

void CTransfers::Abor() {
    // A transfer whose own reply has not gone out yet is cut here even when its data has all
    // moved (a download waits for the client's close): it is answered too, so the client
    // gets one reply per command.
    bool cut = session_.TransferOperation().TransferStarted();
    End(false);
    if (cut || session_.TransferDataOpen()) {
        session_.TransferCloseData();
        CloseStreams();
        session_.TransferReply(CMD_ABOR, REPLY_TRANSFER_ABORTED);
    }
    session_.TransferReply(CMD_ABOR, REPLY_TRANSFER_DONE);
    session_.TransferSetOperation(CMD_NOOP);
}

// ---- accepting a transfer ----

// Resolves a client's path to an existing file and opens the file stream on it for reading
// in the session's type (RETR, SITE MD5); false when either fails.
bool CTransfers::OpenForReading(const std::string& path, bool digest, std::string& real) {
    CheckedPath at = CheckFileArgument(session_.TransferFolder(), path, session_.TransferHome());
    if (!at.IsFile()) return false;
    real = at.real;
    uint32_t flags =
        FILE_READ | FILE_SHARE_DENY_NONE | (dataType_ == TYPE_IMAGE ? FILE_BINARY : FILE_TEXT);
    if (!file_.OpenFile(real, flags, digest)) return false;
    file_.SetMode(mode_);
    return true;
}

void CTransfers::Retr(const std::string& argument) {
    uint64_t offset = RestartOffset();
    if (argument.empty()) return (void)session_.TransferReply(CMD_RETR, REPLY_BAD_ARGUMENTS);
    std::string real;
    if (!OpenForReading(argument, false, real))
        return (void)session_.TransferReply(CMD_RETR, REPLY_NOT_TAKEN);
    session_.TransferSetOperation(CMD_RETR, real, CurrentOperation::kStartPending, offset);
    restartLeft_ = offset;
    session_.TransferContinue();
}

void CTransfers::Upload(CommandId id, const std::string& argument) {
    // STOU makes its file in the current folder.
    uint32_t rights = RightsAt(
        ResolveAgainst(session_.TransferFolder(), id == CMD_STOU ? std::string() : argument),
        session_.TransferRights());
    if (!(rights & RightsWrite))
        return (void)session_.TransferReply(id, REPLY_NAME_NOT_ALLOWED, "Permission denied.");
    const std::string& folder = session_.TransferFolder();
    std::string home = session_.TransferHome();
    uint64_t offset = RestartOffset();
    std::string resolved;
    CheckedPath at;
    bool exists = false;
    if (id != CMD_STOU) {
        if (argument.empty() || !IsValidName(argument))
            return (void)session_.TransferReply(id, REPLY_BAD_ARGUMENTS);
        resolved = WithoutTrailingSeparator(ResolveAgainst(folder, argument));
        if (resolved.empty()) return (void)session_.TransferReply(id, REPLY_NOT_TAKEN);  // the root
        at = CheckPath(resolved, home);
        if (at.IsFolder()) return (void)session_.TransferReply(id, REPLY_NOT_TAKEN);
        exists = at.IsFile();
        bool overwrite = (rights & RightsOverwrite) != 0;
        if (id == CMD_STOR) {
            if (!exists && offset != 0)
                return (void)session_.TransferReply(id, REPLY_FILE_ACTION_ABORTED);
            if (exists && !overwrite)
                return (void)session_.TransferReply(id, REPLY_NAME_NOT_ALLOWED);
        } else {
            if (exists && !overwrite)
                return (void)session_.TransferReply(id, REPLY_NAME_NOT_ALLOWED);
            if (offset != 0) return (void)session_.TransferReply(id, REPLY_BAD_RESTART);
        }
    } else {
        std::string ignored;
        if (GetArgument(session_.TransferLine(), ignored))
            return (void)session_.TransferReply(id, REPLY_SYNTAX_ERROR);
        if (offset != 0) return (void)session_.TransferReply(id, REPLY_BAD_RESTART);
        int n = 0;
        for (; n < 65535; ++n) {
            char name[8];
            std::snprintf(name, sizeof name, "%05d", n);
            resolved = WithoutTrailingSeparator(ResolveAgainst(folder, name));
            at = CheckPath(resolved, home);
            if (!at.IsFile()) {
                uniqueName_ = name;
                break;
            }
        }
        if (n == 65535) return (void)session_.TransferReply(id, REPLY_FILE_ACTION_ABORTED);
    }
    if (resolved.empty() || IsSharePointRoot(resolved) || SplitVirtual(resolved).size() < 2 ||
        !at.Maps())
        return (void)session_.TransferReply(id, REPLY_NOT_TAKEN);
    uint32_t flags = FILE_CREATE | FILE_READ_WRITE | FILE_SHARE_DENY_WRITE |
                     (dataType_ == TYPE_IMAGE ? FILE_BINARY : FILE_TEXT);
    if ((id == CMD_STOR && offset != 0) || id == CMD_APPE) flags |= FILE_NO_TRUNCATE;
    // An overwrite replaces the file only when the upload completes; resumes and appends
    // write in place, and what a failed new upload wrote stays for a resume.
    if (id == CMD_STOR && offset == 0 && exists) flags |= FILE_REPLACE;
    if (!file_.OpenFile(at.real, flags, false))
        return (void)session_.TransferReply(id, REPLY_NOT_TAKEN);
    file_.SetMode(mode_);
    session_.TransferSetOperation(id, at.real, CurrentOperation::kStartPending, offset);
    restartLeft_ = offset;
    session_.TransferContinue();
}

void CTransfers::List(ListingKind kind, const std::string& argument) {
    std::string path = argument;
    if (!path.empty() && path[0] == '-') {
        std::string rest;
        GetArgument(path, rest);
        path = rest;
    }
    if (path.empty()) path = "*";
    std::string home = session_.TransferHome();
    std::string resolved =
        WithoutTrailingSeparator(ResolveAgainst(session_.TransferFolder(), path));
    if (resolved.empty()) resolved = "\\";
    finder_.SetHome(home);
    if (path.find_first_of("*?") == std::string::npos) {
        if (resolved == "\\" || FolderExists(resolved + "\\", home))
            resolved = (resolved == "\\" ? "" : resolved) + "\\*";
    }
    if (!list_.OpenListing(STREAM_KIND_LISTING, resolved, kind == LISTING_NAMES))
        return (void)session_.TransferReply(CMD_LIST, REPLY_FILE_UNAVAILABLE);
    StartListing(resolved, kind == LISTING_NAMES && session_.TransferNlstUtf8());
}

// An opened listing goes out over the data connection, as the LIST operation.
void CTransfers::StartListing(const std::string& pattern, bool utf8) {
    list_.SetMode(mode_);
    list_.SetUtf8(utf8);
    CurrentOperation saved = session_.TransferOperation();
    session_.TransferSetOperation(CMD_LIST, pattern);
    if (!session_.TransferOpenData(TYPE_ASCII, "")) {
        list_.Close();
        session_.TransferOperation() = saved;
    }
}

void CTransfers::MachineList(const std::string& argument) {
    // RFC 3659: the argument is a folder (no options, no patterns); a file is refused.
    std::string home = session_.TransferHome();
    std::string folder = WithoutTrailingSeparator(
        ResolveAgainst(session_.TransferFolder(), argument.empty() ? "." : argument));
    uint32_t rights = RightsAt(folder, session_.TransferRights());
    std::optional<EntryFacts> listed = PathFacts(folder, home, rights);
    if (!listed) return (void)session_.TransferReply(CMD_MLSD, REPLY_NOT_TAKEN);
    if (listed->type == EntryType::File)
        return (void)session_.TransferReply(CMD_MLSD, REPLY_BAD_ARGUMENTS);
    unsigned chosen = session_.TransferMachineFacts();
    listed->type = EntryType::ListedDir;
    std::vector<std::string> first{FactsLine(*listed, chosen, ".")};
    bool root = folder.empty() || folder == "\\";
    if (!root) {
        std::optional<EntryFacts> parent =
            PathFacts(folder.substr(0, folder.find_last_of('\\')), home, rights);
        if (parent) {
            parent->type = EntryType::ParentDir;
            first.push_back(FactsLine(*parent, chosen, ".."));
        }
    }
    // At the root each entry is a share point, which may be read-only itself.
    uint32_t userRights = session_.TransferRights();
    auto entry = [chosen, rights, root, userRights](const std::string& name, bool isFolder,
                                                    bool readOnly, uint64_t size,
                                                    int64_t modified) {
        uint32_t at = root ? RightsAt("\\" + name, userRights) : rights;
        return FactsLine(EntryFactsOf(isFolder, readOnly, size, modified, at), chosen, name);
    };
    std::string pattern = (root ? std::string() : folder) + "\\*";
    finder_.SetHome(home);
    list_.OpenFactsListing(STREAM_KIND_LISTING, pattern, std::move(first), entry);
    StartListing(pattern, session_.TransferUtf8());
}

// ---- the deferred start ----

// A transfer that cannot start: the file goes, the session is idle again, and the refusal
// (if any) is answered under the command given.
void CTransfers::AbandonStart(CommandId id, int code) {
    file_.CloseFile();
    session_.TransferSetOperation(CMD_NOOP);
    if (code) session_.TransferReply(id, code);
}

// One positioning step. Text files are read through their line-end conversion, a block per
// send event, since offsets count converted bytes. True once the file stands at the offset;
// false while more steps follow or after the refusal was answered.
bool CTransfers::PositionAt(CommandId id, uint64_t offset, bool throughText) {
    if (throughText) {
        if (restartLeft_ == 0) return true;
        uint32_t got =
            file_.SkipText(static_cast<uint32_t>(std::min<uint64_t>(restartLeft_, kPositionStep)));
        restartLeft_ -= got;
        if (restartLeft_ == 0) return true;
        if (got > 0)
            session_.TransferContinue();
        else
            AbandonStart(id, REPLY_BAD_RESTART);  // the file ends before the offset
        return false;
    }
    if (offset > 0 && offset > file_.GetFileLength()) {
        AbandonStart(id, REPLY_BAD_RESTART);
        return false;
    }
    if (!file_.Seek(offset)) {
        AbandonStart(id, REPLY_NOT_TAKEN);
        return false;
    }
    return true;
}

void CTransfers::Start() {
    CurrentOperation& operation = session_.TransferOperation();
    CommandId id = operation.commandId;
    bool upload = IsUpload(id);
    try {
        if (id != CMD_STOU) {
            // RETR and STOR start at their offset, through the line-end conversion for text;
            // APPE writes after the last byte.
            uint64_t offset = id == CMD_APPE ? file_.GetFileLength() : operation.offset;
            if (!PositionAt(id, offset, file_.TextMode() && id != CMD_APPE)) return;
            operation.offset = offset;
        }
        operation.state = 0;
        std::string text = id == CMD_STOU ? "FILE: " + uniqueName_ : "";
        if (session_.TransferOpenData(dataType_, text)) {
            session_.TransferCountFiles(upload ? 1 : 0, upload ? 0 : 1);
        } else {
            AbandonStart(id, 0);
            session_.TransferContinue();
        }
    } catch (const CFileError&) {
        AbandonStart(id, REPLY_NOT_TAKEN);
    }
}

bool CTransfers::StartDigest(const std::string& path) {
    std::string real;
    if (!OpenForReading(path, true, real)) return false;
    session_.TransferSetOperation(CMD_SITE, real, CurrentOperation::kStartPending);
    session_.TransferContinue();
    return true;
}

void CTransfers::DigestStep() {
    try {
        CFtpFifoBuffer& buffer = file_.Buffer();
        buffer.Clear();  // only the digest of what was read matters
        if (file_.ReadFile(buffer, kDigestStep) > 0) return session_.TransferContinue();
        file_.CloseFile();  // finishes the digest (a read that found the end closed it already)
        std::string digest = file_.DigestHex();
        file_.Close();
        session_.TransferSetOperation(CMD_NOOP);
        session_.TransferReply(CMD_SITE, REPLY_OK, digest);
    } catch (const CFileError&) {
        file_.Close();
        session_.TransferSetOperation(CMD_NOOP);
        session_.TransferReply(CMD_SITE, REPLY_NOT_TAKEN);
    }
}

// ---- moving the data ----

void CTransfers::UpdateFromStream(const CFtpStream& stream) {
    CurrentOperation& operation = session_.TransferOperation();
    operation.previousSent = operation.bytesSent;
    operation.previousReceived = operation.bytesReceived;
    operation.bytesSent = stream.BytesSent();
    operation.bytesReceived = stream.BytesReceived();
}

// One step of the file stream in either direction; a failure fails the stream and ends it.
void CTransfers::FileStep(bool sending) {
    try {
        if (file_.Usable() && !(sending ? file_.SendFromFile() : file_.ReceiveToFile()))
            file_.ShutDown();
    } catch (const std::exception&) {
        session_.TransferError(sending ? EV_SEND : EV_RECEIVE);
        file_.AddState(STREAM_FAILED);
        file_.ShutDown();
    }
    UpdateFromStream(file_);
}

void CTransfers::OnDataSend() {
    const CurrentOperation& operation = session_.TransferOperation();
    if (operation.StartPending()) return session_.TransferWantDataEvent(true);
    if (!session_.TransferDataVerified()) return;
    try {
        if (operation.commandId == CMD_LIST) {
            try {
                if (list_.Usable() && !list_.SendListing()) list_.ShutDown();
            } catch (const std::exception&) {
                session_.TransferError(EV_SEND);
                list_.ShutDown();
            }
            UpdateFromStream(list_);
        } else if (operation.commandId == CMD_RETR) {
            FileStep(true);
            session_.TransferCountBytes(0, operation.bytesSent - operation.previousSent);
        }
        session_.TransferActivity();
    } catch (const std::exception&) {
        session_.TransferError(EV_SEND);
    }
}

void CTransfers::OnDataReceive() {
    const CurrentOperation& operation = session_.TransferOperation();
    if (operation.StartPending() || session_.TransferDataWaitsForCheck())
        return session_.TransferWantDataEvent(false);  // checked on a send event
    if (!IsUpload(operation.commandId)) return;
    FileStep(false);
    session_.TransferCountBytes(operation.bytesReceived - operation.previousReceived, 0);
    session_.TransferActivity();
}

void CTransfers::OnDataClose() {
    try {
        uint32_t state;
        switch (session_.TransferOperation().commandId) {
            case CMD_LIST:
                state = list_.State();
                return Finish((state & STREAM_COMPLETE) && !(state & STREAM_FAILED)
                                  ? REPLY_TRANSFER_DONE
                                  : REPLY_TRANSFER_ABORTED);
            case CMD_STOR:
            case CMD_APPE:
            case CMD_STOU:
                // What the client sent before closing may still wait in the socket.
                if (file_.FileOpen() && !(file_.State() & STREAM_FAILED)) UpdateFromStream(file_);
                if (file_.State() & STREAM_FAILED)
                    return Finish(UploadFailureCode(file_.FileError()));
                return Finish(file_.InflationCutShort() ? REPLY_TRANSFER_ABORTED
                                                        : REPLY_TRANSFER_DONE);
            case CMD_RETR:
                state = file_.State();
                return Finish((state & STREAM_COMPLETE) && !(state & STREAM_FAILED)
                                  ? REPLY_TRANSFER_DONE
                                  : REPLY_TRANSFER_ABORTED);
            default:
                return;
        }
    } catch (const std::exception&) {
        session_.TransferError(EV_CLOSE);
        Finish(REPLY_TRANSFER_ABORTED);
    }
}

void CTransfers::DrainUpload() {
    // In MODE Z what still waits to be inflated is stored too.
    try {
        for (int i = 0; i < 100000 && file_.FileOpen() && file_.Usable(); ++i) {
            uint64_t before = file_.Position();
            file_.ReceiveToFile();
            if (file_.Position() == before) break;
        }
        UpdateFromStream(file_);
        const CurrentOperation& operation = session_.TransferOperation();
        session_.TransferCountBytes(operation.bytesReceived - operation.previousReceived, 0);
    } catch (const std::exception&) {
        file_.AddState(STREAM_FAILED);
    }
}

// ---- the end ----

void CTransfers::Finish(int code) {
    try {
        CommandId id = session_.TransferOperation().commandId;
        if (IsUpload(id) && IsSuccessReply(code) && !file_.CommitReplacement())
            code = REPLY_LOCAL_ERROR;
        End(IsSuccessReply(code), code);
        session_.TransferCloseData();
        CloseStreams();
        try {
            session_.TransferReply(id, code);
        } catch (const std::exception&) {
            session_.TransferError(EV_CLOSE);
        }
        session_.TransferSetOperation(CMD_NOOP);
    } catch (const std::exception&) {
        session_.TransferFailSession();
    }
}

void CTransfers::End(bool success, int code) {
    const CurrentOperation& operation = session_.TransferOperation();
    if (operation.commandId != CMD_RETR && !IsUpload(operation.commandId)) return;
    TransferRecord record;
    record.id = operation.commandId;
    record.success = success;
    record.path = operation.path;
    record.restarted = operation.offset != 0;
    uint64_t position = file_.Position();
    record.fileBytes = position > operation.offset ? position - operation.offset : 0;
    record.transferBytes = operation.bytesSent + operation.bytesReceived;
    record.start = operation.time;
    record.end = Clock::Now();
    record.milliseconds = platform::MonotonicMs() - operation.startMs;
    record.code = code;
    if (!success) record.fileError = file_.FileError();
    session_.TransferReport(record);
}
