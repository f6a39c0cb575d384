#pragma once
// The numbered replies of the control connection: the table of codes with their default
// texts, and the lines built from them.

#include <string>

// The reply codes, named as the table's texts read; the table in Replies.cpp gives their
// default texts.
enum ReplyCode : int {
    REPLY_RESTART_MARKER = 110,
    REPLY_READY_SOON = 120,
    REPLY_DATA_ALREADY_OPEN = 125,
    REPLY_OPENING_DATA = 150,
    REPLY_OK = 200,
    REPLY_SUPERFLUOUS = 202,
    REPLY_SYSTEM_STATUS = 211,
    REPLY_FOLDER_STATUS = 212,
    REPLY_FILE_STATUS = 213,
    REPLY_HELP = 214,
    REPLY_SYSTEM_TYPE = 215,
    REPLY_READY = 220,
    REPLY_GOODBYE = 221,
    REPLY_DATA_OPEN = 225,
    REPLY_TRANSFER_DONE = 226,
    REPLY_PASSIVE = 227,
    REPLY_EXTENDED_PASSIVE = 229,
    REPLY_LOGGED_IN = 230,
    REPLY_LOGGED_IN_SECURE = 232,
    REPLY_SECURITY_READY = 234,
    REPLY_FILE_ACTION_DONE = 250,
    REPLY_PATH_CREATED = 257,
    REPLY_NEED_PASSWORD = 331,
    REPLY_NEED_ACCOUNT = 332,
    REPLY_SECURITY_ACCEPTED = 334,
    REPLY_PENDING = 350,
    REPLY_CLOSING = 421,
    REPLY_NO_DATA_CONNECTION = 425,
    REPLY_TRANSFER_ABORTED = 426,
    REPLY_NO_SECURITY_RESOURCE = 431,
    REPLY_SECURITY_CHECK_FAILED = 435,
    REPLY_FILE_UNAVAILABLE = 450,
    REPLY_LOCAL_ERROR = 451,
    REPLY_NO_STORAGE = 452,
    REPLY_SYNTAX_ERROR = 500,
    REPLY_BAD_ARGUMENTS = 501,
    REPLY_NOT_IMPLEMENTED = 502,
    REPLY_BAD_SEQUENCE = 503,
    REPLY_BAD_PARAMETER = 504,
    REPLY_FOLDER_EXISTS = 521,
    REPLY_BAD_PROTOCOL = 522,
    REPLY_NOT_LOGGED_IN = 530,
    REPLY_NEED_STORE_ACCOUNT = 532,
    REPLY_PROTECTION_DENIED = 533,
    REPLY_POLICY_DENIED = 534,
    REPLY_SECURITY_FAILED = 535,
    REPLY_PROT_UNSUPPORTED = 536,
    REPLY_COMMAND_PROTECTION_UNSUPPORTED = 537,
    REPLY_NOT_TAKEN = 550,
    REPLY_PAGE_TYPE_UNKNOWN = 551,
    REPLY_FILE_ACTION_ABORTED = 552,
    REPLY_NAME_NOT_ALLOWED = 553,
    REPLY_BAD_RESTART = 554,
    REPLY_TYPE_MISMATCH = 555,
};

// A positive completion (2xx) or a preliminary reply (1xx): anything below the
// transient and permanent failures (4xx, 5xx).
inline bool IsSuccessReply(int code) {
    return code < 300;
}
inline bool IsFailureReply(int code) {
    return code >= 400;
}

// What the reply hook learns of a reply besides its code.
enum ReplyKind : int { REPLY_KIND_FAILURE = 1, REPLY_KIND_SUCCESS = 2 };

// The default text of a code ("" for a code outside the table).
const std::string& DefaultReplyText(int code);
// "%03d %s" with the default text.
std::string FormatReply(int code);
// "%03d %s" with the given text, or the default one when text is empty.
std::string ReplyLine(int code, const std::string& text);
// The greeting: "220 [SysName ]Quenlow FTP Pro 1.70 (WINCE) Ready."
std::string GreetingLine(const std::string& systemName);
