// ZipSFX.bin: the self-extractor stub. The zip component writes this
// program, a settings header ("MPV" or the older "MPU") and an archive into
// one file; run, the program reads the settings and the archive from its own
// file and unpacks it. Terminal only: questions go to the terminal, and
// --dir/--yes answer them for scripts.

#include "ZipFormat.h"

#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

using namespace zipdll;

namespace {

const char kUsage[] =
    "Usage: %s [--dir DIR] [--yes] [--overwrite always|never|confirm] [--list]\n"
    "          [--password-env VAR | --password-file FILE] [--no-run]\n"
    "Unpacks the archive this program carries.\n"
    "  --dir DIR            folder to unpack into (no question)\n"
    "  --yes                answer every question with its default; overwrite when asked\n"
    "  --overwrite MODE     overwrite existing files always, never, or ask (confirm)\n"
    "  --list               list the members and stop\n"
    "  --password-env VAR   take the password from environment variable VAR\n"
    "  --password-file FILE take the password from the first line of FILE\n"
    "  --no-run             do not run the archive's command after unpacking\n"
    "Exit status: 0 done, 1 failed, 2 wrong usage.\n";

struct Settings {
    uint8_t flags = 0;
    std::string caption, defaultDir, commandLine, message;
    bool askCmdLine() const { return flags & 0x01; }
    bool askFiles() const { return flags & 0x02; }
    bool checkSize() const { return !(flags & 0x20); }
    bool autoRun() const { return flags & 0x40; }
    bool noSuccessMsg() const { return flags & 0x80; }
};

enum class Overwrite { Confirm, Always, Never };

struct Options {
    std::string dir;
    bool haveDir = false, yes = false, list = false, noRun = false;
    std::optional<Overwrite> overwrite;
    std::string passwordEnv, passwordFile;
};

[[noreturn]] void fail(const std::string &why)
{
    std::fprintf(stderr, "ZipSFX: %s\n", why.c_str());
    std::exit(1);
}

// The header that ends exactly where the archive begins.
std::optional<Settings> findSettings(const std::string &region)
{
    std::optional<Settings> found;
    for (size_t p = 0; p + 3 <= region.size(); ++p) {
        if (region[p] != 'M' || region[p + 1] != 'P' || (region[p + 2] != 'U' && region[p + 2] != 'V'))
            continue;
        const auto *h = reinterpret_cast<const uint8_t *>(region.data()) + p;
        const size_t left = region.size() - p;
        Settings s;
        if (region[p + 2] == 'V') {
            if (left < 12 || size_t(h[6] | h[7] << 8) != left)
                continue;
            s.flags = h[3];
            size_t at = 8;
            std::string *texts[] = {&s.caption, &s.defaultDir, &s.commandLine, &s.message};
            bool ok = true;
            for (std::string *t : texts) {
                size_t n = at < left ? h[at] : 0;
                ++at;
                if (at + n > left) {
                    ok = false;
                    break;
                }
                t->assign(region.data() + p + at, n);
                at += n;
            }
            if (!ok)
                continue;
        } else {
            if (left < 7 || size_t(7) + h[4] + h[5] + h[6] != left)
                continue;
            s.flags = h[3] & 0x7F;
            size_t at = p + 7;
            s.caption = region.substr(at, h[4]);
            at += h[4];
            s.defaultDir = region.substr(at, h[5]);
            at += h[5];
            s.commandLine = region.substr(at, h[6]);
        }
        found = s;
    }
    return found;
}

bool interactive(const Options &o, const Settings &s) { return !o.yes && !s.autoRun() && isatty(0); }

std::string askLine(const std::string &prompt)
{
    std::fputs(prompt.c_str(), stdout);
    std::fflush(stdout);
    std::string line;
    if (!std::getline(std::cin, line))
        fail("no answer: input ended");
    return line;
}

bool askYes(const std::string &prompt, bool def)
{
    std::string a = askLine(prompt + (def ? " [Y/n] " : " [y/N] "));
    if (a.empty())
        return def;
    return a[0] == 'y' || a[0] == 'Y';
}

std::string askPassword()
{
    std::fputs("Password: ", stdout);
    std::fflush(stdout);
    termios old{};
    const bool tty = tcgetattr(0, &old) == 0;
    if (tty) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(0, TCSANOW, &quiet);
    }
    std::string pw;
    std::getline(std::cin, pw);
    if (tty)
        tcsetattr(0, TCSANOW, &old);
    std::fputs("\n", stdout);
    return pw;
}

// A member name as a path below the target folder, or "" when it would leave it.
std::string safeRelative(std::string name)
{
    for (char &c : name)
        if (c == '\\')
            c = '/';
    if (name.empty() || name[0] == '/' || name.find(':') != std::string::npos)
        return {};
    std::string out;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        std::string part = name.substr(start, end - start);
        if (part == "..")
            return {};
        if (!part.empty() && part != ".")
            out += (out.empty() ? "" : "/") + part;
        start = end + 1;
    }
    return out;
}

bool makeDirs(const std::string &path)
{
    std::string cur;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        cur = path.substr(0, end);
        if (!cur.empty()) {
            // Folders already there may be links the user made; the archive
            // itself never makes links, so following them is safe.
            struct stat st{};
            if (::stat(cur.c_str(), &st) == 0) {
                if (!S_ISDIR(st.st_mode))
                    return false;
            } else if (::mkdir(cur.c_str(), 0777) != 0 && errno != EEXIST) {
                return false;
            }
        }
        start = end + 1;
    }
    return true;
}

// Unpacks one member into `target` through a temporary file beside it, so a
// failure never leaves half a file under the member's name.
void extractMember(int fd, const Directory &dir, const CentralEntry &e, const std::string &target,
                   const std::string &password)
{
    uint64_t at = 0;
    std::string why;
    if (!locateData(fd, dir, e, at, why))
        fail(e.name + ": " + why);
    if (e.method != 0 && e.method != 8)
        fail(e.name + ": compression method " + std::to_string(e.method) + " is not supported");
    if (e.flags & kFlagStrongCrypt)
        fail(e.name + ": strong encryption is not supported");
    uint64_t left = e.csize;
    std::optional<ZipCrypto> crypto;
    if (e.encrypted()) {
        if (left < 12)
            fail(e.name + ": encrypted data too short");
        uint8_t head[12];
        if (!readAll(fd, head, 12, at))
            fail(e.name + ": cannot read the archive");
        crypto.emplace(password);
        crypto->decrypt(head, 12);
        const uint8_t check = (e.flags & kFlagDescriptor) ? static_cast<uint8_t>(e.dosTime >> 8)
                                                          : static_cast<uint8_t>(e.crc >> 24);
        if (head[11] != check)
            fail(e.name + ": wrong password");
        at += 12;
        left -= 12;
    }
    const std::string temp = target + ".sfxpart";
    ::unlink(temp.c_str()); // never write through a link left under that name
    int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (out < 0)
        fail("cannot create " + temp + ": " + std::strerror(errno));
    z_stream zs{};
    if (e.method == 8 && inflateInit2(&zs, -MAX_WBITS) != Z_OK)
        fail("out of memory");
    std::vector<uint8_t> in(kIoBlock), buf(kIoBlock);
    uLong crc = crc32(0, nullptr, 0);
    uint64_t written = 0;
    bool ended = e.method == 0;
    auto emit = [&](const uint8_t *p, size_t n) {
        crc = crc32(crc, p, static_cast<uInt>(n));
        written += n;
        if (!writeAll(out, p, n)) {
            ::unlink(temp.c_str());
            fail("cannot write " + target + ": " + std::strerror(errno));
        }
    };
    while (left) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, in.size()));
        if (!readAll(fd, in.data(), n, at)) {
            ::unlink(temp.c_str());
            fail(e.name + ": cannot read the archive");
        }
        at += n;
        left -= n;
        if (crypto)
            crypto->decrypt(in.data(), n);
        if (e.method == 0) {
            emit(in.data(), n);
            continue;
        }
        zs.next_in = in.data();
        zs.avail_in = static_cast<uInt>(n);
        while (zs.avail_in && !ended) {
            zs.next_out = buf.data();
            zs.avail_out = static_cast<uInt>(buf.size());
            int rc = inflate(&zs, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
                ::unlink(temp.c_str());
                fail(e.name + ": the compressed data is damaged");
            }
            emit(buf.data(), buf.size() - zs.avail_out);
            if (rc == Z_STREAM_END)
                ended = true;
            else if (rc == Z_BUF_ERROR && zs.avail_out)
                break;
        }
    }
    while (!ended && e.method == 8) { // flush what inflate still holds
        zs.next_out = buf.data();
        zs.avail_out = static_cast<uInt>(buf.size());
        int rc = inflate(&zs, Z_FINISH);
        emit(buf.data(), buf.size() - zs.avail_out);
        if (rc == Z_STREAM_END)
            ended = true;
        else if (zs.avail_out)
            break;
    }
    if (e.method == 8)
        inflateEnd(&zs);
    if (::close(out) != 0 || !ended || written != e.usize || static_cast<uint32_t>(crc) != e.crc) {
        ::unlink(temp.c_str());
        fail(e.name + (ended && written == e.usize ? ": CRC error" : ": the data is damaged or incomplete"));
    }
    const int64_t t = fromDosTime(e.dosTime, e.dosDate);
    struct timespec times[2] = {{t, 0}, {t, 0}};
    ::utimensat(AT_FDCWD, temp.c_str(), times, 0);
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        fail("cannot write " + target + ": " + std::strerror(errno));
    }
}

// The end record must be the last thing in the file: a file cut short or
// grown on its way here is refused before anything is written.
bool sizeMatches(int fd, uint64_t fileSize, const Directory &dir)
{
    const uint64_t tail = 22 + dir.comment.size();
    if (fileSize < tail)
        return false;
    uint8_t sig[4];
    return readAll(fd, sig, 4, fileSize - tail) && ByteReader(sig, 4).u32() == kSigEnd;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ZipSFX: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            out = argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::printf(kUsage, argv[0]);
            return 0;
        } else if (a == "--dir" || a == "-d") {
            value(o.dir);
            o.haveDir = true;
        } else if (a == "--yes" || a == "-y") {
            o.yes = true;
        } else if (a == "--list") {
            o.list = true;
        } else if (a == "--no-run") {
            o.noRun = true;
        } else if (a == "--gui") {
            // Accepted for scripts written for a desktop; this build asks on the terminal.
        } else if (a == "--overwrite") {
            std::string v;
            value(v);
            if (v == "always")
                o.overwrite = Overwrite::Always;
            else if (v == "never")
                o.overwrite = Overwrite::Never;
            else if (v == "confirm")
                o.overwrite = Overwrite::Confirm;
            else {
                std::fprintf(stderr, "ZipSFX: --overwrite takes always, never or confirm\n");
                return 2;
            }
        } else if (a == "--password-env") {
            value(o.passwordEnv);
        } else if (a == "--password-file") {
            value(o.passwordFile);
        } else {
            std::fprintf(stderr, "ZipSFX: unknown argument '%s'\n", a.c_str());
            std::fprintf(stderr, kUsage, argv[0]);
            return 2;
        }
    }

    const int fd = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail(std::string("cannot open this program's file: ") + std::strerror(errno));
    Directory dir;
    std::string why;
    if (!readDirectory(fd, dir, why))
        fail("this self-extractor carries no readable archive (" + why + ")");
    uint64_t start = dir.cdStart;
    for (const CentralEntry &e : dir.entries)
        start = std::min(start, e.localOffset);
    const uint64_t from = start > 1032 ? start - 1032 : 0;
    std::string region(static_cast<size_t>(start - from), '\0');
    if (!region.empty() && !readAll(fd, region.data(), region.size(), from))
        fail("cannot read the self-extractor settings");
    std::optional<Settings> found = findSettings(region);
    if (!found)
        fail("this self-extractor carries no settings header in front of its archive");
    const Settings s = *found;
    if (s.checkSize() && !sizeMatches(fd, dir.fileSize, dir))
        fail("the file is damaged: its size does not match the archive it holds");

    if (o.list) {
        for (const CentralEntry &e : dir.entries)
            std::printf("%10llu  %s\n", static_cast<unsigned long long>(e.usize), e.name.c_str());
        return 0;
    }

    const bool ask = interactive(o, s);
    if (!s.caption.empty())
        std::printf("%s\n", s.caption.c_str());
    if (!s.message.empty()) {
        std::printf("%s\n", s.message.c_str());
        if (ask && !askYes("Continue?", true))
            fail("cancelled");
    }

    std::string target = o.haveDir ? o.dir : s.defaultDir;
    if (!o.haveDir && ask) {
        std::string a = askLine("Unpack into [" + (target.empty() ? std::string(".") : target) + "]: ");
        if (!a.empty())
            target = a;
    }
    if (target.empty())
        target = ".";
    if (!makeDirs(target))
        fail("cannot make folder " + target);

    std::vector<const CentralEntry *> chosen;
    for (const CentralEntry &e : dir.entries)
        chosen.push_back(&e);
    if (s.askFiles() && ask) {
        for (size_t i = 0; i < dir.entries.size(); ++i)
            std::printf("%3zu  %s\n", i + 1, dir.entries[i].name.c_str());
        std::string a = askLine("Members to unpack (numbers separated by spaces, empty = all): ");
        if (!a.empty()) {
            chosen.clear();
            size_t pos = 0;
            while (pos < a.size()) {
                char *end = nullptr;
                unsigned long n = std::strtoul(a.c_str() + pos, &end, 10);
                if (end == a.c_str() + pos) {
                    ++pos;
                    continue;
                }
                if (n >= 1 && n <= dir.entries.size())
                    chosen.push_back(&dir.entries[n - 1]);
                pos = static_cast<size_t>(end - a.c_str());
            }
        }
    }

    Overwrite mode = (s.flags & 0x08) ? Overwrite::Always : (s.flags & 0x10) ? Overwrite::Never : Overwrite::Confirm;
    if (o.overwrite)
        mode = *o.overwrite;

    std::optional<std::string> password;
    auto needPassword = [&]() -> const std::string & {
        if (password)
            return *password;
        if (!o.passwordEnv.empty()) {
            const char *v = std::getenv(o.passwordEnv.c_str());
            if (!v)
                fail("environment variable " + o.passwordEnv + " is not set");
            password = v;
        } else if (!o.passwordFile.empty()) {
            std::FILE *f = std::fopen(o.passwordFile.c_str(), "r");
            if (!f)
                fail("cannot read " + o.passwordFile);
            char line[512] = {};
            if (!std::fgets(line, sizeof line, f))
                line[0] = 0;
            std::fclose(f);
            std::string v = line;
            while (!v.empty() && (v.back() == '\n' || v.back() == '\r'))
                v.pop_back();
            password = v;
        } else if (isatty(0) && !o.yes) {
            password = askPassword();
        } else {
            fail("the archive is encrypted: a password is needed (--password-env or --password-file)");
        }
        return *password;
    };

    int done = 0, kept = 0;
    bool all = false;
    for (const CentralEntry *e : chosen) {
        const std::string rel = safeRelative(e->name);
        if (rel.empty()) {
            if (e->isDir())
                continue;
            fail(e->name + ": the name leads outside the target folder");
        }
        const std::string path = target + "/" + rel;
        if (e->isDir()) {
            if (!makeDirs(path))
                fail("cannot make folder " + path);
            continue;
        }
        const size_t slash = path.rfind('/');
        if (!makeDirs(path.substr(0, slash)))
            fail("cannot make folder " + path.substr(0, slash));
        struct stat st{};
        if (::lstat(path.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode))
                fail(path + " is a folder");
            bool over = mode == Overwrite::Always || all;
            if (mode == Overwrite::Confirm && !all) {
                if (ask) {
                    std::string a = askLine("Overwrite " + path + "? [y/N/a(ll)] ");
                    over = !a.empty() && (a[0] == 'y' || a[0] == 'Y' || a[0] == 'a' || a[0] == 'A');
                    all = !a.empty() && (a[0] == 'a' || a[0] == 'A');
                } else {
                    over = o.yes;
                }
            }
            if (!over) {
                std::printf("kept existing %s\n", path.c_str());
                ++kept;
                continue;
            }
        }
        extractMember(fd, dir, *e, path, e->encrypted() ? needPassword() : std::string());
        ++done;
    }

    if (!s.commandLine.empty() && !o.noRun) {
        std::string cmd = s.commandLine;
        for (size_t p = cmd.find("><"); p != std::string::npos; p = cmd.find("><", p + target.size()))
            cmd.replace(p, 2, target);
        if (!s.askCmdLine() || !ask || askYes("Run \"" + cmd + "\"?", true)) {
            std::fflush(stdout);
            pid_t pid = fork();
            if (pid == 0) {
                if (::chdir(target.c_str()) != 0)
                    _exit(127);
                execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
                _exit(127);
            }
            int status = 0;
            if (pid < 0 || waitpid(pid, &status, 0) < 0)
                fail("cannot run \"" + cmd + "\"");
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
                fail("the command \"" + cmd + "\" failed (status " +
                     std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) + ")");
        }
    }
    if (!s.noSuccessMsg())
        std::printf("%d file(s) unpacked into %s%s\n", done, target.c_str(),
                    kept ? (", " + std::to_string(kept) + " existing file(s) kept").c_str() : "");
    return 0;
}
