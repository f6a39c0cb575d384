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
    bool client = false;
    bool countryGiven = false;
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

bool AskForName(CAdminSession& session, std::string& name) {
    const std::string nameMessage =
        "the base name of the files must be a valid file name: none of the characters "
        "\" * < > ? |, and no part aux, con, lpt1 or prn";
    if (!AskFor(
            session, "Name :", name,
            [](const std::string& n) { return !n.empty() && IsValidName(n); }, nameMessage))
        return false;
    if (CertNameStaysInFolder(name)) return true;
    session.Fail("the base name names a place inside " + platform::ConfigDir() +
                 "; it cannot start with \"/\" or hold \"..\"");
    return false;
}

// A certificate for a console, signed by the server's own: settings stay as they are.
int CreateClient(CAdminSession& session, CertOptions o) {
    if (!AskForName(session, o.name)) return kExitFailed;
    if (!o.countryGiven) o.request.country.clear();
    for (CertField field : kCertFields)
        if (!AskFor(
                session, FieldInfo(field).label, o.request[field],
                [field](const std::string& t) { return ClientFieldPasses(field, t); },
                CertFieldMessage(field)))
            return kExitFailed;
    CAppSettings& settings = session.Settings();
    CertificateIssuer issuer{settings.GetSetting(setting::SSLCertFile),
                             settings.GetSetting(setting::SSLKeyFile),
                             settings.GetSetting(setting::SSLPassPhrase)};
    if (issuer.key.empty()) issuer.key = issuer.certificate;
    if (issuer.certificate.empty())
        return session.Fail(
            "the server has no certificate (SSLCertFile is empty) to sign one for a console: "
            "make it first with \"quenlowftp cert create\"");

    CertificatePaths paths = CertificateFiles(platform::ConfigDir(), o.name);
    CertificateParameters parameters;
    parameters.days = o.days;
    std::string detail;
    session.Out() << "Making a " << parameters.keyBits
                  << "-bit RSA key and a client certificate for " << o.request.commonName
                  << ", signed by " << issuer.certificate << "..." << std::endl;
    if (!GenerateClientCertificate(paths, issuer, o.request, parameters, &detail))
        return session.Fail(std::string(texts::kFailedToCreateCertificate) + " (" + detail + ")");
    std::ostream& out = session.Out();
    out << "Client certificate: " << paths.certificate << " (valid for " << o.days << " days)\n"
        << "Private key: " << paths.key << " (not encrypted: only its owner may read it)\n"
        << "A console shows them with: quenlowftp console --cert " << paths.certificate << " --key "
        << paths.key << " ...\n";
    if (settings.GetBoolSetting(setting::SysConsoleAuthPeer))
        out << "The server asks remote consoles for such a certificate (SysConsoleAuthPeer = "
               "true).\n";
    else
        out << "The server asks for one only with \"quenlowftp config set SysConsoleAuthPeer "
               "true\" (then a restart).\n";
    return kExitOk;
}

int Create(CAdminSession& session, CertOptions o) {
    if (!session.OpenSettings()) return kExitFailed;
    if (o.client) return CreateClient(session, std::move(o));
    if (!AskForName(session, o.name)) return kExitFailed;
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
    CLI::App* cert = program.add_subcommand(
        "cert", "The TLS certificate of the server, and those it signs for consoles");
    cert->require_subcommand(1);

    auto o = std::make_shared<CertOptions>();
    CLI::App* create = cert->add_subcommand(
        "create",
        "Make a 2048-bit RSA key and a self-signed certificate (SHA-256), write NAME.crt and "
        "NAME.key into the configuration folder (an existing pair is overwritten), and store "
        "them in SSLCertFile, SSLKeyFile and SSLPassPhrase. Required values that are missing "
        "are asked for on a terminal. With --client: a certificate for a console instead (see "
        "below).");
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
          FieldOption{"--state", CertField::State,
                      "State or province (required, but optional with --client)"},
          FieldOption{"--country", CertField::Country,
                      "Country code (default US; none with --client)"},
          FieldOption{"--email", CertField::Email, "E-mail address (optional)"},
          FieldOption{"--org", CertField::Organization, "Organization (optional)"},
          FieldOption{"--unit", CertField::Unit, "Organizational unit (optional)"}})
        create->add_option(f.flag, o->request[f.field], f.help);
    CLI::Option* country = create->get_option("--country");
    CLI::Option* given = create->add_option(
        "--passphrase", o->passPhrase,
        "Pass phrase of the private key. Visible to every user of this machine while the "
        "command runs: prefer the prompt or --passphrase-file.");
    create
        ->add_option("--passphrase-file", o->passPhraseFile,
                     "Read the pass phrase from the first line of FILE (\"-\": standard input)")
        ->excludes(given);
    CLI::Option* passphraseFile = create->get_option("--passphrase-file");
    CLI::Option* enable =
        create->add_flag("--enable", o->enable, "Also turn TLS on (SSLState = true)");
    create
        ->add_flag("--client", o->client,
                   "Make a certificate for a console instead, signed by the server's "
                   "certificate and key (SSLCertFile, SSLKeyFile, SSLPassPhrase); --cn names "
                   "the console's user. No setting changes")
        ->excludes(given)
        ->excludes(passphraseFile)
        ->excludes(enable);
    create->footer(
        "Each field may hold at most 64 characters (the country code 2), not only spaces and "
        "periods, and none of /\\[];:|=,+*?<>{}.\nThe server reads the new files when it is "
        "restarted.\n"
        "With --client only --cn is required. The key is written unencrypted (mode 0600), for "
        "\"quenlowftp console --cert NAME.crt --key NAME.key\"; a server with "
        "\"SysConsoleAuthPeer\" true takes it. A new server certificate makes the client "
        "certificates signed by the old one useless.");
    RunsAs(create, session, [&session, o, country] {
        o->countryGiven = country->count() > 0;
        return Create(session, *o);
    });
}
