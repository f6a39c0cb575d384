#pragma once
// The texts the program shows to the person who runs it, in one place, so that the windows and
// the command line say the same thing.

namespace texts {

inline constexpr const char* kFailedToWritePasswordFile = "Failed to write password file!";
inline constexpr const char* kMaximumRulesReached = "You have reached the maximum number of rules.";
inline constexpr const char* kRestartForChanges =
    "You must restart Quenlow FTP for these changes to take effect.";
inline constexpr const char* kFailedToCreateCertificate = "Failed to create certificate.";
// %1 is the field's name in messages, %2 its maximum length.
inline constexpr const char* kCertificateFieldInvalid =
    "%1 is invalid. This field has a maximum length of %2 characters. It cannot contain only "
    "spaces and periods, or any of the following characters: /\\[];:|=,+*?<>{}";
inline constexpr const char* kStopServerQuestion =
    "This operation will stop the FTP server. Do you want to continue?";

}  // namespace texts
