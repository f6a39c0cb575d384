#pragma once
// Every setting the program knows, in table order: its kind, its engine default, the default
// the application stores over it, when a change reaches a running server, and the check a
// person's input goes through.

#include <optional>
#include <string>
#include <vector>

// The placeholder contact address of a fresh installation.
inline constexpr const char* kDefaultAdminEmail = "ftpadmin@localhost";

enum class SettingKind {
    Bool,   // "true" or "false"
    Int,    // a decimal number
    Int64,  // a 64-bit decimal number
    Text,
    Secret,      // a text that listings do not show
    Folder,      // a host folder, normalised, ending in "/"
    File,        // a host file path
    Address,     // a dotted quad
    AnyAddress,  // a dotted quad or a numeric IPv6 address
};

// When a stored change reaches a running server.
enum class SettingEffect {
    NextStart,     // the engine's copy: when the server is next started
    Reload,        // read by the application: when the server reloads (SIGHUP) or restarts
    ProgramStart,  // read once at start-up (the TLS context, the bind address): only when the
                   // program is restarted
    Unread,        // stored and carried, but nothing reads it
    Managed,       // kept by the program itself; not set by hand
};

// The check that a value typed by a person goes through before it is stored.
enum class SettingCheck {
    None,
    SessionLimit,      // NetMaxConnection: 0 to kMaxSessionLimit
    TcpPort,           // the System page's "Port"
    DigitsAtLeastOne,  // the System page's "Inactivity" and "Login"
    RootFolder,        // the System page's "Root"
    Range,             // a slider's or a list's range: [low, high]
    AddressPrefixes,   // addresses and prefixes of either family, commas between
};

struct SettingInfo {
    const char* name;
    SettingKind kind;
    const char* engineDefault;       // null: none
    const char* applicationDefault;  // null: the engine default stands; "{documents}" and
                                     // "{system}" stand for those folders
    SettingEffect effect;
    SettingCheck check = SettingCheck::None;
    long long low = 0, high = 0;  // for SettingCheck::Range
};

const std::vector<SettingInfo>& KnownSettings();
const SettingInfo* FindSetting(const std::string& name);
// Up to three known names close to an unknown one, closest first.
std::vector<std::string> ClosestSettingNames(const std::string& name);
// "there is no setting named "X"; did you mean A or B?" (the question only with a close name).
std::string NoSuchSettingText(const std::string& name);

// The default a fresh installation has: the application default with its folders filled in,
// else the engine default; nothing when the setting has neither.
std::optional<std::string> EffectiveDefault(const SettingInfo& info, const std::string& documents,
                                            const std::string& system);

// What a person's value becomes, or why it is refused.
struct SettingValue {
    bool accepted = false;
    std::string text;  // the text to store (accepted), or the reason for the refusal
    std::string note;  // said beside an accepted value: how it was clamped or read
};
// A value the page would not take (where it puts the stored value back) is refused; base is
// the folder a relative folder path is taken against.
SettingValue CheckSettingValue(const SettingInfo& info, const std::string& typed,
                               const std::string& base = "/");

// A stored value (registry.reg or --set) the pages would never have stored: what the server
// uses instead and why. value equals the stored text where nothing better can be chosen (a
// boolean that is neither "true" nor "false" still reads as false) and only the report stands.
struct StoredValueFix {
    std::string value;
    std::string why;
};
std::optional<StoredValueFix> FixStoredValue(const SettingInfo& info, const std::string& stored);

// One sentence on when a stored change takes effect.
const char* EffectText(SettingEffect effect);
