#include "config/PageChecks.h"

#include <climits>

#include "config/FolderPath.h"
#include "config/SettingsMap.h"
#include "config/ShellTexts.h"
#include "config/UserAccounts.h"
#include "platform/Text.h"

namespace {
// A number field as a page reads it: its leading number, 0 when there is none; numbers beyond
// an int saturate, so that they clamp the way a person expects.
int LeadingNumber(const std::string& text) {
    int value = 0;
    ParseLeadingInt(text, value);
    return value;
}

int Clamp(int value, int low, int high) {
    return value < low ? low : value > high ? high : value;
}

constexpr CertFieldInfo kFieldInfo[] = {
    {"CN", 64, true, "Cmn Name :", "Common name"},
    {"L", 64, false, "City* :", "City"},
    {"ST", 64, true, "State/Prov. :", "State"},
    {"C", 2, true, "Country :", "Country code"},
    {"emailAddress", 64, false, "Email* :", "Email address"},
    {"O", 64, false, "Org. :", "Organization name"},
    {"OU", 64, false, "Unit* :", "Organization unit"},
};
}  // namespace

int ClampMaxConnections(const std::string& text) {
    int n = LeadingNumber(text);
    return n > 63 ? 64 : Clamp(n, 1, 64);
}

int ClampSessionLimit(const std::string& text) {
    return Clamp(LeadingNumber(text), 0, kMaxSessionLimit);
}

int ClampPort(const std::string& text) {
    int n = LeadingNumber(text);
    return n > 65533 ? 65534 : Clamp(n, 0, 65534);
}

std::optional<int> ReadDigitsAtLeastOne(const std::string& text) {
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    return Clamp(LeadingNumber(text), 1, INT_MAX);
}

std::optional<std::string> CheckRootFolder(const std::string& text) {
    if (!IsValidHostFolder(text)) return std::nullopt;
    return NormalizePath(text, '/');
}

size_t TextUnits(const std::string& text) {
    return platform::Utf8ToUtf16(text).size();
}

std::string CutProfileName(const std::string& name) {
    return CutToUnits(name, kProfileNameMax);
}

size_t ProfilePasswordMax(bool hashing) {
    return hashing ? kLongPasswordUnits : kProfilePasswordMax;
}

std::string CutProfilePassword(const std::string& password, bool hashing) {
    return CutToUnits(password, ProfilePasswordMax(hashing));
}

const CertFieldInfo& FieldInfo(CertField field) {
    return kFieldInfo[static_cast<size_t>(field)];
}

std::string& CertificateRequest::operator[](CertField field) {
    switch (field) {
        case CertField::CommonName:
            return commonName;
        case CertField::City:
            return city;
        case CertField::State:
            return state;
        case CertField::Country:
            return country;
        case CertField::Email:
            return email;
        case CertField::Organization:
            return organization;
        case CertField::Unit:
            break;
    }
    return unit;
}

const std::string& CertificateRequest::operator[](CertField field) const {
    return const_cast<CertificateRequest&>(*this)[field];
}

bool CertFieldPasses(CertField field, const std::string& text) {
    const CertFieldInfo& info = FieldInfo(field);
    if (text.empty()) return !info.required;
    if (TextUnits(text) > info.maximum) return false;
    if (text.find_first_of("/\\[];:|=,+*?<>{}") != std::string::npos) return false;
    return text.find_first_not_of(" .") != std::string::npos;
}

bool RequestPasses(const CertificateRequest& request) {
    for (CertField field : kCertFields)
        if (!CertFieldPasses(field, request[field])) return false;
    return true;
}

std::string CertFieldMessage(CertField field) {
    const CertFieldInfo& info = FieldInfo(field);
    std::string message = texts::kCertificateFieldInvalid;
    message.replace(message.find("%1"), 2, info.messageName);
    message.replace(message.find("%2"), 2, std::to_string(info.maximum));
    return message;
}

bool CertStepOnePasses(const std::string& name, const std::string& passPhrase, unsigned days) {
    return !name.empty() && IsValidName(name) && !passPhrase.empty() && days != 0;
}

bool CertNameStaysInFolder(const std::string& name) {
    std::string p = name;
    for (char& c : p)
        if (c == '/') c = '\\';
    if (!p.empty() && p[0] == '\\') return false;
    for (const std::string& part : SplitVirtual(p))
        if (part == "..") return false;
    return true;
}
