#include "cli/CertCommands.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <optional>

#include "cli/AdminSession.h"
#include "config/Certificate.h"
#include "config/FolderPath.h"
#include "config/SettingNames.h"
#include "config/SettingsCatalog.h"
#include "config/ShellTexts.h"
#include "platform/Folders.h"

namespace {
struct CertOptions {
    std::string name;
    unsigned days = 365;
    CertificateRequest request;
    std::optional<std::string> passPhrase;
    std::string passPhraseFile;
    bool enable = false;
};

// A required text that was not given: asked for on a terminal until it passes, else refused.
bool AskFor(CAdminSession& session, const std::string& label, std::string& text,
            const std::function<bool(const std::string&)>& passes, const std::string& message) {
    if (passes(text)) return true;
    if (!text.empty() || !session.Terminal().Interactive()) {
        session.Fail(message);
        return false;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!session.Terminal().ReadLine(label + " ", text)) break;
        if (passes(text)) return true;
        session.Note(message);
    }
    session.Fail(message);
    return false;
}

int Create(CAdminSession& session, CertOptions o) {
    if (!session.OpenSettings()) return kExitFailed;
    const std::string nameMessage =
        "the base name of the files must be a valid file name: none of the characters "
        "\" * < > ? |, and no part aux, con, lpt1 or prn";
    if (!AskFor(
            session, "Name :", o.name,
            [](const std::string& n) { return !n.empty() && IsValidName(n); }, nameMessage))
        return kExitFailed;
    if (!CertNameStaysInFolder(o.name))
        return session.Fail("the base name names a place inside " + platform::ConfigDir() +
                            "; it cannot start with \"/\" or hold \"..\"");
    for (CertField field : kCertFields) {
        const CertFieldInfo& info = FieldInfo(field);
        std::string& text = o.request[field];
        if (!AskFor(
                session, info.label, text,
                [field](const std::string& t) { return CertFieldPasses(field, t); },
                CertFieldMessage(field)))
            return kExitFailed;
    }
    std::string passPhrase;
    if (!ObtainSecret(session, "pass phrase", o.passPhrase ? &*o.passPhrase : nullptr,
                      o.passPhraseFile, passPhrase))
        return kExitFailed;
    if (!CertStepOnePasses(o.name, passPhrase, o.days))
        return session.Fail("the pass phrase of the private key cannot be empty");

    CertificatePaths paths = CertificateFiles(platform::ConfigDir(), o.name);
    CertificateParameters parameters;
    parameters.days = o.days;
    std::string detail;
    session.Out() << "Making a " << parameters.keyBits << "-bit RSA key and a certificate for "
                  << o.request.commonName << "..." << std::endl;
    if (!GenerateCertificate(paths, passPhrase, o.request, parameters, &detail))
        return session.Fail(std::string(texts::kFailedToCreateCertificate) + " (" + detail + ")");

    CAppSettings& settings = session.Settings();
    settings.SetSetting(setting::SSLCertFile, paths.certificate);
    settings.SetSetting(setting::SSLKeyFile, paths.key);
    settings.SetSetting(setting::SSLPassPhrase, passPhrase);
    if (o.enable) settings.SetBoolSetting(setting::SSLState, true);
    if (!settings.SaveSettings())
        return session.Fail("the certificate was made, but the settings could not be written to " +
                            platform::ConfigDir() + "/registry.reg; they are as they were");
    std::ostream& out = session.Out();
    out << "Certificate: " << paths.certificate << " (valid for " << o.days << " days)\n"
        << "Private key: " << paths.key << " (encrypted under the pass phrase)\n"
        << "SSLCertFile, SSLKeyFile and SSLPassPhrase now name them.\n";
    if (settings.GetBoolSetting(setting::SSLState))
        out << "TLS is enabled (SSLState = true).\n";
    else
        out << "TLS is off: turn it on with \"quenlowftp config set SSLState true\".\n";
    out << texts::kRestartForChanges << "\n";
    return kExitOk;
}
}  // namespace

void AddCertCommands(CLI::App& program, CAdminSession& session) {
    CLI::App* cert = program.add_subcommand("cert", "The TLS certificate of the server");
    cert->require_subcommand(1);

    auto o = std::make_shared<CertOptions>();
    CLI::App* create = cert->add_subcommand(
        "create",
        "Make a 2048-bit RSA key and a self-signed certificate (SHA-256), write NAME.crt and "
        "NAME.key into the configuration folder (an existing pair is overwritten), and store "
        "them in SSLCertFile, SSLKeyFile and SSLPassPhrase. Required values that are missing "
        "are asked for on a terminal.");
    create->add_option("--name", o->name,
                       "Base name of the two files, inside the configuration folder (\"\\\" "
                       "or \"/\" name a sub-folder, which must exist)");
    create->add_option("--days", o->days, "Days the certificate is valid (default 365)")
        ->check(CLI::Range(1u, 3000000u));
    struct FieldOption {
        const char* flag;
        CertField field;
        const char* help;
    };
    for (const FieldOption& f :
         {FieldOption{"--cn", CertField::CommonName,
                      "Common name: the host name or IP address clients connect to (required; "
                      "also written as the subjectAltName)"},
          FieldOption{"--city", CertField::City, "City (optional)"},
          FieldOption{"--state", CertField::State, "State or province (required)"},
          FieldOption{"--country", CertField::Country, "Country code (default US)"},
          FieldOption{"--email", CertField::Email, "E-mail address (optional)"},
          FieldOption{"--org", CertField::Organization, "Organization (optional)"},
          FieldOption{"--unit", CertField::Unit, "Organizational unit (optional)"}})
        create->add_option(f.flag, o->request[f.field], f.help);
    CLI::Option* given = create->add_option(
        "--passphrase", o->passPhrase,
        "Pass phrase of the private key. Visible to every user of this machine while the "
        "command runs: prefer the prompt or --passphrase-file.");
    create
        ->add_option("--passphrase-file", o->passPhraseFile,
                     "Read the pass phrase from the first line of FILE (\"-\": standard input)")
        ->excludes(given);
    create->add_flag("--enable", o->enable, "Also turn TLS on (SSLState = true)");
    create->footer(
        "Each field may hold at most 64 characters (the country code 2), not only spaces and "
        "periods, and none of /\\[];:|=,+*?<>{}.\nThe server reads the new files when it is "
        "restarted.");
    RunsAs(create, session, [&session, o] { return Create(session, *o); });
}
