#pragma once
// The checks, clamps and cuts that the settings pages apply to what a person types, as pure
// functions: the windowed pages and the command line call these and nothing else.

#include <array>
#include <cstddef>
#include <optional>
#include <string>

// ---- System page ----

// "Users": read as a decimal number (0 if none); below 1 becomes 1, above 63 becomes 64.
int ClampMaxConnections(const std::string& text);
// The most sessions the server holds at once.
inline constexpr int kMaxSessionLimit = 10000;
// "NetMaxConnection" as the command line gives it and the server reads it: the leading
// number (0 if none); below 0 becomes 0 (the server then refuses everyone), above
// kMaxSessionLimit becomes kMaxSessionLimit. The page's "Users" clamp is for what a person
// types there only.
int ClampSessionLimit(const std::string& text);
// "Port": read as a decimal number; below 0 becomes 0, above 65533 becomes 65534.
int ClampPort(const std::string& text);
// "Inactivity" and "Login": digits only (an empty text counts) are read, below 1 becomes 1;
// any other text gives nothing, and the stored value stays.
std::optional<int> ReadDigitsAtLeastOne(const std::string& text);
// "Root": the folder normalised with "/" as separator ("/a/b/"), or nothing when it breaks the
// folder-path rules.
std::optional<std::string> CheckRootFolder(const std::string& text);

// ---- Network page: the sliders' ranges ----
inline constexpr int kCompressLevelMin = 0, kCompressLevelMax = 9;
inline constexpr int kMemoryLevelMin = 1, kMemoryLevelMax = 9;
inline constexpr int kWindowBitsMin = 9, kWindowBitsMax = 15;

// ---- Misc. page: the power schemes, by "PowerSaveOpt" ----
inline constexpr std::array<const char*, 3> kPowerSchemes = {
    "Use standard settings", "Keep alive for active users", "Device is always on"};

// ---- Profile dialog ----
inline constexpr size_t kProfileNameMax = 32;     // characters (UTF-16 code units)
inline constexpr size_t kProfilePasswordMax = 8;  // characters (UTF-16 code units)
std::string CutProfileName(const std::string& name);
// The longest password the Profile dialog and "user" take: 8, or 128 when passwords are
// kept as hashes.
size_t ProfilePasswordMax(bool hashing);
std::string CutProfilePassword(const std::string& password, bool hashing = false);
// Length in the units the limits count.
size_t TextUnits(const std::string& text);

// ---- IP Access page ----
inline constexpr int kMaxIpRules = 128;
inline constexpr size_t kRuleTextMax = 63;  // characters kept of each rule text
// False when a rule may not be added to a list of count rules.
inline bool CanAddIpRule(int count) {
    return count < kMaxIpRules;
}

// ---- Certificate request ----
enum class CertField { CommonName, City, State, Country, Email, Organization, Unit };
inline constexpr std::array<CertField, 7> kCertFields = {
    CertField::CommonName, CertField::City,         CertField::State, CertField::Country,
    CertField::Email,      CertField::Organization, CertField::Unit};

struct CertFieldInfo {
    const char* attribute;  // subject attribute: "CN", "L", ...
    size_t maximum;         // characters
    bool required;
    const char* label;        // the wizard's label
    const char* messageName;  // the field's name in messages
};
const CertFieldInfo& FieldInfo(CertField field);

struct CertificateRequest {
    std::string commonName, city, state, country = "US", email, organization, unit;
    std::string& operator[](CertField field);
    const std::string& operator[](CertField field) const;
};

// A non-empty field passes when it is within its maximum, holds none of /\[];:|=,+*?<>{} and
// at least one character other than space and "."; a required field must not be empty.
bool CertFieldPasses(CertField field, const std::string& text);
bool RequestPasses(const CertificateRequest& request);
// The message shown when a field breaks its rule.
std::string CertFieldMessage(CertField field);

// The first step of the certificate wizard: a base name that is a valid folder path (none of
// "*/<>?| and no part aux, con, lpt1 or prn), a pass phrase, and days that are not 0.
bool CertStepOnePasses(const std::string& name, const std::string& passPhrase, unsigned days);
// The base name names a place inside the folder the files are made in: it neither starts at
// the root nor climbs out with "..".
bool CertNameStaysInFolder(const std::string& name);
