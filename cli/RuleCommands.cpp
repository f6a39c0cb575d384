#include "cli/RuleCommands.h"

#include <CLI/CLI.hpp>

#include <iomanip>
#include <memory>

#include "cli/AdminSession.h"
#include "config/IpRules.h"
#include "config/PageChecks.h"
#include "config/SettingNames.h"
#include "config/SettingsCatalog.h"
#include "config/ShellTexts.h"
#include "platform/Folders.h"

namespace {
int Store(CAdminSession& session, const std::vector<StoredIpRule>& rules, const std::string& done) {
    if (!SaveStoredIpRules(session.Settings(), rules))
        return session.Fail("cannot write the rules to " + platform::ConfigDir() +
                            "/registry.reg; they are as they were");
    session.Out() << done << "\n" << EffectText(SettingEffect::Reload) << "\n";
    return kExitOk;
}

std::string PolicyText(bool accept) {
    return accept ? "accept" : "deny";
}

// What a matching rule does under a policy.
std::string RuleEffect(bool accept) {
    return accept ? "refused" : "admitted";
}

std::string FormatAddress(uint32_t value) {
    return std::to_string(value >> 24) + "." + std::to_string((value >> 16) & 0xFF) + "." +
           std::to_string((value >> 8) & 0xFF) + "." + std::to_string(value & 0xFF);
}

// Says how a rule text that the list takes will be read, when that is not as it was typed.
void NoteReading(CAdminSession& session, const std::string& what, const std::string& text) {
    uint32_t value = 0;
    if (!ParseAddress(text, value))
        session.Note("the " + what + " \"" + text +
                     "\" has an empty part: the rule is kept but never matches");
    else if (FormatAddress(value) != text)
        session.Note("the " + what + " \"" + text + "\" reads as " + FormatAddress(value));
}

int List(CAdminSession& session) {
    if (!session.OpenSettings()) return kExitFailed;
    bool accept = session.Settings().GetBoolSetting(setting::NetPolicy);
    std::vector<StoredIpRule> rules = ReadStoredIpRules(session.Settings());
    std::ostream& out = session.Out();
    out << "Policy: " << PolicyText(accept) << " (addresses no rule names are "
        << (accept ? "admitted" : "refused") << ")\n";
    if (rules.empty()) {
        out << "No rules.\n";
        return kExitOk;
    }
    out << "Addresses a rule names are " << RuleEffect(accept) << ":\n";
    out << std::left << std::setw(5) << "N" << std::setw(18) << "IP ADDRESS"
        << "SUBNET MASK\n";
    for (size_t i = 0; i < rules.size(); ++i) {
        CIpRuleTable probe;  // a rule the engine would leave out never matches
        bool used = probe.Append(rules[i].address, rules[i].mask);
        out << std::setw(5) << i + 1 << std::setw(18) << rules[i].address << rules[i].mask
            << (used ? "" : "  (never matches: a text with an empty part)") << "\n";
    }
    return kExitOk;
}

// Why the texts cannot be a rule: an IPv6 address with a prefix length, or an IPv4 address
// with a subnet mask. Empty when they can.
std::string RuleTextProblem(const std::string& address, const std::string& mask) {
    if (IsIpv6RuleText(address)) {
        if (!mask.empty())
            return "an IPv6 rule takes a prefix length, not a mask: such as " +
                   address.substr(0, address.find('/')) + "/64";
        Address6 parsed{};
        int prefix = 0;
        std::string problem;
        ParsePrefix6(address, parsed, prefix, &problem);
        return problem;
    }
    if (mask.empty()) return "an IPv4 rule needs a subnet mask, such as 255.255.255.0";
    for (auto [what, text] :
         {std::pair<const char*, const std::string&>{"address", address}, {"subnet mask", mask}}) {
        if (!IsAddressText(text))
            return std::string("the ") + what + " \"" + text +
                   "\" is not four numbers separated by dots, such as 192.168.1.0";
        if (text.size() > kRuleTextMax)
            return std::string("the ") + what + " is longer than " + std::to_string(kRuleTextMax) +
                   " characters";
    }
    return "";
}

int Add(CAdminSession& session, const std::string& address, const std::string& mask) {
    std::string problem = RuleTextProblem(address, mask);
    if (!problem.empty()) return session.Fail(problem);
    if (!session.OpenSettings()) return kExitFailed;
    std::vector<StoredIpRule> rules = ReadStoredIpRules(session.Settings());
    if (!CanAddIpRule(static_cast<int>(rules.size())))
        return session.Fail(texts::kMaximumRulesReached);
    if (!mask.empty()) {
        NoteReading(session, "address", address);
        NoteReading(session, "subnet mask", mask);
    }
    rules.push_back({address, mask});
    bool accept = session.Settings().GetBoolSetting(setting::NetPolicy);
    return Store(session, rules,
                 "Added rule " + std::to_string(rules.size()) + ": " + address +
                     (mask.empty() ? "" : " " + mask) + " (under the " + PolicyText(accept) +
                     " policy its addresses are " + RuleEffect(accept) + ").");
}

int Delete(CAdminSession& session, int number) {
    if (!session.OpenSettings()) return kExitFailed;
    std::vector<StoredIpRule> rules = ReadStoredIpRules(session.Settings());
    if (number < 1 || static_cast<size_t>(number) > rules.size())
        return session.Fail(
            "there is no rule " + std::to_string(number) + " (there " +
            (rules.size() == 1 ? "is 1 rule" : "are " + std::to_string(rules.size()) + " rules") +
            "; see \"quenlowftp rule list\")");
    StoredIpRule gone = rules[static_cast<size_t>(number - 1)];
    rules.erase(rules.begin() + (number - 1));
    return Store(
        session, rules,
        "Deleted rule " + std::to_string(number) + ": " + gone.address + " " + gone.mask + ".");
}

int Policy(CAdminSession& session, const std::string& policy) {
    if (!session.OpenSettings()) return kExitFailed;
    bool accept = policy == "accept";
    session.Settings().SetBoolSetting(setting::NetPolicy, accept);
    if (!session.Settings().SaveSettings()) return session.FailedToSaveSettings();
    session.Out() << "Policy: " << PolicyText(accept) << " (addresses no rule names are "
                  << (accept ? "admitted" : "refused") << "; those a rule names are "
                  << RuleEffect(accept) << ").\n"
                  << EffectText(SettingEffect::Reload) << "\n";
    return kExitOk;
}

int Check(CAdminSession& session, const std::string& address) {
    if (!session.OpenSettings()) return kExitFailed;
    CIpRuleTable table;
    for (const StoredIpRule& rule : ReadStoredIpRules(session.Settings()))
        table.Append(rule.address, rule.mask);
    table.SetPolicy(session.Settings().GetBoolSetting(setting::NetPolicy));
    bool admitted = table.Check(address);
    session.Out() << address << ": " << (admitted ? "admitted" : "refused") << "\n";
    return admitted ? kExitOk : kExitFailed;
}
}  // namespace

void AddRuleCommands(CLI::App& program, CAdminSession& session) {
    CLI::App* rule = program.add_subcommand(
        "rule",
        "IP access rules: a default policy and up to 128 exceptions, each an IPv4 address "
        "with a subnet mask or an IPv6 address with a prefix length (a running server takes "
        "changes when it reloads)");
    rule->require_subcommand(1);

    RunsAs(rule->add_subcommand("list", "Show the policy and the rules, numbered"), session,
           [&session] { return List(session); });

    auto address = std::make_shared<std::string>();
    auto mask = std::make_shared<std::string>();
    CLI::App* add = rule->add_subcommand(
        "add",
        "Add a rule: under the accept policy its addresses are refused, under deny "
        "they are admitted");
    add->add_option("ADDRESS", *address,
                    "An IPv4 address, such as 192.168.1.0, or an IPv6 address with a prefix "
                    "length, such as 2001:db8::/32 (::1 alone is /128)")
        ->required();
    add->add_option("MASK", *mask, "The IPv4 address's subnet mask, such as 255.255.255.0");
    RunsAs(add, session, [&session, address, mask] { return Add(session, *address, *mask); });

    auto number = std::make_shared<int>(0);
    CLI::App* del = rule->add_subcommand("del", "Delete rule N (as \"rule list\" numbers it)");
    del->alias("delete");
    del->add_option("N", *number, "The rule's number")->required();
    RunsAs(del, session, [&session, number] { return Delete(session, *number); });

    auto policy = std::make_shared<std::string>();
    CLI::App* pol = rule->add_subcommand("policy", "Set what happens to addresses no rule names");
    pol->add_option("POLICY", *policy, "accept or deny")
        ->required()
        ->check(CLI::IsMember({"accept", "deny"}));
    RunsAs(pol, session, [&session, policy] { return Policy(session, *policy); });

    CLI::App* check = rule->add_subcommand(
        "check", "Say whether the stored rules admit ADDRESS (exit status 0) or refuse it (1)");
    check->add_option("ADDRESS", *address, "An IPv4 or IPv6 address")->required();
    RunsAs(check, session, [&session, address] { return Check(session, *address); });
}
