#pragma once
// The status and feature commands: STAT, HELP, FEAT, OPTS and SITE MD5.

#include <optional>
#include <string>

#include "session/Commands.h"
#include "session/MachineListing.h"
#include "session/StatusTexts.h"

// What the status commands need of their session.
class CStatusSession {
public:
    virtual ~CStatusSession() = default;
    virtual bool StatusReply(CommandId id, int code, const std::string& text = "") = 0;
    // A multi-line reply begins (the reply hook learns its code); its lines follow.
    virtual void StatusBegin(CommandId id, int code) = 0;
    virtual void StatusLine(const std::string& line) = 0;
    // Where the running transfer stands, or nothing when none runs.
    virtual std::optional<uint64_t> StatusTransferPosition() = 0;
    virtual SessionStatus StatusOfSession() = 0;
    // MODE Z: the setting is on (FEAT lists it), it is also ready to run (OPTS may tune
    // it), and the level OPTS MODE Z sets.
    virtual bool StatusDeflateOn() const = 0;
    virtual bool StatusDeflateReady() = 0;
    virtual bool StatusSetDeflateLevel(int level) = 0;
    // OPTS UTF8: the reply code.
    virtual int StatusApplyUtf8(const std::string& argument) = 0;
    // SITE MD5: starts the digest of path; false when the file cannot be read.
    virtual bool StatusStartDigest(const std::string& path) = 0;
    // MLSD and MLST: offered (a setting), and the facts this session chose with OPTS MLST.
    virtual bool StatusMachineListings() const { return false; }
    virtual unsigned StatusMachineFacts() const { return FACT_ALL; }
    virtual void StatusSetMachineFacts(unsigned /*facts*/) {}
};

class CStatusCommands {
public:
    explicit CStatusCommands(CStatusSession& session) : session_(session) {}

    void Stat(const std::string& argument);
    void Help(const std::string& argument);
    void Feat(const std::string& argument);
    void Opts(const std::string& argument);
    void Site(const std::string& argument);

private:
    CStatusSession& session_;
};
