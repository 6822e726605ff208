// quellon-hostsim: an emulated IBM i host as seen through its FTP server.

#include "Ebcdic.h"
#include "FtpServer.h"
#include "HostStore.h"
#include "SshCommand.h"
#include "SeedObject.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <unistd.h>

using namespace hostsim;

namespace {

int gStopPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(gStopPipe[1], &c, 1);
}

const char kUsage[] =
    "Usage: quellon-hostsim --listen 127.0.0.1:PORT --root DIR [--user U --password P]...\n"
    "                       [--log FILE] [--fail REGEX]... [--abort-transfer-after BYTES]\n"
    "       quellon-hostsim --ssh-command --root DIR [--log FILE] [--fail REGEX]...\n"
    "\n"
    "An emulated IBM i host seen through its FTP server: QSYS.LIB save files and\n"
    "physical files, RCMD with a CL subset (CHGJOB, CRTSAVF, CLRSAVF, CRTPF, OVRPRTF,\n"
    "CLRPFM, SAVLIB, SAVOBJ, RSTLIB, RSTOBJ, CRTLIB, DSPJOBLOG, CPYSPLF, DLTSPLF, CALL,\n"
    "DLTF)\n"
    "and a job log per connection.\n"
    "\n"
    "  --listen ADDR:PORT          address to listen on (default 127.0.0.1:0; port 0 picks a\n"
    "                              free one, printed on the first line of stdout)\n"
    "  --root DIR                  the host's libraries: one folder per library, one NAME.TYPE\n"
    "                              file per object; created when missing\n"
    "  --user U                    a user profile that may sign on (repeatable; with none,\n"
    "                              any user and password are accepted)\n"
    "  --password P                the password of the preceding --user\n"
    "  --password-env VAR          ... read from the environment variable VAR\n"
    "  --password-file FILE        ... read from the first line of FILE\n"
    "  --log FILE                  append every command line received (passwords as ****)\n"
    "  --fail REGEX                an RCMD whose text matches fails with 550 and CPF9899\n"
    "                              (POSIX extended regex, case-insensitive; repeatable)\n"
    "  --fail-message 'ID TEXT'    the escape message of the preceding --fail, for example\n"
    "                              'CPF2182 Not authorized to library QTEMP.'\n"
    "  --abort-transfer-after N    break every RETR and STOR off with 426 after N bytes\n"
    "  --transfer-rate N           move at most N bytes a second on data connections\n"
    "  --slow-command REGEX        an RCMD whose text matches is answered after a minute\n"
    "                              (or never, when the client hangs up first; repeatable)\n"
    "  --transfer-end 250|226      reply code after a completed transfer (default 250)\n"
    "  --release VxRyMz            release the host runs (default V7R3M0); SAVLIB and SAVOBJ\n"
    "                              accept it and the two releases before as TGTRLS\n"
    "  --system NAME               system name in the greeting and job log (default HOSTSIM)\n"
    "  --cut-download-after N      end every binary RETR of a save file after N bytes, closed\n"
    "                              cleanly and answered as complete (only the client's own\n"
    "                              checks can find such a cut)\n"
    "  --no-size                   answer SIZE with 500, as hosts without the subcommand do\n"
    "  --lenient-namefmt           accept /QSYS.LIB paths in name format 0; by default they are\n"
    "                              refused (501) until SITE NAMEFMT 1, as on real hosts\n"
    "  --strict-namefmt            the default; kept for older scripts\n"
    "  --tls-cert FILE             PEM certificate (chain) of the server: AUTH TLS, PBSZ and\n"
    "                              PROT P/C are offered (without it AUTH answers 431)\n"
    "  --tls-key FILE              PEM private key (default: in the --tls-cert file)\n"
    "  --tls explicit|implicit     explicit: AUTH TLS is required before USER; implicit:\n"
    "                              every connection starts with the TLS handshake (port 990 style)\n"
    "  --wire-log FILE             append every byte sent or received on any connection, as\n"
    "                              it crossed the wire (to check what TLS protects)\n"
    "  --idle-timeout SECONDS      close idle connections (default 300)\n"
    "  --seed-library NAME         create library NAME with sample objects (a *PGM, a *FILE\n"
    "                              and a *DTAARA) unless they exist (repeatable)\n"
    "  --ssh-command               be the host behind an SSH server: run as sshd's\n"
    "                              ForceCommand, it takes SSH_ORIGINAL_COMMAND and offers\n"
    "                              what a PASE shell offers a client: system 'CL' (each\n"
    "                              command its own job, messages as ID: text on stdout, or\n"
    "                              stderr and exit status 255 on failure) and cat of a save\n"
    "                              file's /QSYS.LIB/LIB.LIB/NAME.FILE path, out or in (cat >);\n"
    "                              --root, --log, --fail, --fail-message, --release, --system,\n"
    "                              --seed-library, --seed-object and --abort-transfer-after apply\n"
    "  --drop-connection-after N   with --ssh-command: a cat download kills its SSH session\n"
    "                              after N bytes, so the client sees the connection drop\n"
    "  --seed-object LIB/NAME.TYPE=SIZE[,generated]\n"
    "                              put an object of SIZE bytes (K, M, G suffixes) into LIB:\n"
    "                              sparse zeros, or generated bytes that do not compress\n"
    "  --help                      show this text\n";

int usage(const std::string &what)
{
    std::cerr << "quellon-hostsim: " << what << "\n" << "Try 'quellon-hostsim --help'.\n";
    return 2;
}

std::string sampleBytes(size_t n, uint32_t seed)
{
    std::string out(n, '\0');
    for (auto &c : out) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return out;
}

bool seedLibrary(HostStore &store, const std::string &name)
{
    const fs::path dir = store.findLibrary(name).value_or(store.createLibrary(name));
    const auto ensure = [&](const std::string &objName, const std::string &type, const std::string &bytes) {
        if (HostStore::findObject(dir, objName, type))
            return true;
        return HostStore::writeFileAtomic(dir / (objName + "." + type), bytes);
    };
    std::string customers = HostStore::pfHeader(80);
    for (const char *rec : {"000001 ACME TOOLING          OSLO      ", "000002 NORDIC FREIGHT AS     BERGEN    ",
                            "000003 QUELLON FISHERIES     QUELLON   "})
        customers += ebcdicField(rec, 80);
    return ensure("HELLO", "PGM", sampleBytes(8192, 42)) && ensure("CUSTOMER", "FILE", customers) &&
           ensure("SETTINGS", "DTAARA", ebcdicField("REGION=NORTH CURRENCY=NOK", 2000));
}

} // namespace

int main(int argc, char **argv)
{
    ServerConfig config;
    std::string root;
    std::vector<std::string> seeds;
    std::vector<std::string> objectSeeds;
    std::vector<std::string> users;
    std::vector<std::string> passwords;
    bool sshCommand = false;
    long long dropConnectionAfter = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (opt == "--ssh-command") {
            sshCommand = true;
            continue;
        }
        if (opt == "--strict-namefmt" || opt == "--lenient-namefmt") {
            config.strictNameFormat = opt == "--strict-namefmt";
            continue;
        }
        if (opt == "--no-size") {
            config.answerSize = false;
            continue;
        }
        if (i + 1 >= argc)
            return usage("option " + opt + " needs a value");
        const std::string val = argv[++i];
        if (opt == "--listen") {
            const auto colon = val.rfind(':');
            if (colon == std::string::npos)
                return usage("--listen wants ADDRESS:PORT");
            config.listenAddress = val.substr(0, colon);
            // [::1]:PORT for IPv6.
            if (config.listenAddress.size() > 2 && config.listenAddress.front() == '[' &&
                config.listenAddress.back() == ']')
                config.listenAddress = config.listenAddress.substr(1, config.listenAddress.size() - 2);
            char *end = nullptr;
            const long port = std::strtol(val.c_str() + colon + 1, &end, 10);
            if (*end || port < 0 || port > 65535 || colon + 1 == val.size())
                return usage("bad port in --listen " + val);
            config.port = static_cast<uint16_t>(port);
        } else if (opt == "--root") {
            root = val;
        } else if (opt == "--user") {
            users.push_back(val);
        } else if (opt == "--password") {
            passwords.push_back(val);
        } else if (opt == "--password-env") {
            const char *v = std::getenv(val.c_str());
            if (!v)
                return usage("environment variable " + val + " is not set");
            passwords.push_back(v);
        } else if (opt == "--password-file") {
            std::ifstream in(val);
            std::string line;
            if (!in || !std::getline(in, line)) {
                std::cerr << "quellon-hostsim: cannot read password file " << val << "\n";
                return 1;
            }
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            passwords.push_back(line);
        } else if (opt == "--log") {
            config.logFile = val;
        } else if (opt == "--fail") {
            auto pattern = FailPattern::compile(val);
            if (!pattern)
                return usage("bad regular expression in --fail: " + val);
            config.host.failPatterns.push_back(std::move(pattern));
        } else if (opt == "--slow-command") {
            auto pattern = FailPattern::compile(val);
            if (!pattern)
                return usage("bad regular expression in --slow-command: " + val);
            config.slowPatterns.push_back(std::move(pattern));
        } else if (opt == "--transfer-rate") {
            char *end = nullptr;
            const long long n = std::strtoll(val.c_str(), &end, 10);
            if (*end || n <= 0 || val.empty())
                return usage("--transfer-rate wants bytes per second");
            config.transferRate = n;
        } else if (opt == "--fail-message") {
            const auto blank = val.find(' ');
            if (config.host.failPatterns.empty() || blank == std::string::npos || blank == 0 ||
                blank + 1 == val.size())
                return usage("--fail-message wants 'MSGID TEXT' after a --fail");
            config.host.failPatterns.back()->messageId = val.substr(0, blank);
            config.host.failPatterns.back()->messageText = val.substr(blank + 1);
        } else if (opt == "--cut-download-after") {
            char *end = nullptr;
            const long long n = std::strtoll(val.c_str(), &end, 10);
            if (*end || n < 0 || val.empty())
                return usage("--cut-download-after wants a byte count");
            config.cutDownloadAfter = n;
        } else if (opt == "--drop-connection-after") {
            char *end = nullptr;
            const long long n = std::strtoll(val.c_str(), &end, 10);
            if (*end || n < 0 || val.empty())
                return usage("--drop-connection-after wants a byte count");
            dropConnectionAfter = n;
        } else if (opt == "--abort-transfer-after") {
            char *end = nullptr;
            const long long n = std::strtoll(val.c_str(), &end, 10);
            if (*end || n < 0 || val.empty())
                return usage("--abort-transfer-after wants a byte count");
            config.abortTransferAfter = n;
        } else if (opt == "--transfer-end") {
            if (val != "250" && val != "226")
                return usage("--transfer-end wants 250 or 226");
            config.transferEndCode = std::stoi(val);
        } else if (opt == "--release") {
            std::string rel = val;
            for (auto &c : rel)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            const auto &known = knownReleases();
            if (std::find(known.begin(), known.end(), rel) == known.end())
                return usage("unknown release " + val);
            config.host.release = rel;
        } else if (opt == "--system") {
            config.host.system = val;
        } else if (opt == "--tls-cert") {
            config.tlsCert = val;
        } else if (opt == "--tls-key") {
            config.tlsKey = val;
        } else if (opt == "--tls") {
            if (val == "explicit")
                config.tlsMode = TlsMode::Explicit;
            else if (val == "implicit")
                config.tlsMode = TlsMode::Implicit;
            else
                return usage("--tls wants explicit or implicit");
        } else if (opt == "--wire-log") {
            config.wireLog = val;
        } else if (opt == "--idle-timeout") {
            config.idleSeconds = std::atoi(val.c_str());
            if (config.idleSeconds <= 0)
                return usage("--idle-timeout wants seconds");
        } else if (opt == "--seed-object") {
            objectSeeds.push_back(val);
        } else if (opt == "--seed-library") {
            std::string name = val;
            for (auto &c : name)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (!isValidName(name))
                return usage("not a library name: " + val);
            seeds.push_back(name);
        } else {
            return usage("unknown option " + opt);
        }
    }
    if (root.empty())
        return usage("--root DIR is required");
    if (users.size() != passwords.size())
        return usage("each --user needs one password option");
    for (size_t i = 0; i < users.size(); ++i) {
        std::string u = users[i];
        for (auto &c : u)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        config.users.emplace_back(u, passwords[i]);
    }

    std::error_code ec;
    fs::create_directories(root, ec);
    if (!fs::is_directory(root)) {
        std::cerr << "quellon-hostsim: cannot use root folder " << root << "\n";
        return 1;
    }
    HostStore store(fs::absolute(root));
    if (!store.findLibrary("QGPL"))
        store.createLibrary("QGPL");
    for (const auto &name : seeds) {
        if (!seedLibrary(store, name)) {
            std::cerr << "quellon-hostsim: cannot create sample library " << name << " in " << root << "\n";
            return 1;
        }
    }
    for (const auto &spec : objectSeeds) {
        std::string why;
        if (!seedObject(store, spec, &why)) {
            std::cerr << "quellon-hostsim: " << why << "\n";
            return 1;
        }
    }

    if (sshCommand) {
        std::signal(SIGPIPE, SIG_IGN);
        const char *line = std::getenv("SSH_ORIGINAL_COMMAND");
        if (!line) {
            std::cerr << "quellon-hostsim: this host takes remote commands only (system, cat)\n";
            return 1;
        }
        SshConfig ssh;
        ssh.host = config.host;
        ssh.logFile = config.logFile;
        ssh.abortTransferAfter = config.abortTransferAfter;
        ssh.dropConnectionAfter = dropConnectionAfter;
        return runSshCommand(line, store, ssh, 0, 1, 2);
    }

    if (::pipe2(gStopPipe, O_CLOEXEC) != 0) {
        std::perror("quellon-hostsim: pipe");
        return 1;
    }
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    FtpServer server(config, store);
    std::string error;
    const uint16_t port = server.listen(&error);
    if (port == 0) {
        std::cerr << "quellon-hostsim: " << error << "\n";
        return 1;
    }
    const bool v6 = config.listenAddress.find(':') != std::string::npos;
    std::cout << "quellon-hostsim listening on "
              << (v6 ? "[" + config.listenAddress + "]" : config.listenAddress) << ":" << port << std::endl;
    server.serve(gStopPipe[0]);
    return 0;
}
