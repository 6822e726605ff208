#include "ZipDllTestSupport.h"

#include "support/TestFiles.h"

#include <zlib.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <stdexcept>

namespace zt {

namespace {

// The build folder, fixed at compile time: the test may run from any folder.
std::string buildDir()
{
#ifdef QUELLON_BIN_DIR
    return QUELLON_BIN_DIR "/";
#else
    return testsupport::binDir();
#endif
}

void *load(const char *name)
{
    std::string path = buildDir() + name;
    void *h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h)
        throw std::runtime_error(std::string("cannot load ") + path + ": " + ::dlerror());
    return h;
}

template <typename F> F entry(const char *lib, const char *sym)
{
    static_assert(sizeof(F) == sizeof(void *));
    void *h = load(lib); // dlopen counts references; the handle stays open
    void *f = ::dlsym(h, sym);
    if (!f)
        throw std::runtime_error(std::string("missing ") + sym);
    return reinterpret_cast<F>(f);
}

int32_t record(ZCallBackStruct *r)
{
    auto *calls = static_cast<Calls *>(r->Caller);
    int32_t answer = calls->hook ? calls->hook(*r) : 0;
    calls->log.push_back(*r);
    return answer;
}

void put16(std::string &s, uint16_t v)
{
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8);
}

void put32(std::string &s, uint32_t v)
{
    put16(s, static_cast<uint16_t>(v & 0xFFFF));
    put16(s, static_cast<uint16_t>(v >> 16));
}

} // namespace

int Calls::count(int action) const
{
    int n = 0;
    for (const auto &r : log)
        n += r.ActionCode == action;
    return n;
}

std::vector<std::string> Calls::texts(int action) const
{
    std::vector<std::string> out;
    for (const auto &r : log)
        if (r.ActionCode == action)
            out.emplace_back(r.Text);
    return out;
}

bool Calls::hasError(int code) const
{
    for (const auto &r : log)
        if ((r.ActionCode == zacMessage || r.ActionCode == zacSkipped) && r.ErrorCode == code)
            return true;
    return false;
}

std::string Calls::messages() const
{
    std::string out;
    for (const auto &r : log)
        if (r.ActionCode == zacMessage)
            out += std::to_string(r.ErrorCode) + ": " + r.Text + "\n";
    return out;
}

Add::Add(std::string archive) : archive_(std::move(archive))
{
    p.Version = 160;
    p.Callback = record;
    p.Caller = &calls;
    p.NoDirEntries = 1;
    p.Quiet = 1;
    p.Level = 9;
    p.JunkDirNames = 1;
    p.Grow = 1;
    p.Seven = ZIPDLL_RECORD_MARK;
}

Add &Add::spec(const std::string &s, bool recurse, const char *password, bool encrypt)
{
    specs_.push_back(s);
    passwords_.push_back(password ? password : "");
    hasPassword_.push_back(password != nullptr);
    flags_.emplace_back(recurse, encrypt || password != nullptr);
    return *this;
}

Add &Add::root(const std::string &dir)
{
    root_ = dir;
    return *this;
}

Add &Add::exclude(const std::string &s)
{
    excl_.push_back(s);
    return *this;
}

int32_t Add::run()
{
    static auto exec = entry<ZipDllExecFunc>(ZIPDLL_LIBRARY_NAME, ZIPDLL_EXEC_NAME);
    std::vector<ZipSpecEntry> entries(specs_.size());
    for (size_t i = 0; i < specs_.size(); ++i) {
        entries[i].Spec = specs_[i].data();
        entries[i].Password = hasPassword_[i] ? passwords_[i].data() : p.Password;
        entries[i].Recurse = flags_[i].first;
        entries[i].Encrypt = flags_[i].second || p.Encrypt;
        entries[i].RootDir = root_.empty() ? nullptr : root_.data();
    }
    std::vector<char *> excl;
    for (auto &x : excl_)
        excl.push_back(x.data());
    p.ArchiveName = archive_.data();
    p.SpecCount = static_cast<int32_t>(entries.size());
    p.Specs = entries.data();
    if (!p.StoreSuffixes)
        p.StoreSuffixes = suffixes_.data();
    p.ExclCount = static_cast<int32_t>(excl.size());
    p.ExclSpecs = excl.data();
    calls.log.clear();
    return exec(&p);
}

Extract::Extract(std::string archive, std::string folder) : archive_(std::move(archive)), folder_(std::move(folder))
{
    p.Version = 160;
    p.Callback = record;
    p.Caller = &calls;
    p.Quiet = 1;
    p.PasswordReqCount = 1;
    p.Seven = ZIPDLL_RECORD_MARK;
}

Extract &Extract::spec(const std::string &s)
{
    specs_.push_back(s);
    return *this;
}

int32_t Extract::run()
{
    static auto exec = entry<UnzDllExecFunc>(UNZDLL_LIBRARY_NAME, UNZDLL_EXEC_NAME);
    std::vector<UnzSpecEntry> entries(specs_.size());
    for (size_t i = 0; i < specs_.size(); ++i)
        entries[i].Spec = specs_[i].data();
    p.ArchiveName = archive_.data();
    p.SpecCount = static_cast<int32_t>(entries.size());
    p.Specs = entries.data();
    calls.log.clear();
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd))
        throw std::runtime_error("getcwd");
    if (!folder_.empty() && ::chdir(folder_.c_str()) != 0)
        throw std::runtime_error("chdir " + folder_);
    int32_t n = exec(&p);
    if (::chdir(cwd) != 0)
        throw std::runtime_error("chdir back");
    return n;
}

std::string makeStoredZip(const std::vector<std::pair<std::string, std::string>> &members)
{
    std::string out, cd;
    for (const auto &[name, data] : members) {
        uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(data.data()),
                                                   static_cast<uInt>(data.size())));
        uint32_t offset = static_cast<uint32_t>(out.size());
        put32(out, 0x04034b50);
        put16(out, 10);
        put16(out, 0);
        put16(out, 0);
        put16(out, 0);
        put16(out, 0x21);
        put32(out, crc);
        put32(out, static_cast<uint32_t>(data.size()));
        put32(out, static_cast<uint32_t>(data.size()));
        put16(out, static_cast<uint16_t>(name.size()));
        put16(out, 0);
        out += name;
        out += data;
        put32(cd, 0x02014b50);
        put16(cd, 20);
        put16(cd, 10);
        put16(cd, 0);
        put16(cd, 0);
        put16(cd, 0);
        put16(cd, 0x21);
        put32(cd, crc);
        put32(cd, static_cast<uint32_t>(data.size()));
        put32(cd, static_cast<uint32_t>(data.size()));
        put16(cd, static_cast<uint16_t>(name.size()));
        put16(cd, 0);
        put16(cd, 0);
        put16(cd, 0);
        put16(cd, 0);
        put32(cd, 0);
        put32(cd, offset);
        cd += name;
    }
    uint32_t cdStart = static_cast<uint32_t>(out.size());
    out += cd;
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<uint16_t>(members.size()));
    put16(out, static_cast<uint16_t>(members.size()));
    put32(out, static_cast<uint32_t>(cd.size()));
    put32(out, cdStart);
    put16(out, 0);
    return out;
}

int python(const std::string &code, std::string *output)
{
    char path[] = "/tmp/zipdll-py-XXXXXX";
    int fd = ::mkstemp(path);
    if (fd < 0)
        return -1;
    ::close(fd);
    testsupport::writeFile(path, code);
    int rc = testsupport::runCommand(std::string("python3 ") + path, output);
    ::unlink(path);
    return rc;
}

int32_t libraryVersion(const char *library, const char *sym)
{
    return entry<GetZipDllVersionFunc>(library, sym)();
}

bool haveTool(const std::string &name)
{
    return testsupport::runCommand("command -v " + name + " >/dev/null") == 0;
}

void setMtime(const std::string &path, long secondsFromNow)
{
    struct timespec t[2];
    t[0].tv_sec = t[1].tv_sec = std::time(nullptr) + secondsFromNow;
    t[0].tv_nsec = t[1].tv_nsec = 0;
    ::utimensat(AT_FDCWD, path.c_str(), t, 0);
}

} // namespace zt
