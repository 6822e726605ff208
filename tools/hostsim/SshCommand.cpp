#include "SshCommand.h"

#include "ClParser.h"
#include "SaveFile.h"
#include "SftpServer.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>

namespace hostsim
{
namespace
{

std::string upper(std::string s)
{
    for (auto &c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

bool writeAll(int fd, const char *p, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void say(int fd, const std::string &text)
{
    writeAll(fd, text.data(), text.size());
}

bool stripSuffix(const std::string &part, const std::string &suffix, std::string &name)
{
    if (part.size() <= suffix.size() || part.compare(part.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    name = part.substr(0, part.size() - suffix.size());
    return isValidName(name);
}

int jobNumber()
{
    return static_cast<int>(200000 + (::getpid() % 700000));
}

// The save file a `cat` reads or writes: it must exist and be a save file;
// the IFS path of anything else is refused as AIX's cat refuses a path.
std::optional<fs::path> openableSaveFile(HostJob &job, const std::string &path, int err)
{
    std::string library, file;
    std::optional<fs::path> object;
    if (saveFilePath(path, library, file))
        if (const auto dir = job.libraryDir(library))
            object = HostStore::findObject(*dir, file, "FILE");
    if (!object || HostStore::fileKind(*object) != FileKind::SaveFile) {
        say(err, "cat: 0652-050 Cannot open " + path + ".\n");
        return std::nullopt;
    }
    return object;
}

int catOut(HostJob &job, const std::string &path, const SshConfig &config, int out, int err)
{
    const auto object = openableSaveFile(job, path, err);
    if (!object)
        return 2;
    std::ifstream in(*object, std::ios::binary);
    if (!in) {
        say(err, "cat: 0652-050 Cannot open " + path + ".\n");
        return 2;
    }
    std::vector<char> buf(256 * 1024);
    long long sent = 0;
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        size_t got = static_cast<size_t>(in.gcount());
        if (got == 0)
            break;
        bool cut = false;
        if (config.abortTransferAfter >= 0 &&
            sent + static_cast<long long>(got) > config.abortTransferAfter) {
            got = static_cast<size_t>(config.abortTransferAfter - sent);
            cut = true;
        }
        if (config.dropConnectionAfter >= 0 &&
            sent + static_cast<long long>(got) > config.dropConnectionAfter) {
            writeAll(out, buf.data(), static_cast<size_t>(config.dropConnectionAfter - sent));
            ::kill(::getppid(), SIGKILL);
            ::_exit(2);
        }
        if (!writeAll(out, buf.data(), got)) {
            say(err, "cat: 0652-054 Cannot write to output.\n");
            return 2;
        }
        sent += static_cast<long long>(got);
        if (cut) {
            say(err, "cat: 0652-057 Cannot read " + path + ".\n");
            return 2;
        }
    }
    return in.bad() ? 2 : 0;
}

int catIn(HostJob &job, HostStore &store, const std::string &path, int in, int err)
{
    const auto object = openableSaveFile(job, path, err);
    if (!object)
        return 2;
    const fs::path tmp = HostStore::tempPathFor(*object);
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) {
        say(err, "cat: 0652-050 Cannot open " + path + ".\n");
        return 2;
    }
    std::vector<char> buf(256 * 1024);
    uint64_t total = 0;
    bool readFailed = false;
    while (true) {
        const ssize_t n = ::read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            readFailed = true;
        if (n <= 0)
            break;
        out.write(buf.data(), n);
        total += static_cast<uint64_t>(n);
    }
    out.flush();
    const bool written = static_cast<bool>(out);
    out.close();
    std::error_code ec;
    // A save file holds whole 528-byte records: a stream that ends inside
    // one is not a save file the host could ever restore.
    if (readFailed || !written || total % kSavfRecordLength != 0) {
        fs::remove(tmp, ec);
        say(err, "cat: 0652-054 Cannot write to " + path + ".\n");
        return 2;
    }
    std::lock_guard<std::mutex> lock(store.mutex());
    const std::string aut = HostStore::publicAuthority(*object);
    fs::rename(tmp, *object, ec);
    if (!ec && !HostStore::setPublicAuthority(*object, aut))
        ec = std::make_error_code(std::errc::permission_denied);
    if (ec) {
        fs::remove(tmp, ec);
        say(err, "cat: 0652-054 Cannot write to " + path + ".\n");
        return 2;
    }
    return 0;
}

// UTF-8 text as ISO-8859-1, '?' for what it cannot hold.
std::string latin1(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
            out += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F));
        } else {
            out += '?';
            while (i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80)
                ++i;
        }
    }
    return out;
}

int runSystem(HostJob &job, const std::vector<std::string> &words, bool utf8, int out, int err)
{
    size_t i = 1;
    // The utility's own options come first; none changes what is emulated.
    while (i < words.size() && words[i].size() > 1 && words[i][0] == '-' &&
           words[i].find_first_not_of("beEhiIkKnOpqsv", 1) == std::string::npos)
        ++i;
    std::string cl;
    for (; i < words.size(); ++i)
        cl += (cl.empty() ? "" : " ") + words[i];
    if (cl.empty()) {
        say(err, "Usage: system [-beEhiIkKnOpqsv] CL-command [CL-parameters ...]\n");
        return 1;
    }
    const size_t before = job.log().messages().size();
    const CommandResult result = job.run(cl);
    // Messages after normal completion go to stdout, all of them to stderr
    // when the command ended with an escape message.
    std::string text;
    const auto &messages = job.log().messages();
    for (size_t k = before; k < messages.size(); ++k) {
        const JobMessage &m = messages[k];
        if (m.type == MsgType::Request || m.id.empty() || m.id == "*NONE")
            continue;
        text += m.id + ": " + m.text + "\n";
    }
    say(result.ok ? out : err, utf8 ? text : latin1(text));
    // systemCL gives -1 when the command ends with an escape message.
    return result.ok ? 0 : 255;
}

} // namespace

bool saveFilePath(const std::string &path, std::string &library, std::string &file)
{
    std::vector<std::string> comps;
    size_t pos = 0;
    while (pos <= path.size()) {
        auto next = path.find('/', pos);
        if (next == std::string::npos)
            next = path.size();
        const std::string part = upper(path.substr(pos, next - pos));
        if (part == "..")
            return false;
        if (!part.empty() && part != ".")
            comps.push_back(part);
        pos = next + 1;
    }
    return !path.empty() && path[0] == '/' && comps.size() == 3 && comps[0] == "QSYS.LIB" &&
           stripSuffix(comps[1], ".LIB", library) && stripSuffix(comps[2], ".FILE", file);
}

void logLine(const SshConfig &config, const std::string &line)
{
    if (config.logFile.empty())
        return;
    const int fd = ::open(config.logFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const std::string text = line + "\n";
    writeAll(fd, text.data(), text.size());
    ::close(fd);
}

std::optional<std::vector<std::string>> shellWords(const std::string &line)
{
    std::vector<std::string> words;
    std::string cur;
    bool inWord = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord)
                words.push_back(cur);
            cur.clear();
            inWord = false;
        } else if (c == '\'') {
            const auto end = line.find('\'', i + 1);
            if (end == std::string::npos)
                return std::nullopt;
            cur += line.substr(i + 1, end - i - 1);
            i = end;
            inWord = true;
        } else if (c == '"') {
            size_t k = i + 1;
            for (; k < line.size() && line[k] != '"'; ++k) {
                if (line[k] == '$' || line[k] == '`')
                    return std::nullopt;
                if (line[k] == '\\' && k + 1 < line.size() &&
                    std::string("\"\\$`").find(line[k + 1]) != std::string::npos)
                    ++k;
                cur += line[k];
            }
            if (k >= line.size())
                return std::nullopt;
            i = k;
            inWord = true;
        } else if (c == '\\') {
            if (i + 1 >= line.size())
                return std::nullopt;
            cur += line[++i];
            inWord = true;
        } else if (c == '>') {
            if (inWord)
                words.push_back(cur);
            cur.clear();
            words.push_back(">");
            inWord = false;
        } else if (std::string(";|&$`<(){}*?[]~#!").find(c) != std::string::npos) {
            return std::nullopt;
        } else {
            cur += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(cur);
    return words;
}

int runSshCommand(const std::string &line, HostStore &store, const SshConfig &config, int in, int out,
                  int err)
{
    logLine(config, line);
    say(out, config.profileText);
    const auto words = shellWords(line);
    if (!words || words->empty()) {
        say(err, "sh: this host runs single commands only: system, cat\n");
        return 2;
    }
    // NAME=value words before the command set its environment; LC_ALL
    // wins over LANG, as in PASE.
    std::vector<std::string> w = *words;
    std::string lcAll, lang;
    while (!w.empty() && w[0].find('=') != std::string::npos && w[0].find('=') > 0) {
        const std::string name = w[0].substr(0, w[0].find('='));
        const std::string value = w[0].substr(w[0].find('=') + 1);
        if (name == "LC_ALL")
            lcAll = value;
        else if (name == "LANG")
            lang = value;
        w.erase(w.begin());
    }
    if (w.empty()) {
        say(err, "sh: this host runs single commands only: system, cat\n");
        return 2;
    }
    const std::string locale = upper(lcAll.empty() ? lang : lcAll);
    const bool utf8 = config.paseCcsid == 1208 || locale.find(".UTF-8") != std::string::npos ||
                      locale.find(".UTF8") != std::string::npos;
    const std::string &verb = w[0];
    // The sftp subsystem: sshd runs the configured sftp-server.
    if (verb.size() >= 11 && verb.compare(verb.size() - 11, 11, "sftp-server") == 0)
        return serveSftp(store, config, in, out);
    // Each command of an SSH session is a job of its own.
    HostJob job(store, config.host, jobNumber(), "QZSHS");
    if (const char *user = std::getenv("USER"))
        job.signedOn(upper(user));
    if (verb == "system" || verb == "/QOpenSys/usr/bin/system")
        return runSystem(job, w, utf8, out, err);
    if (verb == "cat" && w.size() == 2 && w[1] != ">")
        return catOut(job, w[1], config, out, err);
    if (verb == "cat" && w.size() == 3 && w[1] == ">")
        return catIn(job, store, w[2], in, err);
    say(err, "sh: " + verb + ": not offered by this host (system, cat)\n");
    return 127;
}

} // namespace hostsim
