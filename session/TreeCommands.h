#pragma once
// The virtual-tree commands: CWD/CDUP, PWD, MKD, RMD, DELE, RNFR/RNTO, SIZE and MDTM. Each
// resolves its path once to a checked real path and acts on that, through the file system
// door (platform::Files), so the family runs against an in-memory file system in tests.

#include <ctime>
#include <string>

#include "session/Commands.h"
#include "session/MachineListing.h"

// What the tree commands need of their session.
class CTreeSession {
public:
    virtual ~CTreeSession() = default;
    virtual const std::string& TreeFolder() const = 0;  // the current folder, "\...\"
    virtual std::string TreeHome() const = 0;           // the user's home folder
    virtual uint32_t TreeRights() const = 0;
    virtual const std::string& TreePreviousLine() const = 0;  // RNTO looks for its RNFR there
    virtual bool TreeTextType() const = 0;                    // TYPE A: SIZE counts as sent
    virtual bool TreeReply(CommandId id, int code, const std::string& text = "") = 0;
    // CWD went through: the session moves to folder and answers 250.
    virtual void TreeEnterFolder(const std::string& folder) = 0;
    // SIZE in ASCII: the session counts the file through the line-end conversion.
    virtual void TreeCountTextSize(const std::string& real) = 0;
    // MLST: a multi-line reply (the reply hook learns its code, the lines follow), and the
    // facts chosen with OPTS MLST.
    virtual void TreeBegin(CommandId /*id*/, int /*code*/) {}
    virtual void TreeLine(const std::string& /*line*/) {}
    virtual unsigned TreeMachineFacts() const { return FACT_ALL; }
};

class CTreeCommands {
public:
    explicit CTreeCommands(CTreeSession& session) : session_(session) {}

    void Cwd(const std::string& path);
    void Pwd(CommandId id);
    void Mkd(const std::string& argument);
    void Rmd(const std::string& argument);
    void Dele(const std::string& argument);
    void Rnfr(const std::string& argument);
    void Rnto(const std::string& argument);
    void Size(const std::string& argument);
    void Mdtm(const std::string& argument);
    void Mlst(const std::string& argument);

private:
    uint32_t RightsFor(const std::string& argument) const;
    CTreeSession& session_;
};

// The folder as PWD shows it: "/" for the root, "/pub/docs" inside.
std::string ShownFolder(const std::string& folder);
// MDTM's argument: "YYYYMMDDHHMMSS[.sss] path" sets the time (given as local time); anything
// else is only a path. True when a time was given.
bool ParseModifyStamp(const std::string& argument, struct tm& when, std::string& path);
// A time as MDTM answers it: UTC, "YYYYMMDDHHMMSS".
std::string ModifyStampText(time_t t);
