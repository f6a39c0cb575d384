#pragma once
// The terminal the administration commands ask their questions on (standard input, prompts
// on standard error), and the files they read secrets from.

#include <string>

class CTerminal {
public:
    virtual ~CTerminal() = default;
    // Standard input is a terminal a person can answer on.
    virtual bool Interactive() const;
    // One line, the typed characters not shown; false at end of input or on an interrupt.
    virtual bool ReadSecret(const std::string& prompt, std::string& text);
    // One line, shown as typed.
    virtual bool ReadLine(const std::string& prompt, std::string& text);
};

// The first line of a file ("-": standard input) without its line end; false with the reason
// in error when it cannot be read.
bool ReadFirstLine(const std::string& path, std::string& text, std::string& error);
