// quellon-cli ftp: get, put or a raw command through the wizard's FTP client.

#include "cli/CliCommon.h"
#include "cli/CliUsage.h"
#include "cli/CliTransport.h"
#include "net/NMFtp.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace cli
{

int runFtp(int argc, char **argv)
{
    CLI::App app{"Get or put one file, or send one raw command, over FTP (active mode unless --passive; "
                 "plain unless --tls).",
                 "quellon-cli ftp"};
    std::string host, proxy, user, passwordEnv, passwordFile;
    int port = 21, proxyPort = 21, timeout = defaultTimeout();
    bool progress = false, verbose = false;
    TransportOptions transport;
    app.add_option("--host", host, "FTP server name or address")->required();
    auto *portOpt = app.add_option("--port", port, "FTP server port (default 21; 990 with --tls implicit)")
                        ->check(CLI::Range(1, 65535));
    transport.add(app);
    app.add_option("--proxy", proxy, "FTP proxy; the user is sent as USER@HOST");
    app.add_option("--proxy-port", proxyPort, "FTP proxy port")->capture_default_str()->check(CLI::Range(1, 65535));
    app.add_option("--user", user, "user profile")->required();
    app.add_option("--password-env", passwordEnv, "read the password from this environment variable");
    app.add_option("--password-file", passwordFile,
                   "read the password from the first line of this file (- for standard input); without either "
                   "option it is asked for at the terminal");
    app.add_option("--timeout", timeout,
                   "milliseconds allowed for the host lookup, the connection, each reply and a stalled "
                   "transfer (0: no limit); remote commands (RCMD) may take as long as they need")
        ->capture_default_str();
    app.add_flag("--progress", progress, "show progress on stderr even when it is not a terminal");
    app.add_flag("-v,--verbose", verbose, "show the protocol dialogue on stderr");
    app.require_subcommand(1);
    app.fallthrough(); // common options may also follow the sub-command
    app.footer("Examples:\n"
               "  QPW=secret quellon-cli ftp --host as400 --user JOE --password-env QPW \\\n"
               "      quote \"RCMD CRTLIB LIB(NEWLIB)\"\n"
               "  quellon-cli ftp --host as400 --user JOE --password-file ~/.as400pw \\\n"
               "      get /qsys.lib/mylib.lib/customer.file/customer.mbr customer.txt --type a\n"
               "  quellon-cli ftp --host as400 --port 2121 --user JOE --password-env QPW \\\n"
               "      put mylib.savf /qsys.lib/qgpl.lib/mylib.savf\n"
               "\n" +
               std::string(kExitStatusHelp));

    std::string remote, local, type = "i", raw;
    auto *get = app.add_subcommand("get", "download REMOTE into LOCAL");
    get->add_option("REMOTE", remote, "remote file")->required();
    get->add_option("LOCAL", local, "local file (overwritten)")->required();
    get->add_option("--type", type, "transfer type: a (text) or i (binary)")
        ->check(CLI::IsMember({"a", "i"}))
        ->capture_default_str();
    auto *put = app.add_subcommand("put", "upload LOCAL as REMOTE");
    put->add_option("LOCAL", local, "local file")->required();
    put->add_option("REMOTE", remote, "remote file")->required();
    put->add_option("--type", type, "transfer type: a (text) or i (binary)")
        ->check(CLI::IsMember({"a", "i"}))
        ->capture_default_str();
    auto *quote = app.add_subcommand("quote", "send one raw command and print the reply");
    quote->add_option("COMMAND", raw, "the command, for example \"RCMD DSPLIB QGPL\"")->required();

    if (int r = parseCommand(app, argc, argv, "ftp"); r >= 0)
        return r;
    if (!passwordOptionsOk("ftp", passwordEnv, passwordFile))
        return kUsage;
    auto password = readPassword(passwordEnv, passwordFile, "Password for " + user + " on " + host + ": ");
    if (!password)
        return kUsage;

    if (!transport.check())
        return kUsage;

    TNMFTP ftp;
    ftp.Host = host;
    transport.apply(ftp, port, portOpt->count() > 0);
    signOn(ftp, user, *password, proxy, proxyPort, timeout, verbose);
    ftp.OnError = [verbose](TPowersock *, uint16_t, const std::string &text) {
        if (verbose)
            std::fprintf(stderr, "ftp: socket error %s\n", text.c_str());
    };

    Progress bar(progress);
    const bool downloading = get->parsed();
    ftp.OnTransactionStart = [&](TPowersock *) {
        bar.start(downloading ? "get " + remote : "put " + local, ftp.BytesTotal);
    };
    ftp.OnPacketRecvd = [&](TPowersock *) { bar.update(ftp.BytesReceived()); };
    ftp.OnPacketSent = [&](TPowersock *) { bar.update(ftp.BytesSent()); };
    ftp.OnTransactionStop = [&](TPowersock *) {
        bar.update(downloading ? ftp.BytesReceived() : ftp.BytesSent(), true);
        bar.finish();
    };

    const std::string where = host + ":" + std::to_string(ftp.Port);
    std::string step = "sign-on to " + where;
    try {
        ftp.Connect();
        if ((get->parsed() || put->parsed()) && !remote.empty() && remote[0] == '/') {
            // IBM i hosts start in name format 0, which refuses "/..." paths;
            // servers that know no name formats refuse the switch, harmlessly.
            ftp.OnFailure = [](bool &handled, TCmdType) { handled = true; };
            ftp.SendCommand("SITE NAMEFMT 1");
            ftp.OnFailure = nullptr;
        }
        if (get->parsed()) {
            step = "get " + remote;
            ftp.SetTransferType(type == "a" ? 1 : 2);
            ftp.Download(remote, local);
        } else if (put->parsed()) {
            step = "put " + local;
            ftp.SetTransferType(type == "a" ? 1 : 2);
            ftp.Upload(local, remote);
        } else {
            step = "quote " + raw;
            ftp.SendCommand(raw);
            std::fputs(ftp.LastReplyText.c_str(), stdout);
        }
        step = "sign-off from " + where;
        ftp.Disconnect();
    } catch (const std::exception &e) {
        bar.finish();
        const std::string what = trimLineEnd(e.what());
        if (const std::string cause = connectCause(ftp, what); !cause.empty())
            error("cannot connect to " + connectTarget(ftp) + ": " + cause);
        else
            error(step + ": " + what + transport.advice());
        // A multi-line reply has the host's reasons on its later lines.
        if (quote->parsed()) {
            std::string reply = ftp.LastReplyText;
            bool first = true;
            for (std::size_t at = 0; at < reply.size();) {
                std::size_t end = reply.find('\n', at);
                if (end == std::string::npos)
                    end = reply.size();
                const std::string line = trimLineEnd(reply.substr(at, end - at));
                if (!line.empty() && !(first && what.find(line) != std::string::npos))
                    error("  Host reply: " + line);
                first = false;
                at = end + 1;
            }
        }
        if (ftp.Connected) {
            try {
                ftp.Disconnect();
            } catch (...) {
            }
        }
        return exitStatus(kFailed);
    }
    return kOk;
}

} // namespace cli
