#pragma once
// The numbered replies of the control connection: the table of codes with their default
// texts, and the lines built from them.

#include <string>

// The default text of a code ("" for a code outside the table).
const std::string& DefaultReplyText(int code);
// "%03d %s" with the default text.
std::string FormatReply(int code);
// "%03d %s" with the given text, or the default one when text is empty.
std::string ReplyLine(int code, const std::string& text);
// The greeting: "220 [SysName ]Quenlow FTP Pro 1.70 (WINCE) Ready."
std::string GreetingLine(const std::string& systemName);
