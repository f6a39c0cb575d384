#pragma once
// The transfers: RETR, STOR/APPE/STOU and LIST/NLST over the data connection, with their
// parameters (TYPE, MODE, STRU, REST, ALLO) and ABOR. A transfer is checked and its file
// opened when the command arrives; it starts on the control connection's next send event
// (positioning first, a block per event for text files), and ends when the data connection
// closes, with one final reply.

#include <string>

#include "platform/Clock.h"
#include "session/Commands.h"
#include "session/MachineListing.h"
#include "session/Parameters.h"
#include "session/SessionState.h"
#include "session/VirtualFinder.h"
#include "streams/FileStream.h"
#include "streams/ListStream.h"

class CFtpDeflateBuffer;
class CFtpSocket;

// One finished (or failed) file transfer, as the session reports it.
struct TransferRecord {
    CommandId id = 0;
    bool success = false;
    std::string path;  // the real path
    bool restarted = false;
    uint64_t fileBytes = 0, transferBytes = 0;
    platform::Time32 start = 0, end = 0;
    uint64_t milliseconds = 0;  // from the command to the end
    int code = 0;               // the final reply; 0 when the session ended first
    int fileError = 0;          // errno of a failed read or write of the file
};

// What the transfers need of their session.
class CTransferSession {
public:
    virtual ~CTransferSession() = default;
    virtual bool TransferReply(CommandId id, int code, const std::string& text = "") = 0;
    virtual const std::string& TransferFolder() const = 0;
    virtual std::string TransferHome() const = 0;
    virtual uint32_t TransferRights() const = 0;
    // The line being answered (REST reads its raw argument, STOU refuses one) and the line
    // before it (where a transfer finds its REST).
    virtual const std::string& TransferLine() const = 0;
    virtual const std::string& TransferPreviousLine() const = 0;
    virtual bool TransferNlstUtf8() const = 0;  // NLST names in UTF-8 (OPTS UTF8 NLST)
    virtual bool TransferDeflateReady() = 0;    // MODE Z may be chosen (its state is made)
    // MLSD: names in UTF-8 (OPTS UTF8 ON), and the facts chosen with OPTS MLST.
    virtual bool TransferUtf8() const { return false; }
    virtual unsigned TransferMachineFacts() const { return FACT_ALL; }
    virtual CurrentOperation& TransferOperation() = 0;
    virtual void TransferSetOperation(CommandId id, const std::string& path = "",
                                      uint64_t state = 0, uint64_t offset = 0) = 0;
    // Opens the data connection and answers 150 or 125; false after 425.
    virtual bool TransferOpenData(int type, const std::string& text) = 0;
    // A protected data connection has passed its check (or needs none); false while it
    // waits for its handshake or after it failed the check.
    virtual bool TransferDataVerified() = 0;
    virtual bool TransferDataWaitsForCheck() const = 0;
    // The data connection's next send (or receive) event is wanted.
    virtual void TransferWantDataEvent(bool send) = 0;
    // A data connection or a passive listener is open (ABOR answers 426 first then).
    virtual bool TransferDataOpen() = 0;
    // The data connection and the passive listener close; the next one is checked afresh.
    virtual void TransferCloseData() = 0;
    virtual void TransferContinue() = 0;  // the next step runs on the next send event
    virtual void TransferActivity() = 0;  // the idle clock starts again
    virtual void TransferError(uint32_t code) = 0;
    virtual void TransferCountFiles(uint64_t uploads, uint64_t downloads) = 0;
    virtual void TransferCountBytes(uint64_t received, uint64_t sent) = 0;
    virtual void TransferReport(const TransferRecord& record) = 0;
    // The final reply could not be given: the session ends.
    virtual void TransferFailSession() = 0;
};

class CTransfers {
public:
    explicit CTransfers(CTransferSession& session) : session_(session) {}

    // The streams' buffers and their sockets (throws when a buffer cannot be had).
    void Create(CFtpSocket* dataSocket, CFtpDeflateBuffer* deflate);
    // The streams' buffers go back until the next transfer opens them again.
    void ReleaseBuffers();
    void Detach();  // the sockets go away
    void CloseStreams();
    // No listing or file stream is open.
    bool Idle() const {
        return !(list_.State() & STREAM_OPEN) && !(file_.State() & STREAM_OPEN);
    }
    // REIN and a new client: TYPE A, MODE S, STRU F.
    void Reset();

    void Type(const std::string& argument);
    void Mode(const std::string& argument);
    void Stru(const std::string& argument);
    void Rest();
    void Allo(const std::string& argument);
    void Abor();
    void Retr(const std::string& argument);
    void Upload(CommandId id, const std::string& argument);  // STOR, APPE, STOU
    void List(ListingKind kind, const std::string& argument);
    // MLSD: the facts of a folder's entries, led by the folder's own (and its parent's).
    void MachineList(const std::string& argument);

    // The deferred start of RETR or an upload, one step per send event.
    void Start();
    // SITE MD5: opens path for the digest; its steps follow on send events.
    bool StartDigest(const std::string& path);
    void DigestStep();

    // Data-connection events while a transfer runs.
    void OnDataSend();
    void OnDataReceive();
    void OnDataClose();
    // The client's last bytes are stored before a closed data connection goes.
    void DrainUpload();
    // Closes the data connection and answers the transfer with code.
    void Finish(int code);
    // Reports the running file transfer (if one runs) as ended with the final reply code
    // (0: none, the session ended).
    void End(bool success, int code = 0);

    int DataTypeInUse() const { return dataType_; }
    int ModeInUse() const { return mode_; }
    int StructureInUse() const { return structure_; }
    // Where the running file transfer stands (0 once complete).
    uint64_t FilePosition() const;

private:
    uint64_t RestartOffset() const;
    bool OpenForReading(const std::string& path, bool digest, std::string& real);
    void AbandonStart(CommandId id, int code);
    bool PositionAt(CommandId id, uint64_t offset, bool throughText);
    void FileStep(bool sending);
    void UpdateFromStream(const CFtpStream& stream);
    void StartListing(const std::string& pattern, bool utf8);

    CTransferSession& session_;
    CFtpListStream list_;
    CFtpFileStream file_;
    CVirtualFinder finder_;
    int dataType_ = TYPE_ASCII;
    int mode_ = MODE_STREAM;
    int structure_ = STRU_FILE;
    uint64_t restartLeft_ = 0;  // converted bytes still to skip before a text transfer
    std::string uniqueName_;    // STOU's file name
};
