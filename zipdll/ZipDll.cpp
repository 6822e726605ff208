// libzipdll.so: adds files to and deletes members from a zip archive for
// TZipBuilder.
//
// The archive is always rewritten into a new temporary file that replaces
// the old one only once it is complete and flushed to disk: a failure, a
// full disk or a cancel leaves the old archive as it was.

#include "ParallelDeflate.h"
#include "ZipAes.h"
#include "ZipFormat.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace zipdll {
namespace {

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd &operator=(Fd &&o) noexcept
    {
        std::swap(fd, o.fd);
        return *this;
    }
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    explicit operator bool() const { return fd >= 0; }
};

// Buffered output that knows its position and can patch what it wrote.
class OutFile {
public:
    explicit OutFile(int fd) : fd_(fd) { buf_.reserve(kIoBlock); }
    bool write(const void *data, size_t n)
    {
        if (failed_)
            return false;
        pos_ += n;
        if (buf_.size() + n > kIoBlock) {
            if (!flush())
                return false;
            if (n >= kIoBlock)
                return failed_ = !writeAll(fd_, data, n), !failed_;
        }
        auto *p = static_cast<const uint8_t *>(data);
        buf_.insert(buf_.end(), p, p + n);
        return true;
    }
    bool write(const std::string &s) { return write(s.data(), s.size()); }
    bool flush()
    {
        if (!failed_ && !buf_.empty())
            failed_ = !writeAll(fd_, buf_.data(), buf_.size());
        buf_.clear();
        return !failed_;
    }
    bool patch(uint64_t offset, const std::string &s)
    {
        if (!flush())
            return false;
        failed_ = ::pwrite(fd_, s.data(), s.size(), static_cast<off_t>(offset)) != static_cast<ssize_t>(s.size());
        return !failed_;
    }
    bool truncate(uint64_t offset)
    {
        if (!flush())
            return false;
        failed_ = ::ftruncate(fd_, static_cast<off_t>(offset)) != 0 ||
                  ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0;
        pos_ = offset;
        return !failed_;
    }
    // Writes on from an earlier offset, keeping what lies beyond it.
    bool rewind(uint64_t offset)
    {
        if (!flush())
            return false;
        failed_ = ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0;
        pos_ = offset;
        return !failed_;
    }
    uint64_t pos() const { return pos_; }

private:
    int fd_;
    std::vector<uint8_t> buf_;
    uint64_t pos_ = 0;
    bool failed_ = false;
};

// One central directory record of the archive being written.
struct OutEntry {
    std::string name;
    uint16_t madeBy = (3 << 8) | 30, needed = 20, flags = 0, method = 0, dosTime = 0, dosDate = 0;
    uint32_t crc = 0;
    uint64_t csize = 0, usize = 0;
    uint32_t extAttr = 0;
    uint64_t localOffset = 0;
    std::string comment;
    bool zip64Local = false; // the local header carries the Zip64 sizes
    bool aes = false;        // WinZip AES: method 99, the real one in aesMethod
    uint16_t aesMethod = 0;
    // A member copied from the old archive keeps its central header and
    // extra fields as they were; only its offset changes.
    std::string keptHeader, keptExtra;
};

struct Source {
    std::string path;   // file system path
    std::string stored; // member name
    bool isDir = false;
    bool stream = false; // data from ZipDllParams::Stream, not from path
    struct stat st{};
    const ZipSpecEntry *spec = nullptr;
};

// The member read through the caller's callback: its bytes are counted
// against the size it announced, and the moment it ends is its time.
struct StreamIn {
    const ZipStreamSource *src = nullptr;
    uint64_t got = 0;
    time_t endTime = 0;
    std::string fault; // why the data is not usable

    long read(uint8_t *buf, size_t n)
    {
        const uint64_t size = static_cast<uint64_t>(src->Size);
        const int32_t want = static_cast<int32_t>(std::min<size_t>(n, 1 << 30));
        const int32_t r = src->Read(src->Context, buf, want);
        auto of = [&] { return std::to_string(got) + " of " + std::to_string(size) + " bytes"; };
        if (r < 0)
            fault = "its data failed after " + of();
        else if (r > want)
            fault = "its reader gave more bytes than asked for";
        else if (r == 0 && got != size)
            fault = "its data ended after " + of();
        else if (static_cast<uint64_t>(r) > size - got)
            fault = "its data ran past the " + std::to_string(size) + " bytes announced";
        if (!fault.empty())
            return -1;
        if (r == 0)
            endTime = std::time(nullptr);
        got += static_cast<uint64_t>(r);
        return r;
    }
};

// What the rewritten archive holds, in order: an old member copied as is
// (source < 0) or the file sources[source].
struct Slot {
    int old = -1;
    int source = -1;
};

// The plain bytes of a streamed member that did not shrink, inflated again
// from its deflated copy in the temporary archive for the store pass, which
// writes them over that copy from the same start. Every byte handed out is
// about to overwrite deflated bytes, so those are read into memory first;
// the deflate pass measured how far plain bytes run ahead of their deflated
// form, which bounds that memory. No second copy goes to disk.
class InflateInPlace
{
public:
    InflateInPlace(int fd, uint64_t start, uint64_t length, AesCipher *aes, uint64_t usize, uint32_t crc,
                   uint64_t maxAhead)
        : fd_(fd), start_(start), next_(start), end_(start + length), aes_(aes), usize_(usize),
          crcWanted_(crc), maxAhead_(maxAhead)
    {
        ok_ = inflateInit2(&zs_, -15) == Z_OK;
        crc_ = crc32(0, nullptr, 0);
    }
    ~InflateInPlace()
    {
        if (ok_)
            inflateEnd(&zs_);
    }
    InflateInPlace(const InflateInPlace &) = delete;
    InflateInPlace &operator=(const InflateInPlace &) = delete;
    bool ok() const { return ok_; }

    // Up to n plain bytes; 0 at the end when they were all there with their
    // CRC; -1 when they were not.
    long read(uint8_t *b, size_t n)
    {
        size_t got = 0;
        while (got == 0 && !ended_) {
            if (compPos_ == comp_.size() && !fill())
                return -1;
            zs_.next_in = comp_.data() + compPos_;
            zs_.avail_in = static_cast<uInt>(comp_.size() - compPos_);
            zs_.next_out = b;
            zs_.avail_out = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
            const int rc = inflate(&zs_, Z_NO_FLUSH);
            compPos_ = comp_.size() - zs_.avail_in;
            got = static_cast<size_t>(zs_.next_out - b);
            if (rc == Z_STREAM_END)
                ended_ = true;
            else if (rc != Z_OK && rc != Z_BUF_ERROR)
                return -1;
            else if (got == 0 && compPos_ == comp_.size() && next_ == end_)
                return -1; // the deflated data ends before its stream does
        }
        // The caller writes these bytes over [start + given, + got): what
        // lies there must be in memory by then.
        while (next_ - start_ < given_ + got && next_ < end_)
            if (!fill())
                return -1;
        if (comp_.size() - compPos_ > maxAhead_ + kIoBlock)
            return -1;
        given_ += got;
        crc_ = crc32(crc_, b, static_cast<uInt>(got));
        if (got == 0)
            return given_ == usize_ && static_cast<uint32_t>(crc_) == crcWanted_ ? 0 : -1;
        return static_cast<long>(got);
    }

private:
    bool fill()
    {
        if (next_ == end_)
            return false;
        comp_.erase(comp_.begin(), comp_.begin() + static_cast<std::ptrdiff_t>(compPos_));
        compPos_ = 0;
        const size_t k = static_cast<size_t>(std::min<uint64_t>(end_ - next_, kIoBlock));
        const size_t at = comp_.size();
        comp_.resize(at + k);
        if (!readAll(fd_, comp_.data() + at, k, next_))
            return false;
        if (aes_)
            aes_->decrypt(comp_.data() + at, k);
        next_ += k;
        return true;
    }

    int fd_;
    uint64_t start_, next_, end_;
    AesCipher *aes_;
    uint64_t usize_, given_ = 0;
    uint32_t crcWanted_;
    uint64_t maxAhead_;
    uLong crc_ = 0;
    z_stream zs_{};
    bool ok_ = false, ended_ = false;
    std::vector<uint8_t> comp_;
    size_t compPos_ = 0;
};

// Plain bytes may run this far ahead of their deflated copy and still be
// inflated in place; beyond it the plain copy goes past the archive's end.
// Data that ran 64 MiB ahead and still ends larger deflated would take some
// 700 GiB that do not compress after it: in practice the copy never goes.
constexpr uint64_t kMaxInPlaceAhead = 64u << 20;

enum class Fail { None, Abort, TooLarge, Write, Read, Password };

class Archiver {
public:
    explicit Archiver(ZipDllParams *p) : p_(p), rep_(p->Callback, p->OwnerWindow, p->Caller, true, ZIPDLL_VERSION) {}
    ~Archiver()
    {
        dropTemp();
        wipe(askedPassword_);
    }
    int32_t run();

private:
    int32_t runAdd();
    int32_t runDelete();
    bool openOld();
    void collect(const ZipSpecEntry &spec);
    void walk(const std::string &dir, const std::string &rel, const std::string &pattern, bool recurse,
              const ZipSpecEntry &spec);
    void addSource(const std::string &path, const struct stat &st, const ZipSpecEntry &spec,
                   bool stream = false);
    bool streamSpec(const ZipSpecEntry &spec, const std::string &full) const;
    std::string storedName(const std::string &path, const ZipSpecEntry &spec) const;
    bool excluded(const std::string &path, const std::string &stored) const;
    bool storeSuffix(const std::string &name) const;
    std::string passwordFor(const Source &s);
    void askComment(const Source &s, OutEntry &o);

    // Writing the new archive.
    bool beginTemp();
    Fail copyPreamble();
    Fail copyOld(const CentralEntry &e, OutEntry &out);
    Fail addFile(const Source &s, OutEntry &out, bool &skipped);
    Fail writeLocal(const OutEntry &e);
    Fail inflateBack(uint64_t dataStart, uint64_t length, AesCipher *aes, const OutEntry &o, uint64_t &at);
    bool finish(const std::vector<OutEntry> &entries, const std::string &comment, std::string &why);
    void dropTemp();
    int32_t failWith(Fail f);

    ZipDllParams *p_;
    Reporter rep_;
    std::string archiveName_;
    Fd oldFd_;
    bool haveOld_ = false;
    struct stat oldSt_{};
    Directory old_;
    std::vector<Source> sources_;
    std::map<std::string, size_t> sourceIndex_;
    std::string askedPassword_;
    bool askedOnce_ = false;
    bool streamTaken_ = false;
    std::string adding_;    // member being added, for failure messages
    std::string readFault_; // what failed to read, when known

    std::string tempName_;
    Fd tempFd_;
    std::unique_ptr<OutFile> out_;
    std::unique_ptr<ParallelDeflate> deflater_;
    std::vector<uint8_t> buf_;
};

std::string toSlashes(std::string s)
{
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

bool hasWildcard(const std::string &s) { return s.find_first_of("*?") != std::string::npos; }

std::string baseName(const std::string &path)
{
    size_t k = path.find_last_of('/');
    return k == std::string::npos ? path : path.substr(k + 1);
}

std::string dirName(const std::string &path)
{
    size_t k = path.find_last_of('/');
    if (k == std::string::npos)
        return ".";
    return k == 0 ? "/" : path.substr(0, k);
}

// A member name never starts with '/', a drive or "..": zip readers treat
// such names as hostile (APPNOTE 4.4.17).
std::string cleanMemberName(const std::string &name)
{
    std::string n = toSlashes(name);
    if (n.size() >= 2 && n[1] == ':')
        n.erase(0, 2);
    std::string out;
    size_t i = 0;
    while (i <= n.size()) {
        size_t j = n.find('/', i);
        if (j == std::string::npos)
            j = n.size();
        std::string part = n.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == "." || part == "..")
            continue;
        if (!out.empty())
            out += '/';
        out += part;
    }
    if (!name.empty() && (name.back() == '/' || name.back() == '\\') && !out.empty())
        out += '/';
    return out;
}

int32_t Archiver::run()
{
    if (p_->Seven != ZIPDLL_RECORD_MARK || !p_->ArchiveName || !*p_->ArchiveName || p_->SpecCount < 0 ||
        (p_->SpecCount > 0 && !p_->Specs) || (p_->ExclCount > 0 && !p_->ExclSpecs) ||
        (p_->Stream && (!p_->Stream->Path || !p_->Stream->Read || p_->Stream->Size < 0))) {
        rep_.message(zdeParams, "Zip library called with an unusable parameter record");
        return 0;
    }
    archiveName_ = p_->ArchiveName;
    int32_t n = p_->DeleteEntries ? runDelete() : runAdd();
    rep_.call(zacBatchEnd, 0, 0, {});
    return n;
}

bool Archiver::openOld()
{
    oldFd_ = Fd(::open(archiveName_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!oldFd_) {
        if (errno == ENOENT)
            return true;
        rep_.message(zdeOpen, "Cannot open archive " + archiveName_ + ": " + std::strerror(errno));
        return false;
    }
    ::fstat(oldFd_.fd, &oldSt_);
    if (oldSt_.st_size == 0) // an empty file is an empty archive
        return true;
    std::string error;
    if (!readDirectory(oldFd_.fd, old_, error)) {
        rep_.message(zdeFormat, "Archive " + archiveName_ + " is damaged, not changed: " + error);
        return false;
    }
    haveOld_ = true;
    return true;
}

std::string Archiver::storedName(const std::string &path, const ZipSpecEntry &spec) const
{
    if (p_->JunkDirNames)
        return baseName(path);
    std::string root = spec.RootDir && *spec.RootDir ? toSlashes(spec.RootDir) : std::string();
    if (!root.empty() && root.back() != '/')
        root += '/';
    std::string rel = path;
    if (!root.empty() && rel.compare(0, root.size(), root) == 0)
        rel.erase(0, root.size());
    return cleanMemberName(rel);
}

bool Archiver::excluded(const std::string &path, const std::string &stored) const
{
    for (int32_t i = 0; i < p_->ExclCount; ++i) {
        const char *x = p_->ExclSpecs[i];
        if (!x || !*x)
            continue;
        std::string pat = toSlashes(x);
        if (wildMatch(pat, stored) || wildMatch(pat, path) || wildMatch(pat, baseName(path)))
            return true;
    }
    return false;
}

void Archiver::addSource(const std::string &path, const struct stat &st, const ZipSpecEntry &spec,
                         bool stream)
{
    Source s;
    s.path = path;
    s.stream = stream;
    s.isDir = !stream && S_ISDIR(st.st_mode);
    s.st = st;
    s.spec = &spec;
    s.stored = storedName(path, spec);
    if (s.isDir && !s.stored.empty() && s.stored.back() != '/')
        s.stored += '/';
    if (s.stored.empty() || s.stored == "/" || excluded(path, s.stored))
        return;
    // Never swallow the archive into itself.
    if (!stream && (haveOld_ || oldFd_))
        if (st.st_dev == oldSt_.st_dev && st.st_ino == oldSt_.st_ino)
            return;
    if (p_->ForceDos)
        std::transform(s.stored.begin(), s.stored.end(), s.stored.begin(),
                       [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    if (!s.isDir && rep_.enabled()) {
        rep_.call(zacNewName, 0, 0, s.stored);
        if (rep_.record().ErrorCode == 1) {
            s.stored = cleanMemberName(rep_.replyText());
            if (s.stored.empty())
                return;
        }
    }
    if (sourceIndex_.count(s.stored))
        return;
    streamTaken_ = streamTaken_ || stream;
    sourceIndex_[s.stored] = sources_.size();
    sources_.push_back(std::move(s));
}

void Archiver::walk(const std::string &dir, const std::string &rel, const std::string &pattern, bool recurse,
                    const ZipSpecEntry &spec)
{
    DIR *d = ::opendir(dir.c_str());
    if (!d) {
        rep_.message(zdeOpen, "Cannot read folder " + dir + ": " + std::strerror(errno));
        return;
    }
    std::vector<std::string> names;
    while (dirent *de = ::readdir(d)) {
        std::string n = de->d_name;
        if (n == "." || n == "..")
            continue;
        if (n[0] == '.' && !p_->HiddenFiles)
            continue;
        names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    const std::string prefix = dir == "." && rel.empty() ? std::string() : (dir == "/" ? dir : dir + "/");
    for (const auto &n : names) {
        std::string path = prefix + n;
        struct stat st{};
        if (::lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            // Symlinked folders are not followed: no loops, no surprises.
            if (recurse) {
                if (!p_->JunkDirNames && !p_->NoDirEntries)
                    addSource(path, st, spec);
                walk(path, rel + n + "/", pattern, true, spec);
            }
            continue;
        }
        if (S_ISLNK(st.st_mode) && (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)))
            continue;
        if (S_ISREG(st.st_mode) && wildMatch(pattern, n))
            addSource(path, st, spec);
    }
}

void Archiver::collect(const ZipSpecEntry &spec)
{
    if (!spec.Spec || !*spec.Spec)
        return;
    std::string s = toSlashes(spec.Spec);
    std::string root = spec.RootDir && *spec.RootDir ? toSlashes(spec.RootDir) : std::string();
    if (!root.empty() && root.back() != '/')
        root += '/';
    std::string full = s[0] == '/' ? s : root + s;
    const size_t before = sources_.size();
    struct stat st{};
    if (streamSpec(spec, full)) {
        // Named, sized and marked as the file at its path will be once
        // written; dated for now until its data ends.
        st.st_mode = p_->Stream->Mode;
        st.st_size = static_cast<off_t>(p_->Stream->Size);
        st.st_mtime = std::time(nullptr);
        if (!streamTaken_)
            addSource(full, st, spec, true);
    } else if (!hasWildcard(full) && ::stat(full.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            while (full.size() > 1 && full.back() == '/')
                full.pop_back();
            if (!p_->JunkDirNames && !p_->NoDirEntries)
                addSource(full, st, spec);
            walk(full, "", "*", spec.Recurse != 0, spec);
        } else if (S_ISREG(st.st_mode)) {
            addSource(full, st, spec);
        }
    } else if (hasWildcard(baseName(full)) && !hasWildcard(dirName(full))) {
        walk(dirName(full), "", baseName(full), spec.Recurse != 0, spec);
    }
    if (sources_.size() == before)
        rep_.message(zdeNothing, "Nothing matches " + std::string(spec.Spec));
}

// The file pattern the stream stands for: its text, or the path it names, is the
// stream's path.
bool Archiver::streamSpec(const ZipSpecEntry &spec, const std::string &full) const
{
    if (!p_->Stream)
        return false;
    const std::string path = toSlashes(p_->Stream->Path);
    return !path.empty() && (toSlashes(spec.Spec) == path || full == path);
}

bool Archiver::storeSuffix(const std::string &name) const
{
    if (!p_->StoreSuffixes)
        return false;
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || name.find('/', dot) != std::string::npos)
        return false;
    std::string ext = name.substr(dot);
    std::string list = p_->StoreSuffixes;
    size_t i = 0;
    while (i <= list.size()) {
        size_t j = list.find(':', i);
        if (j == std::string::npos)
            j = list.size();
        std::string item = list.substr(i, j - i);
        i = j + 1;
        if (!item.empty() && item[0] != '.')
            item.insert(item.begin(), '.');
        if (item.size() == ext.size() &&
            std::equal(item.begin(), item.end(), ext.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
            }))
            return true;
    }
    return false;
}

std::string Archiver::passwordFor(const Source &s)
{
    if (s.spec->Password && *s.spec->Password)
        return std::string(s.spec->Password).substr(0, ZCB_MAX_PASSWORD);
    if (p_->Password && *p_->Password)
        return std::string(p_->Password).substr(0, ZCB_MAX_PASSWORD);
    // Asked once per run, then used for every file that needs it.
    if (!askedOnce_) {
        askedOnce_ = true;
        rep_.call(zacPassword, 1, 1, s.stored);
        if (!rep_.stopped() && rep_.record().ErrorCode == 1)
            askedPassword_ = rep_.replyText().substr(0, ZCB_MAX_PASSWORD);
    }
    return askedPassword_;
}

void Archiver::askComment(const Source &s, OutEntry &o)
{
    if (s.isDir || !rep_.enabled())
        return;
    rep_.call(zacFileComment, 0, 0, s.stored, o.comment);
    const ZCallBackStruct &r = rep_.record();
    if (r.ErrorCode == 1)
        o.comment = rep_.replyText().substr(0, std::min<uint32_t>(r.FileSize, ZCB_MAX_NAME));
}

bool Archiver::beginTemp()
{
    std::string dir = p_->TempDir && *p_->TempDir ? toSlashes(p_->TempDir) : dirName(archiveName_);
    std::mt19937 rng(std::random_device{}());
    for (int i = 0; i < 100; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/zi%08x.tmp", static_cast<unsigned>(rng()));
        std::string path = dir + name;
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            tempName_ = path;
            tempFd_ = Fd(fd);
            out_ = std::make_unique<OutFile>(fd);
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    rep_.message(zdeTemp, "Cannot create a temporary file in " + dir + ": " + std::strerror(errno));
    return false;
}

// The bytes in front of the first member (a self-extractor's stub and its
// header) belong to the file: the rewritten archive keeps them, and its
// offsets count from the start of the file as the old ones did.
Fail Archiver::copyPreamble()
{
    if (!haveOld_)
        return Fail::None;
    uint64_t n = old_.cdStart;
    for (const auto &e : old_.entries)
        n = std::min(n, e.localOffset);
    n = std::min<uint64_t>(n, static_cast<uint64_t>(oldSt_.st_size));
    std::vector<uint8_t> chunk(std::min<uint64_t>(n, kIoBlock));
    for (uint64_t done = 0; done < n;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(n - done, chunk.size()));
        const ssize_t got = ::pread(oldFd_.fd, chunk.data(), want, static_cast<off_t>(done));
        if (got <= 0)
            return Fail::Read;
        if (!out_->write(chunk.data(), static_cast<size_t>(got)))
            return Fail::Write;
        done += static_cast<uint64_t>(got);
    }
    return Fail::None;
}

void Archiver::dropTemp()
{
    out_.reset();
    tempFd_ = Fd();
    if (!tempName_.empty())
        ::unlink(tempName_.c_str());
    tempName_.clear();
}

int32_t Archiver::failWith(Fail f)
{
    const int err = errno;
    dropTemp();
    const std::string member = adding_.empty() ? std::string() : " while adding " + adding_;
    switch (f) {
    case Fail::Abort:
        rep_.message(zdeAborted,
                     "Stopped by the user" + member + "; archive " + archiveName_ + " not changed");
        break;
    case Fail::TooLarge:
        rep_.message(zdeTooLarge, "A file grew past 4 GiB while it was added, or a header outgrew the zip format; " +
                                      archiveName_ + " not changed");
        break;
    case Fail::Write:
        rep_.message(zdeWrite, std::string("Write error (") + std::strerror(err) + ")" + member +
                                   "; archive " + archiveName_ + " not changed");
        break;
    case Fail::Read:
        rep_.message(zdeRead, (readFault_.empty() ? "Read error" + member : readFault_) + "; archive " +
                                  archiveName_ + " not changed");
        break;
    case Fail::Password:
        rep_.message(zdePassword, adding_ + ": encryption requested but no password given; archive " +
                                      archiveName_ + " not changed");
        break;
    case Fail::None:
        break;
    }
    return 0;
}

Fail Archiver::writeLocal(const OutEntry &e)
{
    const bool desc = e.flags & kFlagDescriptor;
    std::string h;
    put32(h, kSigLocal);
    put16(h, e.needed);
    put16(h, e.flags);
    put16(h, e.method);
    put16(h, e.dosTime);
    put16(h, e.dosDate);
    put32(h, desc ? 0 : e.crc);
    if (e.zip64Local) {
        // Both sizes live in the extra field, patched once the data is out.
        put32(h, static_cast<uint32_t>(kMax32));
        put32(h, static_cast<uint32_t>(kMax32));
    } else {
        put32(h, desc ? 0 : static_cast<uint32_t>(e.csize));
        put32(h, desc ? 0 : static_cast<uint32_t>(e.usize));
    }
    put16(h, static_cast<uint16_t>(e.name.size()));
    std::string extra =
        e.zip64Local ? zip64::makeExtra({true, true, false, false}, {desc ? 0 : e.usize, desc ? 0 : e.csize, 0, 0})
                     : std::string();
    if (e.aes)
        extra += makeAesExtra(e.aesMethod); // after Zip64: its sizes are patched at a fixed place
    put16(h, static_cast<uint16_t>(extra.size()));
    h += e.name;
    h += extra;
    return out_->write(h) ? Fail::None : Fail::Write;
}

// A member the operation does not change goes over byte for byte: local
// header with its extra fields (AES, timestamps, owners), data and data
// descriptor; the central header keeps its attributes, versions and
// extras, with only the local header offset moved.
Fail Archiver::copyOld(const CentralEntry &e, OutEntry &o)
{
    std::string error;
    uint64_t dataStart = 0;
    if (!locateData(oldFd_.fd, old_, e, dataStart, error)) {
        rep_.message(zdeFormat, "Archive " + archiveName_ + " is damaged, not changed: " + error);
        return Fail::Read;
    }
    uint64_t length = dataStart - e.localOffset + e.csize;
    if (e.flags & kFlagDescriptor) {
        uint8_t d[24];
        const uint64_t at = e.localOffset + length;
        const size_t avail = static_cast<size_t>(std::min<uint64_t>(sizeof d, old_.cdStart - at));
        if (!readAll(oldFd_.fd, d, avail, at))
            return Fail::Read;
        length += zip64::descriptorLength(d, avail, e.crc, e.csize, e.usize, e.csize >= kMax32 || e.usize >= kMax32);
        if (length > old_.cdStart - e.localOffset) {
            rep_.message(zdeFormat, "Archive " + archiveName_ + " is damaged, not changed: data descriptor of " +
                                        e.name + " runs into the central directory");
            return Fail::Read;
        }
    }
    o.name = e.rawName;
    o.madeBy = e.madeBy;
    o.needed = e.needed;
    o.flags = e.flags;
    o.method = e.method;
    o.dosTime = e.dosTime;
    o.dosDate = e.dosDate;
    o.crc = e.crc;
    o.csize = e.csize;
    o.usize = e.usize;
    o.extAttr = e.extAttr;
    o.comment = e.comment;
    o.keptHeader = e.header;
    o.keptExtra = e.extra;
    o.localOffset = out_->pos();
    for (uint64_t pos = e.localOffset, left = length; left > 0;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, buf_.size()));
        if (!readAll(oldFd_.fd, buf_.data(), n, pos))
            return Fail::Read;
        if (!out_->write(buf_.data(), n))
            return Fail::Write;
        pos += n;
        left -= n;
    }
    return Fail::None;
}

Fail Archiver::addFile(const Source &s, OutEntry &o, bool &skipped)
{
    skipped = false;
    o = OutEntry{};
    o.name = s.stored;
    toDosTime(s.st.st_mtime, o.dosTime, o.dosDate);
    if (!isAscii(o.name))
        o.flags |= kFlagUtf8;
    o.extAttr = static_cast<uint32_t>(s.st.st_mode & 0xFFFF) << 16;
    if (s.isDir) {
        o.extAttr |= 0x10; // DOS directory attribute
        o.needed = 20;
        o.localOffset = out_->pos();
        return writeLocal(o);
    }

    Fd in;
    StreamIn stream;
    uint64_t size = 0;
    if (s.stream) {
        stream.src = p_->Stream;
        size = static_cast<uint64_t>(stream.src->Size);
        toDosTime(std::time(nullptr), o.dosTime, o.dosDate); // until its data ends
    } else {
        in = Fd(::open(s.path.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat st {
        };
        if (!in || ::fstat(in.fd, &st) != 0) {
            rep_.message(zdeOpen, "Cannot open " + s.path + ": " + std::strerror(errno) + ", not added");
            skipped = true;
            return Fail::None;
        }
        size = static_cast<uint64_t>(st.st_size);
    }
    // Near 4 GiB the sizes go to a Zip64 extra field; the margin covers
    // the encryption header and a file that grows a little while read.
    const bool big = size + (1 << 16) >= kMax32;
    std::unique_ptr<ZipCrypto> crypt;
    std::unique_ptr<AesCipher> aes;
    std::string password;
    struct Wipe {
        std::string &s;
        ~Wipe() { wipe(s); }
    } wipePassword{password};
    if (s.spec->Encrypt) {
        password = passwordFor(s);
        if (rep_.stopped())
            return Fail::Abort;
        if (password.empty() && s.stream)
            return Fail::Password; // its data cannot wait for a later add
        if (password.empty()) {
            rep_.message(zdePassword, s.path + ": encryption requested but no password given; not added");
            skipped = true;
            return Fail::None;
        }
        o.flags |= kFlagEncrypted;
        o.aes = p_->EncryptMethod != zemZipCrypto;
        // ZipCrypto: the CRC is not known before the data is written, so the
        // header's check byte is the time's high byte and sizes follow the
        // data. AES needs neither: the sizes are patched in as for plain data.
        if (!o.aes)
            o.flags |= kFlagDescriptor;
    }
    // A streamed member is dated when its data ends, except under ZipCrypto,
    // whose header check byte already holds the time it started.
    const bool patchTime = s.stream && !(o.flags & kFlagDescriptor);
    const int level = std::clamp(p_->Level, 0, 9);
    bool deflate = level > 0 && size > 0 && !storeSuffix(s.stored);
    if (!rep_.size(zacFileStart, size, s.stored))
        return Fail::Abort;

    // After a deflate pass of a stream that did not shrink, the plain bytes
    // lie past the member's end (inflated back there) and are read from it.
    uint64_t backAt = 0, backLeft = 0;
    bool readBack = false;
    std::unique_ptr<AesCipher> backCipher;
    std::unique_ptr<InflateInPlace> inPlace;
    auto readIn = [&](uint8_t *b, size_t n) -> long {
        if (inPlace) {
            const long got = inPlace->read(b, n);
            if (got < 0)
                readFault_ = s.stored + ": its data did not come back whole from the temporary archive";
            return got;
        }
        if (readBack) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(n, backLeft));
            if (k > 0 && !readAll(tempFd_.fd, b, k, backAt))
                return -1;
            backAt += k;
            backLeft -= k;
            return static_cast<long>(k);
        }
        if (s.stream)
            return stream.read(b, n);
        ssize_t got;
        do
            got = ::read(in.fd, b, n);
        while (got < 0 && errno == EINTR);
        return static_cast<long>(got);
    };
    auto readFailed = [&] {
        if (!stream.fault.empty())
            readFault_ = s.stored + ": " + stream.fault;
        else if (!s.stream)
            readFault_ = "Cannot read " + s.path + (errno ? std::string(": ") + std::strerror(errno) : "");
        return Fail::Read;
    };

    o.localOffset = out_->pos();
    for (bool retried = false;; retried = true) {
        o.method = o.aes ? kMethodAes : deflate ? 8 : 0;
        o.aesMethod = deflate ? 8 : 0;
        o.needed = deflate || crypt || (o.flags & kFlagEncrypted) ? 20 : 10;
        o.zip64Local = big;
        if (big)
            o.needed = zip64::kVersionNeeded;
        if (o.aes)
            o.needed = kVersionAes;
        o.flags &= static_cast<uint16_t>(~0x0006);
        if (deflate)
            o.flags |= level >= 8 ? 0x0002 : level == 2 ? 0x0004 : level == 1 ? 0x0006 : 0;
        if (Fail f = writeLocal(o); f != Fail::None)
            return f;
        std::string aesHead;
        if (o.aes) {
            aes = std::make_unique<AesCipher>();
            if (!aes->create(password, kAes256, aesHead)) {
                rep_.message(zdeMemory, s.path + ": the encryption could not be set up (OpenSSL)");
                return Fail::Write;
            }
            if (!out_->write(aesHead))
                return Fail::Write;
        } else if (o.flags & kFlagEncrypted) {
            crypt = std::make_unique<ZipCrypto>(password);
            uint8_t header[12];
            std::random_device rd;
            for (auto &b : header)
                b = static_cast<uint8_t>(rd());
            header[11] = static_cast<uint8_t>(o.dosTime >> 8);
            crypt->encrypt(header, sizeof header);
            if (!out_->write(header, sizeof header))
                return Fail::Write;
        }
        const uint64_t dataStart = out_->pos();
        // A store pass after a failed deflate repeats bytes already reported.
        const bool repeat = retried;
        // How far the data ran ahead of its deflated form, at block ends.
        uint64_t inDone = 0, outDone = 0, ahead = 0;
        auto progress = [&](uint64_t n) {
            inDone += n;
            ahead = std::max(ahead, inDone > outDone ? inDone - outDone : 0);
            return repeat || rep_.size(zacBytesDone, n);
        };
        auto sink = [&](uint8_t *d, size_t n) {
            if (aes)
                aes->encrypt(d, n);
            else if (crypt)
                crypt->encrypt(d, n);
            outDone += n;
            return out_->write(d, n);
        };
        if (deflate) {
            if (!deflater_)
                deflater_ = std::make_unique<ParallelDeflate>();
            ParallelDeflate::Result r;
            switch (deflater_->compress(level, readIn, sink, progress, r)) {
            case ParallelDeflate::Ok:
                break;
            case ParallelDeflate::Aborted:
                return Fail::Abort;
            case ParallelDeflate::ReadError:
                return readFailed();
            case ParallelDeflate::WriteError:
            case ParallelDeflate::ZlibError:
                return Fail::Write;
            }
            o.crc = r.crc;
            o.usize = r.bytesIn;
            o.csize = r.bytesOut;
        } else {
            uLong crc = crc32(0, nullptr, 0);
            uint64_t total = 0;
            for (;;) {
                const long got = readIn(buf_.data(), buf_.size());
                if (got < 0)
                    return readFailed();
                if (got == 0)
                    break;
                crc = crc32(crc, buf_.data(), static_cast<uInt>(got));
                total += static_cast<uint64_t>(got);
                if (!sink(buf_.data(), static_cast<size_t>(got)))
                    return Fail::Write;
                if (!progress(static_cast<uint64_t>(got)))
                    return Fail::Abort;
            }
            o.crc = static_cast<uint32_t>(crc);
            o.usize = o.csize = total;
        }
        if (patchTime)
            toDosTime(stream.endTime, o.dosTime, o.dosDate);
        uint64_t overhead = crypt ? 12 : 0;
        if (aes) {
            uint8_t tag[kAesTagSize];
            if (!aes->tag(tag) || !out_->write(tag, sizeof tag))
                return Fail::Write;
            overhead = aesOverhead(kAes256);
        }
        o.csize += overhead;
        if ((readBack || inPlace) && !out_->truncate(out_->pos())) // drop what lies behind it
            return Fail::Write;
        // Incompressible data is stored instead, as other zip tools do. A
        // ZipCrypto stream keeps its deflated data: valid and only a little
        // larger, and its header check byte does not allow a second pass
        // to be told apart cheaply from the first.
        if (deflate && o.csize > o.usize + overhead && !(s.stream && crypt)) {
            if (s.stream) {
                // The data cannot be read again: inflate it back from here,
                // in place when it never ran far ahead of its deflated form
                // (a block of slack either side of the block ends measured).
                backCipher = std::make_unique<AesCipher>();
                if (aes && !backCipher->open(
                               password, kAes256, reinterpret_cast<const uint8_t *>(aesHead.data()),
                               reinterpret_cast<const uint8_t *>(aesHead.data()) + aesSaltSize(kAes256)))
                    return Fail::Write;
                AesCipher *back = aes ? backCipher.get() : nullptr;
                const uint64_t maxAhead = ahead + 2 * kIoBlock;
                if (maxAhead <= kMaxInPlaceAhead) {
                    if (!out_->flush())
                        return Fail::Write;
                    inPlace = std::make_unique<InflateInPlace>(tempFd_.fd, dataStart, o.csize - overhead,
                                                               back, o.usize, o.crc, maxAhead);
                    if (!inPlace->ok())
                        return Fail::Write;
                } else {
                    if (Fail f = inflateBack(dataStart, o.csize - overhead, back, o, backAt); f != Fail::None)
                        return f;
                    backLeft = o.usize;
                    readBack = true;
                }
                if (!out_->rewind(o.localOffset))
                    return Fail::Write;
            } else if (!out_->truncate(o.localOffset) || ::lseek(in.fd, 0, SEEK_SET) != 0) {
                return Fail::Write;
            }
            deflate = false;
            crypt.reset();
            aes.reset();
            continue;
        }
        if (!big && (o.usize >= kMax32 || o.csize >= kMax32))
            return Fail::TooLarge; // grew past 4 GiB while being read
        break;
    }
    if (o.aes)
        o.crc = 0; // AE-2: the authentication code replaces the CRC
    if (o.flags & kFlagDescriptor) {
        std::string d;
        put32(d, kSigDescriptor);
        put32(d, o.crc);
        zip64::put(d, o.csize, big ? 8 : 4);
        zip64::put(d, o.usize, big ? 8 : 4);
        return out_->write(d) ? Fail::None : Fail::Write;
    }
    // Time and date (a stream's end), CRC and sizes follow one another.
    std::string fix;
    put16(fix, o.dosTime);
    put16(fix, o.dosDate);
    put32(fix, o.crc);
    if (!big) {
        put32(fix, static_cast<uint32_t>(o.csize));
        put32(fix, static_cast<uint32_t>(o.usize));
        return out_->patch(o.localOffset + 10, fix) ? Fail::None : Fail::Write;
    }
    std::string sizes;
    zip64::put(sizes, o.usize, 8);
    zip64::put(sizes, o.csize, 8);
    return out_->patch(o.localOffset + 10, fix) && out_->patch(o.localOffset + 30 + o.name.size() + 4, sizes)
               ? Fail::None
               : Fail::Write;
}

// Writes all of buf at offset.
bool writeAt(int fd, const uint8_t *buf, size_t n, uint64_t offset)
{
    while (n > 0) {
        const ssize_t k = ::pwrite(fd, buf, n, static_cast<off_t>(offset));
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        buf += k;
        n -= static_cast<size_t>(k);
        offset += static_cast<uint64_t>(k);
    }
    return true;
}

// The deflated data of a streamed member, `length` bytes from dataStart
// (encrypted when aes is given), is inflated into the space past the end of
// the temporary archive, starting at `at`. The result must be the data just
// read: its size and CRC are checked.
Fail Archiver::inflateBack(uint64_t dataStart, uint64_t length, AesCipher *aes, const OutEntry &o,
                           uint64_t &at)
{
    if (!out_->flush())
        return Fail::Write;
    at = out_->pos();
    z_stream zs{};
    if (inflateInit2(&zs, -15) != Z_OK)
        return Fail::Write;
    std::vector<uint8_t> plain(kIoBlock);
    uint64_t inPos = dataStart, left = length, outPos = at;
    uLong crc = crc32(0, nullptr, 0);
    int rc = Z_OK;
    Fail fail = Fail::None;
    while (rc != Z_STREAM_END && fail == Fail::None) {
        if (zs.avail_in == 0) {
            if (left == 0)
                break;
            const size_t n = static_cast<size_t>(std::min<uint64_t>(left, buf_.size()));
            if (!readAll(tempFd_.fd, buf_.data(), n, inPos)) {
                fail = Fail::Write; // the archive being written cannot be read back
                break;
            }
            if (aes)
                aes->decrypt(buf_.data(), n);
            inPos += n;
            left -= n;
            zs.next_in = buf_.data();
            zs.avail_in = static_cast<uInt>(n);
        }
        zs.next_out = plain.data();
        zs.avail_out = static_cast<uInt>(plain.size());
        rc = inflate(&zs, Z_NO_FLUSH);
        const size_t got = plain.size() - zs.avail_out;
        if ((rc != Z_OK && rc != Z_STREAM_END) || (got == 0 && rc != Z_STREAM_END && zs.avail_in > 0))
            break;
        crc = crc32(crc, plain.data(), static_cast<uInt>(got));
        if (got > 0 && !writeAt(tempFd_.fd, plain.data(), got, outPos))
            fail = Fail::Write;
        outPos += got;
    }
    inflateEnd(&zs);
    if (fail != Fail::None)
        return fail;
    if (rc != Z_STREAM_END || outPos - at != o.usize || static_cast<uint32_t>(crc) != o.crc) {
        readFault_ = o.name + ": its data did not come back whole from the temporary archive";
        return Fail::Read;
    }
    return Fail::None;
}

bool Archiver::finish(const std::vector<OutEntry> &entries, const std::string &comment, std::string &why)
{
    const uint64_t cdStart = out_->pos();
    std::string cd;
    for (const auto &e : entries) {
        if (!e.keptHeader.empty()) {
            std::string hdr = e.keptHeader, extra = e.keptExtra;
            if (!zip64::setCentralOffset(reinterpret_cast<uint8_t *>(hdr.data()), extra, e.localOffset)) {
                why = "too large";
                errno = EFBIG;
                return false;
            }
            cd += hdr;
            cd += e.name;
            cd += extra;
            cd += e.comment;
            continue;
        }
        // Zip64 fields only where a value needs them: archives that do not
        // stay what every zip reader knows.
        const zip64::Deferred d{e.usize >= kMax32, e.csize >= kMax32, e.localOffset >= kMax32, false};
        std::string extra = d.any() ? zip64::makeExtra(d, {e.usize, e.csize, e.localOffset, 0}) : std::string();
        if (e.aes)
            extra += makeAesExtra(e.aesMethod);
        const uint16_t needed = d.any() || e.zip64Local ? std::max(e.needed, zip64::kVersionNeeded) : e.needed;
        put32(cd, kSigCentral);
        put16(cd, d.any() ? static_cast<uint16_t>((e.madeBy & 0xFF00) | zip64::kVersionNeeded) : e.madeBy);
        put16(cd, needed);
        put16(cd, e.flags);
        put16(cd, e.method);
        put16(cd, e.dosTime);
        put16(cd, e.dosDate);
        put32(cd, e.crc);
        put32(cd, static_cast<uint32_t>(d.csize ? kMax32 : e.csize));
        put32(cd, static_cast<uint32_t>(d.usize ? kMax32 : e.usize));
        put16(cd, static_cast<uint16_t>(e.name.size()));
        put16(cd, static_cast<uint16_t>(extra.size()));
        put16(cd, static_cast<uint16_t>(std::min<size_t>(e.comment.size(), 0xFFFF)));
        put16(cd, 0);
        put16(cd, 0);
        put32(cd, e.extAttr);
        put32(cd, static_cast<uint32_t>(d.offset ? kMax32 : e.localOffset));
        cd += e.name;
        cd += extra;
        cd += e.comment.substr(0, 0xFFFF);
    }
    zip64::End ends;
    ends.entries = ends.entriesOnDisk = entries.size();
    ends.cdSize = cd.size();
    ends.cdOffset = cdStart;
    std::string c = comment.substr(0, 0xFFFF);
    // An archive whose Zip64 end record only repeated values that fit (a
    // streamed writer's layout) keeps it; one that needed it drops it when
    // nothing needs it any more.
    std::string end = zip64::endRecords(ends, cdStart + cd.size(), static_cast<uint16_t>(c.size()), 1,
                                        old_.zip64EndRepeats);
    end += c;
    if (!out_->write(cd) || !out_->write(end) || !out_->flush()) {
        why = "write";
        return false;
    }
    if (oldFd_)
        ::fchmod(tempFd_.fd, oldSt_.st_mode & 07777);
    // The new archive must be on disk before it replaces the old one.
    if (::fsync(tempFd_.fd) != 0 || ::close(tempFd_.fd) != 0) {
        tempFd_.fd = -1;
        why = "write";
        return false;
    }
    tempFd_.fd = -1;
    out_.reset();
    if (::rename(tempName_.c_str(), archiveName_.c_str()) == 0) {
        tempName_.clear();
        return true;
    }
    if (errno != EXDEV) {
        why = "rename";
        return false;
    }
    // The temporary folder is on another file system: copy beside the
    // archive first, then rename there.
    std::string near = archiveName_ + ".zi-tmp";
    Fd src(::open(tempName_.c_str(), O_RDONLY | O_CLOEXEC));
    Fd dst(::open(near.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    bool ok = src && dst;
    for (ssize_t n; ok && (n = ::read(src.fd, buf_.data(), buf_.size())) != 0;)
        ok = n > 0 && writeAll(dst.fd, buf_.data(), static_cast<size_t>(n));
    if (ok && oldFd_)
        ::fchmod(dst.fd, oldSt_.st_mode & 07777);
    ok = ok && ::fsync(dst.fd) == 0 && ::rename(near.c_str(), archiveName_.c_str()) == 0;
    if (!ok) {
        ::unlink(near.c_str());
        why = "rename";
        return false;
    }
    ::unlink(tempName_.c_str());
    tempName_.clear();
    return true;
}

int32_t Archiver::runAdd()
{
    if (!openOld())
        return 0;
    if (!p_->Grow)
        haveOld_ = false;
    for (int32_t i = 0; i < p_->SpecCount && !rep_.stopped(); ++i)
        collect(p_->Specs[i]);
    if (rep_.stopped())
        return failWith(Fail::Abort);

    // Decide which sources go in and where.
    std::map<std::string, int> oldIndex;
    if (haveOld_)
        for (size_t i = 0; i < old_.entries.size(); ++i)
            oldIndex.emplace(old_.entries[i].name, static_cast<int>(i));
    std::vector<Slot> slots;
    std::vector<int> replaceAt(haveOld_ ? old_.entries.size() : 0, -1);
    std::vector<int> fresh;
    uint64_t total = 0;
    int files = 0;
    for (size_t i = 0; i < sources_.size(); ++i) {
        const Source &s = sources_[i];
        auto it = oldIndex.find(s.stored);
        if (it != oldIndex.end()) {
            const CentralEntry &e = old_.entries[static_cast<size_t>(it->second)];
            uint16_t t, d;
            toDosTime(s.st.st_mtime, t, d);
            const bool newer = (static_cast<uint32_t>(d) << 16 | t) > (static_cast<uint32_t>(e.dosDate) << 16 | e.dosTime);
            if ((p_->Freshen || p_->Update) && !newer)
                continue;
            if (s.isDir)
                continue; // the folder entry is already there
            replaceAt[static_cast<size_t>(it->second)] = static_cast<int>(i);
        } else {
            if (p_->Freshen && !p_->Update)
                continue;
            fresh.push_back(static_cast<int>(i));
        }
        if (!s.isDir) {
            total += static_cast<uint64_t>(s.st.st_size);
            ++files;
        }
    }
    if (haveOld_)
        for (size_t i = 0; i < old_.entries.size(); ++i)
            slots.push_back(Slot{static_cast<int>(i), replaceAt[i]});
    for (int i : fresh)
        slots.push_back(Slot{-1, i});
    const bool commentChanges = p_->Comment && (!haveOld_ || old_.comment != p_->Comment);
    if (files == 0 && fresh.empty() && !commentChanges) {
        // Update and freshen have done their job when every file they found
        // is already in the archive as new as it is.
        if ((p_->Update || p_->Freshen) && !sources_.empty() && haveOld_)
            return 0;
        rep_.message(zdeNothing, "Nothing to add to " + archiveName_);
        return 0;
    }
    rep_.call(zacFileCount, 0, static_cast<uint32_t>(files), {});
    rep_.size(zacTotalBytes, total);
    if (rep_.stopped())
        return failWith(Fail::Abort);
    if (!beginTemp())
        return 0;
    if (Fail f = copyPreamble(); f != Fail::None)
        return failWith(f);
    buf_.resize(kIoBlock);

    std::vector<OutEntry> entries;
    std::vector<const Source *> added;
    int32_t count = 0;
    for (const Slot &slot : slots) {
        if (rep_.stopped())
            return failWith(Fail::Abort);
        OutEntry o;
        Fail f = Fail::None;
        if (slot.source >= 0) {
            bool skipped = false;
            const Source &s = sources_[static_cast<size_t>(slot.source)];
            adding_ = s.stored;
            f = addFile(s, o, skipped);
            if (f == Fail::None)
                adding_.clear();
            if (f == Fail::None && skipped) {
                if (slot.old < 0)
                    continue;
                f = copyOld(old_.entries[static_cast<size_t>(slot.old)], o); // keep the old member
            } else if (f == Fail::None) {
                o.comment = slot.old >= 0 ? old_.entries[static_cast<size_t>(slot.old)].comment : std::string();
                askComment(s, o);
                added.push_back(&s);
                if (!s.isDir)
                    ++count;
                if (p_->Verbose)
                    rep_.message(0, (slot.old >= 0 ? "updated " : "added ") + s.stored);
            }
        } else {
            f = copyOld(old_.entries[static_cast<size_t>(slot.old)], o);
        }
        if (f != Fail::None)
            return failWith(f);
        entries.push_back(std::move(o));
    }
    std::string comment = p_->Comment ? std::string(p_->Comment) : (haveOld_ ? old_.comment : std::string());
    if (added.empty() && !commentChanges) {
        // Everything was skipped: leave the archive (or its absence) alone.
        dropTemp();
        rep_.message(zdeNothing, "Nothing added to " + archiveName_);
        return 0;
    }
    std::string why;
    if (!finish(entries, comment, why))
        return failWith(why == "too large" ? Fail::TooLarge : Fail::Write);

    if (p_->ZipTime && !entries.empty()) {
        int64_t newest = 0;
        for (const auto &e : entries)
            newest = std::max(newest, fromDosTime(e.dosTime, e.dosDate));
        struct timespec times[2] = {{0, UTIME_NOW}, {static_cast<time_t>(newest), 0}};
        ::utimensat(AT_FDCWD, archiveName_.c_str(), times, 0);
    }
    if (p_->Move) {
        // Only now that the archive is safely in place; folders go last,
        // deepest first, and only when empty.
        for (const Source *s : added)
            if (!s->isDir && !s->stream)
                ::unlink(s->path.c_str());
        for (auto it = added.rbegin(); it != added.rend(); ++it)
            if ((*it)->isDir)
                ::rmdir((*it)->path.c_str());
    }
    return count;
}

int32_t Archiver::runDelete()
{
    if (!openOld())
        return 0;
    if (!haveOld_) {
        rep_.message(zdeOpen, "Archive " + archiveName_ + " not found or empty");
        return 0;
    }
    std::vector<bool> drop(old_.entries.size(), false);
    int32_t count = 0;
    for (size_t i = 0; i < old_.entries.size(); ++i) {
        for (int32_t k = 0; k < p_->SpecCount; ++k) {
            const char *spec = p_->Specs[k].Spec;
            if (spec && *spec && wildMatch(toSlashes(spec), old_.entries[i].name)) {
                drop[i] = true;
                ++count;
                break;
            }
        }
    }
    if (count == 0) {
        rep_.message(zdeNothing, "No member of " + archiveName_ + " matches");
        return 0;
    }
    rep_.call(zacFileCount, 0, static_cast<uint32_t>(count), {});
    if (rep_.stopped() || !beginTemp())
        return rep_.stopped() ? failWith(Fail::Abort) : 0;
    if (Fail f = copyPreamble(); f != Fail::None)
        return failWith(f);
    buf_.resize(kIoBlock);
    std::vector<OutEntry> entries;
    for (size_t i = 0; i < old_.entries.size(); ++i) {
        if (drop[i]) {
            if (rep_.call(zacFileStart, 0, 0, old_.entries[i].name) != 0)
                return failWith(Fail::Abort);
            if (p_->Verbose)
                rep_.message(0, "deleted " + old_.entries[i].name);
            continue;
        }
        OutEntry o;
        if (Fail f = copyOld(old_.entries[i], o); f != Fail::None)
            return failWith(f);
        entries.push_back(std::move(o));
    }
    std::string comment = p_->Comment ? std::string(p_->Comment) : old_.comment;
    std::string why;
    if (!finish(entries, comment, why))
        return failWith(why == "too large" ? Fail::TooLarge : Fail::Write);
    return count;
}

} // namespace
} // namespace zipdll

ZIPDLL_EXPORT int32_t GetZipDllVersion(void) { return ZIPDLL_VERSION; }

ZIPDLL_EXPORT int32_t ZipDllExec(ZipDllParams *params)
{
    if (!params)
        return 0;
    // Nothing may unwind into the C caller.
    try {
        zipdll::Archiver a(params);
        return a.run();
    } catch (...) {
        return 0;
    }
}
