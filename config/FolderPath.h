#pragma once
// Folder paths as the program checks them wherever a person or a client names one: the FTP
// session's virtual paths, the shared folder of the settings, the certificate's base name.
// The separator is "\" in virtual paths; host paths use "/".

#include <string>
#include <vector>

// The parts between separators, empty ones left out.
std::vector<std::string> SplitVirtual(const std::string& path, char separator = '\\');
// Empty parts and "." dropped, ".." removes the part before it (if any); the result begins and
// ends with the separator ("\a\b\"), and an empty path becomes "\".
std::string NormalizePath(const std::string& path, char separator = '\\');
// After normalising ("/" read as "\"): no part longer than 255 characters, none named aux,
// con, lpt1 or prn in any case, none holding any of "*/<>?\|.
bool IsValidName(const std::string& path);
// The same check for a host path, whose separator is "/" (a part then may not hold "\").
bool IsValidHostFolder(const std::string& path);
