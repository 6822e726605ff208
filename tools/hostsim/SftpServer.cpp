#include "SftpServer.h"

#include "SaveFile.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace hostsim
{
namespace
{

enum : uint8_t {
    FXP_INIT = 1, FXP_VERSION = 2, FXP_OPEN = 3, FXP_CLOSE = 4, FXP_READ = 5, FXP_WRITE = 6, FXP_LSTAT = 7,
    FXP_FSTAT = 8, FXP_REALPATH = 16, FXP_STAT = 17, FXP_STATUS = 101, FXP_HANDLE = 102, FXP_DATA = 103,
    FXP_NAME = 104, FXP_ATTRS = 105,
};
enum : uint32_t {
    FX_OK = 0, FX_EOF = 1, FX_NO_SUCH_FILE = 2, FX_PERMISSION_DENIED = 3, FX_FAILURE = 4, FX_BAD_MESSAGE = 5,
    FX_OP_UNSUPPORTED = 8,
};
enum : uint32_t { FXF_READ = 1, FXF_WRITE = 2 };
constexpr uint32_t kMaxRead = 256 * 1024;
constexpr uint32_t kMaxPacket = 1024 * 1024;

void putU32(std::string &b, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        b += static_cast<char>((v >> s) & 0xFF);
}
void putU64(std::string &b, uint64_t v)
{
    putU32(b, static_cast<uint32_t>(v >> 32));
    putU32(b, static_cast<uint32_t>(v));
}
void putString(std::string &b, const std::string &s)
{
    putU32(b, static_cast<uint32_t>(s.size()));
    b += s;
}

struct Reader {
    const std::string &p;
    size_t at = 0;
    bool bad = false;
    uint32_t u32()
    {
        if (at + 4 > p.size()) {
            bad = true;
            return 0;
        }
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = (v << 8) | static_cast<unsigned char>(p[at++]);
        return v;
    }
    uint64_t u64()
    {
        const uint64_t hi = u32();
        return (hi << 32) | u32();
    }
    std::string str()
    {
        const uint32_t n = u32();
        if (bad || at + n > p.size()) {
            bad = true;
            return {};
        }
        std::string s = p.substr(at, n);
        at += n;
        return s;
    }
};

bool readAll(int fd, char *p, size_t n)
{
    while (n > 0) {
        const ssize_t r = ::read(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
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

struct Open {
    std::string path; // as the client named it
    fs::path object;
    fs::path temp;    // a write goes here until CLOSE
    int fd = -1;
    bool writing = false;
    uint64_t end = 0; // the highest byte written + 1
};

class Server
{
public:
    Server(HostStore &store, const SshConfig &config, int in, int out)
        : store_(store), config_(config), in_(in), out_(out)
    {
    }

    int run()
    {
        std::string packet;
        while (readPacket(packet)) {
            if (packet.empty())
                return 2;
            const uint8_t type = static_cast<uint8_t>(packet[0]);
            const std::string body = packet.substr(1);
            if (type == FXP_INIT) {
                std::string v(1, static_cast<char>(FXP_VERSION));
                putU32(v, 3);
                send(v);
                continue;
            }
            Reader r{body};
            const uint32_t id = r.u32();
            if (!handle(type, id, r))
                return 0;
        }
        for (auto &[h, o] : open_)
            discard(o);
        return 0;
    }

private:
    bool readPacket(std::string &packet)
    {
        char len[4];
        if (!readAll(in_, len, 4))
            return false;
        std::string l(len, 4);
        Reader r{l};
        const uint32_t n = r.u32();
        if (n == 0 || n > kMaxPacket) {
            packet.clear();
            return true;
        }
        packet.assign(n, '\0');
        return readAll(in_, packet.data(), n);
    }

    void send(const std::string &payload)
    {
        std::string p;
        putU32(p, static_cast<uint32_t>(payload.size()));
        p += payload;
        writeAll(out_, p.data(), p.size());
    }

    void status(uint32_t id, uint32_t code, const std::string &message)
    {
        std::string s(1, static_cast<char>(FXP_STATUS));
        putU32(s, id);
        putU32(s, code);
        putString(s, message);
        putString(s, "en");
        send(s);
    }

    void attrs(uint32_t id, const fs::path &file, bool directory)
    {
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0) {
            status(id, FX_NO_SUCH_FILE, "CPFA0A7: Path name not found.");
            return;
        }
        std::string a(1, static_cast<char>(FXP_ATTRS));
        putU32(a, id);
        putU32(a, 1 | 4 | 8); // size, permissions, times
        putU64(a, directory ? 0 : static_cast<uint64_t>(st.st_size));
        putU32(a, static_cast<uint32_t>(st.st_mode));
        putU32(a, static_cast<uint32_t>(st.st_atime));
        putU32(a, static_cast<uint32_t>(st.st_mtime));
        send(a);
    }

    // The save file a path names, when it exists and is one.
    std::optional<fs::path> saveFile(const std::string &path)
    {
        std::string library, file;
        if (!saveFilePath(path, library, file))
            return std::nullopt;
        const auto dir = store_.findLibrary(library);
        if (!dir)
            return std::nullopt;
        const auto object = HostStore::findObject(*dir, file, "FILE");
        if (!object || HostStore::fileKind(*object) != FileKind::SaveFile)
            return std::nullopt;
        return object;
    }

    void discard(Open &o)
    {
        if (o.fd >= 0)
            ::close(o.fd);
        o.fd = -1;
        if (o.writing) {
            std::error_code ec;
            fs::remove(o.temp, ec);
        }
    }

    bool handle(uint8_t type, uint32_t id, Reader &r)
    {
        switch (type) {
        case FXP_REALPATH: {
            std::string path = r.str();
            if (path.empty() || path == ".")
                path = "/";
            std::string n(1, static_cast<char>(FXP_NAME));
            putU32(n, id);
            putU32(n, 1);
            putString(n, path);
            putString(n, path);
            putU32(n, 0);
            send(n);
            return true;
        }
        case FXP_STAT:
        case FXP_LSTAT: {
            const std::string path = r.str();
            if (const auto object = saveFile(path))
                attrs(id, *object, false);
            else
                status(id, FX_NO_SUCH_FILE, "CPFA0A7: Path name " + path + " not found.");
            return true;
        }
        case FXP_OPEN: return openFile(id, r);
        case FXP_FSTAT: {
            const auto it = open_.find(r.str());
            if (it == open_.end()) {
                status(id, FX_FAILURE, "bad handle");
                return true;
            }
            attrs(id, it->second.writing ? it->second.temp : it->second.object, false);
            return true;
        }
        case FXP_READ: return read(id, r);
        case FXP_WRITE: {
            const auto it = open_.find(r.str());
            const uint64_t offset = r.u64();
            const std::string data = r.str();
            if (it == open_.end() || !it->second.writing || r.bad) {
                status(id, FX_FAILURE, "bad handle");
                return true;
            }
            if (::pwrite(it->second.fd, data.data(), data.size(), static_cast<off_t>(offset)) !=
                static_cast<ssize_t>(data.size())) {
                status(id, FX_FAILURE, "CPFA0BB: Error writing to " + it->second.path + ".");
                return true;
            }
            it->second.end = std::max<uint64_t>(it->second.end, offset + data.size());
            status(id, FX_OK, "");
            return true;
        }
        case FXP_CLOSE: return close(id, r.str());
        default: status(id, FX_OP_UNSUPPORTED, "not offered by this host"); return true;
        }
    }

    bool openFile(uint32_t id, Reader &r)
    {
        const std::string path = r.str();
        const uint32_t flags = r.u32();
        if (r.bad) {
            status(id, FX_BAD_MESSAGE, "bad message");
            return true;
        }
        const auto object = saveFile(path);
        if (!object) {
            status(id, FX_NO_SUCH_FILE, "CPFA0A7: Path name " + path + " not found.");
            return true;
        }
        const bool writing = (flags & FXF_WRITE) != 0;
        if (writing && (flags & FXF_READ)) {
            status(id, FX_PERMISSION_DENIED, "CPFA09E: Object in use. Object is " + path + ".");
            return true;
        }
        logLine(config_, std::string("sftp ") + (writing ? "write " : "read ") + path + " *PUBLIC " +
                              HostStore::publicAuthority(*object));
        Open o;
        o.path = path;
        o.object = *object;
        o.writing = writing;
        std::error_code ec;
        if (writing) {
            // Stream writes need an empty save file, as the host's do.
            if (fs::file_size(*object, ec) != 0) {
                status(id, FX_FAILURE, "CPFA0BB: Save file " + path + " is not empty.");
                return true;
            }
            o.temp = HostStore::tempPathFor(*object);
            o.fd = ::open(o.temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        } else {
            o.fd = ::open(object->c_str(), O_RDONLY | O_CLOEXEC);
        }
        if (o.fd < 0) {
            status(id, FX_FAILURE, "CPFA0A9: Object " + path + " not found or in use.");
            return true;
        }
        const std::string handle = "H" + std::to_string(nextHandle_++);
        open_[handle] = o;
        std::string h(1, static_cast<char>(FXP_HANDLE));
        putU32(h, id);
        putString(h, handle);
        send(h);
        return true;
    }

    bool read(uint32_t id, Reader &r)
    {
        const auto it = open_.find(r.str());
        const uint64_t offset = r.u64();
        uint32_t len = std::min(r.u32(), kMaxRead);
        if (it == open_.end() || it->second.writing || r.bad) {
            status(id, FX_FAILURE, "bad handle");
            return true;
        }
        const long long at = static_cast<long long>(offset);
        if (config_.stallTransferAfter >= 0 && at + len > config_.stallTransferAfter) {
            // A host that stops answering: requests are taken and dropped
            // until the client goes.
            char sink[4096];
            while (::read(in_, sink, sizeof sink) > 0) {
            }
            return false;
        }
        if (config_.abortTransferAfter >= 0 && at >= config_.abortTransferAfter) {
            status(id, FX_FAILURE, "CPFA0BA: Error reading from " + it->second.path + ".");
            return true;
        }
        if (config_.abortTransferAfter >= 0)
            len = static_cast<uint32_t>(std::min<long long>(len, config_.abortTransferAfter - at));
        std::string data(len, '\0');
        const ssize_t n = ::pread(it->second.fd, data.data(), len, static_cast<off_t>(offset));
        if (n < 0) {
            status(id, FX_FAILURE, "CPFA0BA: Error reading from " + it->second.path + ".");
            return true;
        }
        if (n == 0 && len > 0) {
            status(id, FX_EOF, "");
            return true;
        }
        data.resize(static_cast<size_t>(n));
        if (config_.dropConnectionAfter >= 0 && at + n > config_.dropConnectionAfter) {
            // The network fails: the session above us goes, no status.
            ::kill(::getppid(), SIGKILL);
            ::_exit(2);
        }
        std::string d(1, static_cast<char>(FXP_DATA));
        putU32(d, id);
        putString(d, data);
        send(d);
        return true;
    }

    bool close(uint32_t id, const std::string &handle)
    {
        const auto it = open_.find(handle);
        if (it == open_.end()) {
            status(id, FX_FAILURE, "bad handle");
            return true;
        }
        Open o = it->second;
        open_.erase(it);
        if (!o.writing) {
            ::close(o.fd);
            status(id, FX_OK, "");
            return true;
        }
        struct stat st {};
        const bool whole = ::fstat(o.fd, &st) == 0 && static_cast<uint64_t>(st.st_size) == o.end &&
                           o.end % kSavfRecordLength == 0 && ::fsync(o.fd) == 0;
        ::close(o.fd);
        o.fd = -1;
        // A save file holds whole 528-byte records: anything else could
        // never be restored, and the save file stays as it was.
        if (!whole) {
            discard(o);
            status(id, FX_FAILURE, "CPF3782: File " + o.path + " is not a save file: " + std::to_string(o.end) +
                                       " bytes are no whole records.");
            return true;
        }
        std::lock_guard<std::mutex> lock(store_.mutex());
        const std::string aut = HostStore::publicAuthority(o.object);
        std::error_code ec;
        fs::rename(o.temp, o.object, ec);
        if (ec || !HostStore::setPublicAuthority(o.object, aut)) {
            discard(o);
            status(id, FX_FAILURE, "CPFA0BB: Error writing to " + o.path + ".");
            return true;
        }
        status(id, FX_OK, "");
        return true;
    }

    HostStore &store_;
    const SshConfig &config_;
    int in_, out_;
    std::map<std::string, Open> open_;
    int nextHandle_ = 1;
};

} // namespace

int serveSftp(HostStore &store, const SshConfig &config, int in, int out)
{
    return Server(store, config, in, out).run();
}

} // namespace hostsim
