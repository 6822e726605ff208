#include "HostStore.h"

#include "ClParser.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <unistd.h>

namespace hostsim {

namespace {

std::string upperAscii(std::string s)
{
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

const char *const kKnownTypes[] = {
    "ALRTBL", "BNDDIR", "CHTFMT", "CLD",    "CLS",    "CMD",    "CRQD",   "CSI",    "CSPMAP", "CSPTBL",
    "DTAARA", "DTADCT", "DTAQ",   "EDTD",   "FCT",    "FILE",   "FNTRSC", "FNTTBL", "FORMDF", "FTR",
    "GSS",    "IGCDCT", "IGCSRT", "IGCTBL", "JOBD",   "JOBQ",   "JOBSCD", "JRN",    "JRNRCV", "LOCALE",
    "MEDDFN", "MENU",   "MGTCOL", "MODULE", "MSGF",   "MSGQ",   "NODGRP", "NODL",   "OUTQ",   "OVL",
    "PAGDFN", "PAGSEG", "PDG",    "PGM",    "PNLGRP", "PSFCFG", "QMFORM", "QMQRY",  "QRYDFN", "SBSD",
    "SCHIDX", "SPADCT", "SQLPKG", "SQLUDT", "SQLXSR", "SRVPGM", "SSND",   "SVRSTG", "TBL",    "USRIDX",
    "USRQ",   "USRSPC", "VLDL",   "WSCST",
};

} // namespace

HostStore::HostStore(fs::path root) : root_(std::move(root)) {}

std::optional<fs::path> HostStore::findLibrary(const std::string &name) const
{
    if (!isValidName(name))
        return std::nullopt;
    std::error_code ec;
    const fs::path exact = root_ / name;
    if (fs::is_directory(exact, ec))
        return exact;
    for (const auto &entry : fs::directory_iterator(root_, ec)) {
        const std::string file = entry.path().filename().string();
        if (upperAscii(file) == name && entry.is_directory(ec))
            return entry.path();
    }
    return std::nullopt;
}

fs::path HostStore::createLibrary(const std::string &name)
{
    const fs::path dir = root_ / name;
    fs::create_directories(dir);
    return dir;
}

std::vector<std::string> HostStore::libraries() const
{
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(root_, ec)) {
        const std::string name = upperAscii(entry.path().filename().string());
        if (entry.is_directory(ec) && isValidName(name))
            out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<ObjectEntry> HostStore::objects(const fs::path &libraryDir)
{
    std::vector<ObjectEntry> out;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(libraryDir, ec)) {
        if (!entry.is_regular_file(ec))
            continue;
        const std::string file = upperAscii(entry.path().filename().string());
        const auto dot = file.rfind('.');
        if (dot == std::string::npos || dot == 0)
            continue;
        ObjectEntry obj{file.substr(0, dot), file.substr(dot + 1), entry.path()};
        if (isValidName(obj.name) && isKnownType(obj.type))
            out.push_back(std::move(obj));
    }
    std::sort(out.begin(), out.end(), [](const ObjectEntry &a, const ObjectEntry &b) {
        return a.name != b.name ? a.name < b.name : a.type < b.type;
    });
    return out;
}

std::optional<fs::path> HostStore::findObject(const fs::path &libraryDir, const std::string &name,
                                              const std::string &type)
{
    std::error_code ec;
    const fs::path exact = libraryDir / (name + "." + type);
    if (fs::is_regular_file(exact, ec))
        return exact;
    for (const auto &obj : objects(libraryDir))
        if (obj.name == name && obj.type == type)
            return obj.path;
    return std::nullopt;
}

bool HostStore::isKnownType(const std::string &type)
{
    for (const char *known : kKnownTypes)
        if (type == known)
            return true;
    return false;
}

FileKind HostStore::fileKind(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return FileKind::None;
    char head[8] = {};
    in.read(head, sizeof head);
    if (in.gcount() == 8 && std::memcmp(head, "QSIMPF01", 8) == 0)
        return FileKind::Physical;
    return FileKind::SaveFile;
}

std::string HostStore::pfHeader(size_t recordLength)
{
    char buf[kPfHeaderLength + 1];
    std::snprintf(buf, sizeof buf, "QSIMPF01%08zu", recordLength);
    return std::string(buf, kPfHeaderLength);
}

size_t HostStore::pfRecordLength(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    char head[kPfHeaderLength] = {};
    in.read(head, sizeof head);
    if (in.gcount() != static_cast<std::streamsize>(kPfHeaderLength) || std::memcmp(head, "QSIMPF01", 8) != 0)
        return 0;
    size_t len = 0;
    for (size_t i = 8; i < kPfHeaderLength; ++i) {
        if (head[i] < '0' || head[i] > '9')
            return 0;
        len = len * 10 + static_cast<size_t>(head[i] - '0');
    }
    return len;
}

fs::path HostStore::tempPathFor(const fs::path &target)
{
    static std::atomic<unsigned> counter{0};
    return target.parent_path() /
           ("." + target.filename().string() + "." + std::to_string(::getpid()) + "-" +
            std::to_string(counter.fetch_add(1)) + ".tmp");
}

bool HostStore::writeFileAtomic(const fs::path &target, const std::string &bytes)
{
    const fs::path tmp = tempPathFor(target);
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            std::error_code ec;
            fs::remove(tmp, ec);
            return false;
        }
    }
    std::error_code ec;
    // A rewritten object keeps who may use it.
    const auto st = fs::status(target, ec);
    if (!ec && fs::exists(st))
        fs::permissions(tmp, st.permissions(), fs::perm_options::replace, ec);
    fs::rename(tmp, target, ec);
    if (ec) {
        fs::remove(tmp, ec);
        return false;
    }
    return true;
}

std::string HostStore::publicAuthority(const fs::path &object)
{
    std::error_code ec;
    const auto perms = fs::status(object, ec).permissions();
    if (ec)
        return {};
    if ((perms & fs::perms::others_write) != fs::perms::none)
        return "*CHANGE";
    if ((perms & fs::perms::others_read) != fs::perms::none)
        return "*USE";
    return "*EXCLUDE";
}

bool HostStore::setPublicAuthority(const fs::path &object, const std::string &aut)
{
    fs::perms mode = fs::perms::owner_read | fs::perms::owner_write;
    if (aut == "*USE")
        mode |= fs::perms::group_read | fs::perms::others_read;
    else if (aut != "*EXCLUDE")
        mode |= fs::perms::group_read | fs::perms::group_write | fs::perms::others_read | fs::perms::others_write;
    std::error_code ec;
    fs::permissions(object, mode, fs::perm_options::replace, ec);
    return !ec;
}

} // namespace hostsim
