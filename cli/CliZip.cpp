// quellon-cli zip: the zip component's operations, unattended.

#include "cli/CliCommon.h"
#include "cli/CliEncryption.h"
#include "cli/CliUsage.h"

#include "zip/ZipBuilder.h"
#include "zip/ZipEncryption.h"
#include "zipdll/PrintableName.h"
#include "zipdll/ZipDllRecords.h"

#include <QDir>
#include <QFileInfo>

#include <cctype>
#include <map>
#include <sys/stat.h>
#include <tuple>
#include <cstdio>
#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace cli {
namespace {

const char kZipUsage[] =
    "Usage:\n"
    "  quellon-cli zip list    ARCHIVE\n"
    "  quellon-cli zip add     ARCHIVE FILE... [--level N] [--recurse] [--dirnames]\n"
    "                          [--move] [--update | --freshen] [--exclude PATTERN]...\n"
    "                          [--aes | --zipcrypto]\n"
    "                          [--password-env VAR | --password-file FILE]\n"
    "  quellon-cli zip extract ARCHIVE [MEMBER...] -d DIR [--overwrite] [--dirnames]\n"
    "                          [--test] [--password-env VAR | --password-file FILE]\n"
    "  quellon-cli zip delete  ARCHIVE MEMBER...\n"
    "  quellon-cli zip comment ARCHIVE [TEXT]     (no TEXT: print the comment)\n"
    "  quellon-cli zip sfx     ARCHIVE.zip [--caption T] [--message T]\n"
    "                          [--default-dir D] [--command CMD]\n"
    "                          (writes ARCHIVE.exe, a self-extractor)\n"
    "  quellon-cli zip unsfx   ARCHIVE.exe        (writes ARCHIVE.zip)\n"
    "  quellon-cli zip rename  ARCHIVE OLD=NEW...\n"
    "  quellon-cli zip copy    SOURCE DEST MEMBER... [--overwrite always|never]\n"
    "  quellon-cli zip span    ARCHIVE OUTNAME --volume-size BYTES\n"
    "                          (writes OUTNAME001, OUTNAME002, ... of at most BYTES)\n"
    "  quellon-cli zip join    LAST-VOLUME OUTFILE\n"
    "\n"
    "List, fill and unpack zip archives such as zipped save files (.4ql) with the\n"
    "wizard's zip component. Members and patterns may use * and ?. A password given\n"
    "to add encrypts the files with AES-256 (WinZip AES, which 7-Zip, bsdtar and\n"
    "WinZip open); a FILE of the form NAME<PASSWORD gives that file its own\n"
    "password. Extract asks at the terminal for the password of an encrypted\n"
    "archive when none is given.\n"
    "\n"
    "Options:\n"
    "  --level N            compression level 0 (store) to 9 (default 9)\n"
    "  --recurse            add the contents of folders, recursively\n"
    "  --dirnames           keep folder names (add) / recreate them (extract)\n"
    "  --move               delete the files once they are in the archive\n"
    "  --update             add new files and newer versions only\n"
    "  --freshen            replace newer versions of members already there only\n"
    "  --exclude PATTERN    leave out files matching PATTERN (repeatable)\n"
    "  -d DIR               folder to extract into (made when missing)\n"
    "  --overwrite          overwrite existing files (otherwise they are kept)\n"
    "  --test               check every member's data and CRC; write nothing\n"
    "  --password-env VAR   take the password from environment variable VAR\n"
    "  --password-file FILE take the password from the first line of FILE\n"
    "  --aes                encrypt with AES-256 (the default with a password)\n"
    "  --zipcrypto          encrypt with traditional zip encryption instead: weak,\n"
    "                       only for unzip programs that know nothing else\n"
    "  --progress           show progress on stderr even when it is not a terminal\n"
    "  --trash              sfx, unsfx, rename, copy: move the replaced file to the\n"
    "                       trash (otherwise, and where there is none, it is deleted)\n"
    "\n"
    "Examples:\n"
    "  quellon-cli zip list MYLIB.4ql\n"
    "  quellon-cli zip add backup.zip report.txt data/ --recurse --dirnames --level 6\n"
    "  QPW=secret quellon-cli zip add secret.zip payroll.csv --password-env QPW\n"
    "  quellon-cli zip extract MYLIB.4ql zipInfo.4qi -d /tmp/info --overwrite\n"
    "  quellon-cli zip extract MYLIB.4ql --test -d .\n"
    "  quellon-cli zip delete backup.zip 'old/*'\n"
    "  quellon-cli zip comment MYLIB.4ql \"Saved from host AS400A\"\n"
    "\n"
    "Exit status: 0 success; 1 failed (a quellon-cli: line on stderr says what\n"
    "and where); 2 wrong usage; 130 stopped by SIGINT, 143 stopped by SIGTERM.\n";

struct Args {
    std::string command;
    std::vector<std::string> positional;
    int level = 9;
    bool recurse = false, dirnames = false, move = false, update = false, freshen = false;
    bool overwrite = false, test = false, progress = false;
    std::vector<std::string> excludes;
    std::string dir, passwordEnv, passwordFile;
    bool haveDir = false;
    bool aes = false, zipcrypto = false;
    // sfx, unsfx, rename, copy
    std::string copyMode = "never", caption, message, defaultDir, sfxCommand;
    bool haveCaption = false, trash = false;
};

int usage(const std::string &why)
{
    return usageError("zip", why);
}

std::string absolute(const std::string &p) { return QFileInfo(QString::fromStdString(p)).absoluteFilePath().toStdString(); }

// Everything the component says, sorted into warnings and errors.
struct Reports {
    std::string archive; // as the user named it: the "where" of every error line
    std::vector<std::string> errors;
    int printed = 0; // error lines already on stderr
    int skipped = 0;
    int crcErrors = 0;
    int badPassword = 0; // members skipped for a wrong password: one line says so
    int64_t done = 0;

    void attach(TZipBuilder &z, Progress &progress)
    {
        z.OnMessage = [this](TZipBuilder *zb, int code, const std::string &text) {
            // Library messages carry their error code; component messages
            // carry 0 and leave their id in LastErrorCode.
            int id = code ? 0 : zb->LastErrorCode;
            bool warning = code == 0 && (id == 10203 || id == 10204 || id == 10205 || id == 10502 || id == 0);
            if (code == 0 && id == 0)
                return; // information
            if (code == zdePassword) {
                ++badPassword;
                return;
            }
            std::string line = text;
            for (char &c : line)
                if (c == '\n')
                    c = ' ';
            line = zipdll::printableName(line);
            if (warning) {
                std::fprintf(stderr, "quellon-cli: warning: %s\n", line.c_str());
            } else {
                errors.push_back(line);
                say(line);
            }
        };
        // Nobody to ask: a member whose password is missing or wrong is skipped
        // and reported as such.
        z.OnPasswordError = [](TZipBuilder *, std::string &pw, const std::string &, unsigned &repeat) {
            pw.clear();
            repeat = 0;
        };
        z.OnExtractSkipped = [this](TZipBuilder *, const std::string &name, int type, int error) {
            ++skipped;
            // A skip with an error has had its message; a kept existing
            // file has not.
            if (error == 0 && type == ustNoOverwrite)
                say(zipdll::printableName(name, 300) + ": already exists, kept (--overwrite replaces it)");
        };
        // The library's message names the member and both CRCs.
        z.OnCRC32Error = [this](TZipBuilder *, const std::string &, unsigned, unsigned, bool &keep) {
            ++crcErrors;
            keep = false;
        };
        // The libraries report the bytes done since their last report.
        z.OnProgress = [this, &progress](TZipBuilder *, ProgressType t, const std::string &name, long size) {
            if (t == ptFileStart) {
                done = 0;
                progress.start(name, size);
            } else if (t == ptBytesDone) {
                done += size;
                progress.update(done);
            }
            else if (t == ptBatchEnd)
                progress.finish();
        };
    }

    // The component's texts name the member, seldom the archive.
    void say(const std::string &line)
    {
        const std::string base = archive.substr(archive.find_last_of('/') + 1);
        error(archive.empty() || line.find(base) != std::string::npos ? line : archive + ": " + line);
        ++printed;
    }
};

std::string dosDateTime(uint32_t dt)
{
    unsigned date = dt >> 16, time = dt & 0xFFFF;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u", 1980 + (date >> 9), (date >> 5) & 15, date & 31,
                  time >> 11, (time >> 5) & 63);
    return buf;
}

bool openArchive(TZipBuilder &z, const std::string &archive, Reports &r)
{
    if (!QFileInfo(QString::fromStdString(archive)).isFile()) {
        error("cannot open " + archive + ": no such file");
        return false;
    }
    z.SetZipFileName(archive);
    if (z.ZipFileName().empty()) {
        if (r.errors.empty())
            error(archive + " is not a readable zip archive");
        return false;
    }
    return true;
}

int doList(TZipBuilder &z, const Args &a, Reports &r)
{
    if (a.positional.size() != 1)
        return usage("zip list takes exactly one ARCHIVE");
    if (!openArchive(z, a.positional[0], r))
        return kFailed;
    std::printf("%10s %10s %-7s %-16s %-8s %-14s %s\n", "Length", "Size", "Method", "Date Time", "CRC-32",
                "Encryption", "Name");
    uint64_t total = 0, packed = 0;
    for (const ZipDirEntry &e : z.Entries) {
        // The methods extract reads by name, any other by its number; for
        // WinZip AES the method of the data inside.
        const uint16_t m = ZipRealMethod(e);
        const std::string method = m == 0    ? "Stored"
                                   : m == 8  ? "Deflate"
                                   : m == 12 ? "BZip2"
                                   : m == 14 ? "LZMA"
                                   : m == 93 ? "Zstd"
                                             : "M" + std::to_string(m);
        const std::string crypt = ZipEncryptionName(e);
        std::printf("%10llu %10llu %-7s %-16s %08x %-14s %s\n", static_cast<unsigned long long>(e.UncompressedSize),
                    static_cast<unsigned long long>(e.CompressedSize), method.c_str(), dosDateTime(e.DateTime).c_str(),
                    e.CRC32, crypt.empty() ? "-" : crypt.c_str(), zipdll::printableName(e.FileName).c_str());
        if (!e.FileComment.empty())
            std::printf("%72s%s\n", "", zipdll::printableName(e.FileComment).c_str());
        total += e.UncompressedSize;
        packed += e.CompressedSize;
    }
    std::printf("%10llu %10llu %d member(s)%s\n", static_cast<unsigned long long>(total),
                static_cast<unsigned long long>(packed), z.GetCount(),
                z.ZipComment().empty() ? "" : (", comment: " + zipdll::printableName(z.ZipComment())).c_str());
    return r.errors.empty() ? kOk : kFailed;
}

// --aes / --zipcrypto with the password: AES-256 unless the old cipher is
// asked for by name. false after a usage line.
bool useEncryption(TZipBuilder &z, const Args &a, const std::optional<std::string> &password)
{
    if (a.aes && a.zipcrypto) {
        usage("--aes and --zipcrypto exclude each other");
        return false;
    }
    if ((a.aes || a.zipcrypto) && !password) {
        usage(std::string(a.aes ? "--aes" : "--zipcrypto") +
              " needs a password: --password-env VAR or --password-file FILE");
        return false;
    }
    z.AddEncryption = a.zipcrypto ? zeZipCrypto : zeAES256;
    if (a.zipcrypto)
        std::fprintf(stderr, "quellon-cli: warning: ZipCrypto is weak: known bytes of a file reveal the others; "
                             "use it only for unzip programs that cannot read AES\n");
    if (password) {
        z.Password = *password;
        z.AddOptions.insert(AddEncrypt);
    }
    return true;
}

// '*' and '?' as the zip library matches them.
bool wildcardMatch(const char *p, const char *n)
{
    for (; *p; ++p, ++n) {
        if (*p == '*') {
            for (const char *rest = n;; ++rest) {
                if (wildcardMatch(p + 1, rest))
                    return true;
                if (!*rest)
                    return false;
            }
        }
        if (!*n || (*p != '?' && *p != *n))
            return false;
    }
    return !*n;
}

// The files an add takes, by the name each gets in the archive without
// --dirnames (the file's own name), to find two that would get one name:
// the library keeps the first and leaves the other out without a word.
class MemberNames {
public:
    explicit MemberNames(const Args &a) : a_(a) {}
    // The first clash: "X and Y would both be stored as N"; empty if none.
    std::string clash()
    {
        for (std::size_t i = 1; i < a_.positional.size() && clash_.empty(); ++i) {
            // As the library takes them: relative to here, NAME<PASSWORD
            // without its password.
            std::string full = a_.positional[i].substr(0, a_.positional[i].find('<'));
            while (full.size() > 1 && full.back() == '/')
                full.pop_back();
            const auto slash = full.find_last_of('/');
            const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : full.substr(0, slash);
            const std::string base = slash == std::string::npos ? full : full.substr(slash + 1);
            struct stat st {};
            if (base.find_first_of("*?") == std::string::npos && ::stat(full.c_str(), &st) == 0) {
                if (S_ISDIR(st.st_mode))
                    walk(full, "*", a_.recurse);
                else if (S_ISREG(st.st_mode))
                    add(full, base, st);
            } else if (base.find_first_of("*?") != std::string::npos &&
                       dir.find_first_of("*?") == std::string::npos) {
                walk(dir, base, a_.recurse);
            }
        }
        return clash_;
    }

private:
    void walk(const std::string &dir, const std::string &pattern, bool recurse)
    {
        QDir d(QString::fromStdString(dir));
        for (const QString &q : d.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDir::Name)) {
            const std::string n = q.toStdString();
            const std::string path = dir == "." ? n : dir == "/" ? dir + n : dir + "/" + n;
            struct stat st {};
            if (clash_.size() || ::lstat(path.c_str(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode)) {
                if (recurse)
                    walk(path, pattern, true); // symlinked folders are not followed
                continue;
            }
            if (S_ISLNK(st.st_mode) && (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)))
                continue;
            if (S_ISREG(st.st_mode) && wildcardMatch(pattern.c_str(), n.c_str()))
                add(path, n, st);
        }
    }
    void add(const std::string &path, const std::string &name, const struct stat &st)
    {
        for (const auto &x : a_.excludes)
            if (wildcardMatch(x.c_str(), name.c_str()) || wildcardMatch(x.c_str(), path.c_str()))
                return;
        auto [at, fresh] = seen_.try_emplace(name, path, st.st_dev, st.st_ino);
        const auto &[first, dev, ino] = at->second;
        if (!fresh && clash_.empty() && !(dev == st.st_dev && ino == st.st_ino))
            clash_ = first + " and " + path + " would both be stored as " + name;
    }
    const Args &a_;
    std::map<std::string, std::tuple<std::string, dev_t, ino_t>> seen_;
    std::string clash_;
};

int doAdd(TZipBuilder &z, const Args &a, Reports &r, const std::optional<std::string> &password)
{
    if (a.positional.size() < 2)
        return usage("zip add needs an ARCHIVE and at least one FILE");
    if (a.level < 0 || a.level > 9)
        return usage("--level must be 0 to 9");
    const std::string archive = absolute(a.positional[0]);
    if (!a.dirnames) {
        if (const std::string clash = MemberNames(a).clash(); !clash.empty()) {
            error(clash + "; nothing added to " + archive + " (--dirnames keeps their folders)");
            return kFailed;
        }
    }
    z.SetZipFileName(archive); // a missing archive is made
    if (z.ZipFileName().empty())
        return kFailed; // exists but is not an archive: never overwrite it
    z.AddCompLevel = a.level;
    if (a.recurse)
        z.AddOptions.insert(AddRecurseDirs);
    if (a.dirnames)
        z.AddOptions.insert(AddDirNames);
    if (a.move)
        z.AddOptions.insert(AddMove);
    if (a.update)
        z.AddOptions.insert(AddUpdate);
    if (a.freshen)
        z.AddOptions.insert(AddFreshen);
    if (!useEncryption(z, a, password))
        return kUsage;
    z.FSpecArgs.assign(a.positional.begin() + 1, a.positional.end());
    z.FSpecArgsExcl = a.excludes;
    z.Add();
    if (!r.errors.empty())
        return kFailed;
    if (z.ProcessedCount == 0 && !a.update && !a.freshen) {
        error("nothing was added to " + archive + ": no file matched");
        return kFailed;
    }
    if (z.ProcessedCount == 0) {
        std::printf("0 file(s) added to %s: it is up to date\n", archive.c_str());
        return kOk;
    }
    std::printf("%d file(s) added to %s\n", z.ProcessedCount, archive.c_str());
    return kOk;
}

// Says how the archive is encrypted and, when no password came with the
// options, asks for it at the terminal. false after an error line.
bool askArchivePassword(TZipBuilder &z, const Args &a)
{
    const std::string summary = encryptionSummary(z.Entries);
    if (summary.empty())
        return true;
    std::printf("%s\n", summary.c_str());
    std::fflush(stdout);
    if (!z.Password.empty())
        return true;
    auto pw = archivePassword("", "", a.positional[0], "--password-env VAR or --password-file FILE");
    if (!pw)
        return false;
    z.Password = *pw;
    wipeSecret(*pw);
    return true;
}

int doExtract(TZipBuilder &z, const Args &a, Reports &r)
{
    if (a.positional.empty())
        return usage("zip extract needs an ARCHIVE");
    if (!a.haveDir)
        return usage("zip extract needs -d DIR");
    const std::string archive = absolute(a.positional[0]);
    const std::string dir = absolute(a.dir);
    if (!a.test && !QDir().mkpath(QString::fromStdString(dir))) {
        error("cannot make folder " + dir);
        return kFailed;
    }
    if (!openArchive(z, archive, r))
        return kFailed;
    if (!askArchivePassword(z, a))
        return kFailed;
    z.ExtrBaseDir = dir;
    if (a.overwrite)
        z.ExtrOptions.insert(ExtrOverWrite);
    if (a.dirnames)
        z.ExtrOptions.insert(ExtrDirNames);
    if (a.test)
        z.ExtrOptions.insert(ExtrTest);
    z.FSpecArgs.assign(a.positional.begin() + 1, a.positional.end());
    z.Extract();
    if (r.badPassword)
        r.say("wrong password: " + std::to_string(r.badPassword) + " encrypted member(s) not " +
              (a.test ? "tested" : "extracted"));
    if (!r.errors.empty() || r.skipped || r.crcErrors) {
        // A failure no member is counted for (the archive itself) is not
        // "0 failed".
        const int failed = r.skipped + r.crcErrors;
        const std::string summary = std::to_string(z.ProcessedCount) + " file(s) " +
                                    (a.test ? "tested OK" : "extracted") + ", " +
                                    (failed ? std::to_string(failed) + " failed or skipped" : "stopped by an error");
        // Each failure has had its line on stderr; the count is for the log.
        if (r.printed)
            std::printf("%s\n", summary.c_str());
        else
            error(summary);
        return kFailed;
    }
    // A test of an archive of folders only has no file to count, and
    // nothing failed.
    const bool foldersOnly =
        a.test && z.Entries.empty() && z.SkippedDirEntryCount() > 0 && a.positional.size() == 1;
    if (z.ProcessedCount == 0 && !foldersOnly) {
        error("no member of " + archive + " matched");
        return kFailed;
    }
    if (foldersOnly)
        std::printf("0 file(s) tested OK, %d folder(s)\n", z.SkippedDirEntryCount());
    else if (a.test)
        std::printf("%d file(s) tested OK\n", z.ProcessedCount);
    else
        std::printf("%d file(s) extracted to %s\n", z.ProcessedCount, dir.c_str());
    return kOk;
}

int doDelete(TZipBuilder &z, const Args &a, Reports &r)
{
    if (a.positional.size() < 2)
        return usage("zip delete needs an ARCHIVE and at least one MEMBER");
    const std::string archive = absolute(a.positional[0]);
    if (!openArchive(z, archive, r))
        return kFailed;
    z.FSpecArgs.assign(a.positional.begin() + 1, a.positional.end());
    z.Delete();
    if (!r.errors.empty())
        return kFailed;
    if (z.ProcessedCount == 0) {
        error("no member of " + archive + " matched");
        return kFailed;
    }
    std::printf("%d member(s) deleted from %s\n", z.ProcessedCount, archive.c_str());
    return kOk;
}

int doComment(TZipBuilder &z, const Args &a, Reports &r)
{
    if (a.positional.empty() || a.positional.size() > 2)
        return usage("zip comment takes an ARCHIVE and at most one TEXT");
    const std::string archive = absolute(a.positional[0]);
    if (!openArchive(z, archive, r))
        return kFailed;
    if (a.positional.size() == 1) {
        std::string c = z.ZipComment();
        if (!c.empty())
            std::printf("%s%s", c.c_str(), c.back() == '\n' ? "" : "\n");
        return r.errors.empty() ? kOk : kFailed;
    }
    if (a.positional[1].size() > 65535) {
        error("a comment holds at most 65535 bytes");
        return kFailed;
    }
    z.SetZipComment(a.positional[1]);
    return r.errors.empty() ? kOk : kFailed;
}


// ------------------------------------------------------------ span and join

const char kSpanUsage[] =
    "Usage:\n"
    "  quellon-cli zip span ARCHIVE OUTNAME --volume-size BYTES\n"
    "  quellon-cli zip join LAST-VOLUME OUTFILE\n"
    "\n"
    "span cuts ARCHIVE into volumes of at most BYTES bytes (at least 65536; k, m\n"
    "suffixes allowed): OUTNAME001.zip, OUTNAME002.zip, ... beside OUTNAME on a fixed\n"
    "or network drive. join puts such a set back into one archive OUTFILE; name the\n"
    "last volume. Existing files are never overwritten.\n"
    "\n"
    "Examples:\n"
    "  quellon-cli zip span MYLIB.4ql /backup/MYLIB.4ql --volume-size 100m\n"
    "  quellon-cli zip join /backup/MYLIB003.4ql MYLIB.4ql\n";

int spanUsage(const std::string &why)
{
    error(why);
    std::fputs(kSpanUsage, stderr);
    return Exit::kUsage;
}

// "1000000", "64k", "100m" -> bytes; -1 when not a size.
long long parseSize(const std::string &v)
{
    if (v.empty() || v.find_first_not_of("0123456789kKmM") != std::string::npos || !std::isdigit(uint8_t(v[0])))
        return -1;
    size_t used = 0;
    long long n = std::stoll(v, &used);
    const std::string suffix = v.substr(used);
    if (suffix == "k" || suffix == "K")
        n *= 1024;
    else if (suffix == "m" || suffix == "M")
        n *= 1024 * 1024;
    else if (!suffix.empty())
        return -1;
    return n;
}

// Messages of the volume code: errors on stderr, progress lines dropped.
void attachSpanReports(TZipBuilder &z, std::vector<std::string> &errors)
{
    z.OnMessage = [&errors](TZipBuilder *zb, int, const std::string &text) {
        if (zb->LastErrorCode == 0 || text.rfind("Copying: ", 0) == 0)
            return;
        std::string line = text;
        for (char &c : line)
            if (c == '\n')
                c = ' ';
        errors.push_back(line);
        error(line);
    };
}

int doSpan(const std::vector<std::string> &args)
{
    std::vector<std::string> pos;
    long long size = -1;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--volume-size") {
            if (i + 1 >= args.size() || (size = parseSize(args[++i])) < 0)
                return spanUsage("--volume-size needs a number of bytes");
        } else if (args[i] == "--progress") {
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return spanUsage("unknown option '" + args[i] + "'");
        } else {
            pos.push_back(args[i]);
        }
    }
    if (pos.size() != 2)
        return spanUsage("zip span takes an ARCHIVE and an OUTNAME");
    if (size < 0)
        return spanUsage("zip span needs --volume-size BYTES");
    if (size < 65536 || size > 0x7FFFFFFF)
        return spanUsage("--volume-size must be 65536 to 2147483647 bytes");
    const std::string archive = absolute(pos[0]), out = absolute(pos[1]);
    if (!QFileInfo(QString::fromStdString(archive)).isFile()) {
        error("cannot open " + archive + ": no such file");
        return kFailed;
    }
    const long long archiveSize = QFileInfo(QString::fromStdString(archive)).size();
    for (long long n = 1; n <= archiveSize / size + 2 && n < 1000; ++n) {
        const std::string v = TZipBuilder::NumberedVolumeName(out, static_cast<int>(n));
        if (QFileInfo::exists(QString::fromStdString(v))) {
            error(v + " already exists; remove the old volumes first");
            return kFailed;
        }
    }
    TZipBuilder z;
    z.Unattended = true;
    std::vector<std::string> errors;
    attachSpanReports(z, errors);
    z.SetMaxVolumeSize(static_cast<long>(size));
    if (z.WriteSpan(archive, out) != 0) {
        if (errors.empty())
            error("splitting " + archive + " failed");
        return kFailed;
    }
    const int count = z.CurrentVolume() + 1;
    std::printf("%d volume(s) written: %s to %s\n", count, TZipBuilder::NumberedVolumeName(out, 1).c_str(),
                TZipBuilder::NumberedVolumeName(out, count).c_str());
    return kOk;
}

int doJoin(const std::vector<std::string> &args)
{
    std::vector<std::string> pos;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--progress")
            continue;
        if (args[i].size() > 1 && args[i][0] == '-')
            return spanUsage("unknown option '" + args[i] + "'");
        pos.push_back(args[i]);
    }
    if (pos.size() != 2)
        return spanUsage("zip join takes the LAST-VOLUME and an OUTFILE");
    const std::string last = absolute(pos[0]), out = absolute(pos[1]);
    if (!QFileInfo(QString::fromStdString(last)).isFile()) {
        error("cannot open " + last + ": no such file");
        return kFailed;
    }
    if (QFileInfo::exists(QString::fromStdString(out))) {
        error(out + " already exists");
        return kFailed;
    }
    TZipBuilder z;
    z.Unattended = true;
    std::vector<std::string> errors;
    attachSpanReports(z, errors);
    // Joined beside the target under a temporary name, then renamed: OUTFILE
    // appears only complete.
    z.TempDir = QFileInfo(QString::fromStdString(out)).absolutePath().toStdString();
    std::string joined = z.TempDir;
    if (z.ReadSpan(last, joined) != 0 || joined.empty()) {
        if (errors.empty())
            error("joining " + last + " failed");
        return kFailed;
    }
    if (std::rename(joined.c_str(), out.c_str()) != 0) {
        std::remove(joined.c_str());
        error("cannot write " + out);
        return kFailed;
    }
    std::printf("%s joined into %s\n", last.c_str(), out.c_str());
    return kOk;
}

// --- self-extractors, renaming and copying members

int doSfx(TZipBuilder &z, const Args &a, Reports &r)
{
    if (a.positional.size() != 1)
        return usage("zip sfx takes exactly one ARCHIVE.zip");
    const std::string archive = absolute(a.positional[0]);
    if (!openArchive(z, archive, r))
        return kFailed;
    if (a.haveCaption)
        z.SFXCaption = a.caption;
    z.SFXMessage = a.message;
    z.SFXDefaultDir = a.defaultDir;
    z.SFXCommandLine = a.sfxCommand;
    const int rc = z.ConvertSFX();
    if (rc != 0) {
        if (r.errors.empty())
            error("cannot make a self-extractor of " + archive + " (code " + std::to_string(rc) + ")");
        return kFailed;
    }
    std::printf("self-extractor written to %s\n", z.ZipFileName().c_str());
    return kOk;
}

int doUnsfx(TZipBuilder &z, const Args &a, Reports &r)
{
    if (a.positional.size() != 1)
        return usage("zip unsfx takes exactly one ARCHIVE.exe");
    const std::string archive = absolute(a.positional[0]);
    if (!openArchive(z, archive, r))
        return kFailed;
    const int rc = z.ConvertZIP();
    if (rc != 0) {
        if (r.errors.empty())
            error("cannot turn " + archive + " back into an archive (code " + std::to_string(rc) + ")");
        return kFailed;
    }
    std::printf("archive written to %s\n", z.ZipFileName().c_str());
    return kOk;
}

int doRename(TZipBuilder &z, const Args &a, Reports &r)
{
    if (a.positional.size() < 2)
        return usage("zip rename needs an ARCHIVE and at least one OLD=NEW");
    std::vector<TZipBuilder::RenameRequest> requests;
    for (size_t i = 1; i < a.positional.size(); ++i) {
        const std::string &p = a.positional[i];
        const size_t eq = p.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == p.size())
            return usage("'" + p + "' is not of the form OLD=NEW");
        requests.push_back({p.substr(0, eq), p.substr(eq + 1), 0});
    }
    const std::string archive = absolute(a.positional[0]);
    if (!openArchive(z, archive, r))
        return kFailed;
    const int rc = z.Rename(requests, 0);
    if (rc == -10) {
        error("a file cannot be renamed to a bare folder name");
        return kFailed;
    }
    if (rc != 0) {
        if (r.errors.empty())
            error("renaming in " + archive + " failed (code " + std::to_string(rc) + ")");
        return kFailed;
    }
    std::printf("members renamed in %s\n", archive.c_str());
    return kOk;
}

int doCopy(TZipBuilder &z, const Args &a, Reports &r)
{
    if (a.positional.size() < 3)
        return usage("zip copy needs SOURCE, DEST and at least one MEMBER");
    if (a.copyMode != "always" && a.copyMode != "never")
        return usage("--overwrite takes always or never for zip copy");
    const std::string source = absolute(a.positional[0]);
    const std::string destName = absolute(a.positional[1]);
    if (!openArchive(z, source, r))
        return kFailed;
    bool made = false;
    if (!QFileInfo::exists(QString::fromStdString(destName))) {
        // A new destination starts as an empty archive.
        std::FILE *f = std::fopen(destName.c_str(), "wbx");
        const unsigned char empty[22] = {0x50, 0x4B, 0x05, 0x06};
        if (!f || std::fwrite(empty, 1, sizeof empty, f) != sizeof empty || std::fclose(f) != 0) {
            error("cannot create " + destName);
            return kFailed;
        }
        made = true;
    }
    TZipBuilder dest;
    dest.Unattended = true;
    dest.HowToDelete = z.HowToDelete;
    dest.OnMessage = z.OnMessage;
    dest.SetZipFileName(destName);
    if (dest.ZipFileName().empty()) {
        if (r.errors.empty())
            error(destName + " is not a readable zip archive");
        return kFailed;
    }
    z.FSpecArgs.assign(a.positional.begin() + 2, a.positional.end());
    const int rc = z.CopyZippedFiles(&dest, false, a.copyMode == "always" ? OvrAlways : OvrNever);
    if (rc != 0) {
        if (made)
            std::remove(destName.c_str());
        if (r.errors.empty())
            error("copying from " + source + " to " + destName + " failed (code " + std::to_string(rc) + ")");
        return kFailed;
    }
    for (const std::string &kept : z.FSpecArgs)
        std::fprintf(stderr, "quellon-cli: warning: %s already in %s, kept\n", kept.c_str(), destName.c_str());
    std::printf("%zu member(s) copied to %s\n", a.positional.size() - 2 - z.FSpecArgs.size(), destName.c_str());
    return kOk;
}

} // namespace

int runZip(int argc, char **argv)
{
    Args a;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        // What there is to choose from: the usage lines, without the rest.
        const std::string all = kZipUsage;
        error("zip needs a command:");
        std::fputs(all.substr(0, all.find("\n\n") + 1).c_str(), stderr);
        std::fputs("Try 'quellon-cli zip --help'.\n", stderr);
        return Exit::kUsage;
    }
    for (const auto &s : args)
        if (s == "--help" || s == "-h") {
            std::fputs(kZipUsage, stdout);
            return kOk;
        }
    a.command = args[0];
    if (a.command == "span")
        return doSpan(args);
    if (a.command == "join")
        return doJoin(args);
    static const std::set<std::string> known = {"list", "add", "extract", "delete", "comment",
                                                "sfx", "unsfx", "rename", "copy"};
    if (!known.count(a.command))
        return usage("unknown zip command '" + a.command + "'");
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string &s = args[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= args.size())
                return false;
            out = args[++i];
            return true;
        };
        std::string v;
        if (s == "--level") {
            if (!value(v) || v.size() != 1 || v[0] < '0' || v[0] > '9')
                return usage("--level needs a number 0 to 9");
            a.level = v[0] - '0';
        } else if (s == "--recurse") {
            a.recurse = true;
        } else if (s == "--dirnames") {
            a.dirnames = true;
        } else if (s == "--move") {
            a.move = true;
        } else if (s == "--update") {
            a.update = true;
        } else if (s == "--freshen") {
            a.freshen = true;
        } else if (s == "--overwrite" && a.command == "copy") {
            if (!value(a.copyMode))
                return usage("--overwrite needs always or never");
        } else if (s == "--caption" || s == "--message" || s == "--default-dir" || s == "--command") {
            std::string &out = s == "--caption" ? a.caption : s == "--message" ? a.message
                              : s == "--default-dir" ? a.defaultDir : a.sfxCommand;
            if (!value(out))
                return usage(s + " needs a value");
            a.haveCaption = a.haveCaption || s == "--caption";
        } else if (s == "--trash" || s == "--no-trash") {
            a.trash = s == "--trash"; // --no-trash: the default, kept for old scripts
        } else if (s == "--overwrite") {
            a.overwrite = true;
        } else if (s == "--test") {
            a.test = true;
        } else if (s == "--progress") {
            a.progress = true;
        } else if (s == "--exclude") {
            if (!value(v))
                return usage("--exclude needs a PATTERN");
            a.excludes.push_back(v);
        } else if (s == "-d") {
            if (!value(a.dir))
                return usage("-d needs a folder");
            a.haveDir = true;
        } else if (s == "--password-env") {
            if (!value(a.passwordEnv))
                return usage("--password-env needs a variable name");
        } else if (s == "--password-file") {
            if (!value(a.passwordFile))
                return usage("--password-file needs a file");
        } else if (s == "--aes" || s == "--zipcrypto") {
            (s == "--aes" ? a.aes : a.zipcrypto) = true;
        } else if (s == "--") {
            a.positional.insert(a.positional.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        } else if (s.size() > 1 && s[0] == '-') {
            return usage("unknown option '" + s + "'");
        } else {
            a.positional.push_back(s);
        }
    }
    if (a.update && a.freshen)
        return usage("--update and --freshen exclude each other");

    std::optional<std::string> password;
    if (!a.passwordEnv.empty() || !a.passwordFile.empty()) {
        password = readPassword(a.passwordEnv, a.passwordFile);
        if (!password)
            return kFailed;
        if (password->empty()) {
            error("the password is empty");
            return kFailed;
        }
    }

    TZipBuilder z;
    z.Unattended = true;
    Progress progress(a.progress);
    Reports r;
    if (!a.positional.empty())
        r.archive = a.positional[0];
    r.attach(z, progress);
    if (password)
        z.Password = *password;

    if (a.command == "list")
        return doList(z, a, r);
    if (a.command == "add")
        return doAdd(z, a, r, password);
    if (a.command == "extract")
        return doExtract(z, a, r);
    if (a.command == "delete")
        return doDelete(z, a, r);
    // A script does not expect its old files in a trash.
    z.HowToDelete = a.trash ? htdAllowUndo : htdFinal;
    if (a.command == "sfx")
        return doSfx(z, a, r);
    if (a.command == "unsfx")
        return doUnsfx(z, a, r);
    if (a.command == "rename")
        return doRename(z, a, r);
    if (a.command == "copy")
        return doCopy(z, a, r);
    return doComment(z, a, r);
}

} // namespace cli
