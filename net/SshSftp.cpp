// SFTP (version 3, as OpenSSH's sftp-server and IBM i's speak it) over a
// channel of the session: packets framed by hand so that every wait is the
// session's own (event loop live, Abort and the time-out honoured), with
// reads and writes kept in flight to fill the channel window.

#include "net/SshSession.h"

#include <libssh/libssh.h>

#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <map>
#include <stdexcept>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

enum : uint8_t {
    FXP_INIT = 1, FXP_VERSION = 2, FXP_OPEN = 3, FXP_CLOSE = 4, FXP_READ = 5, FXP_WRITE = 6,
    FXP_FSTAT = 8, FXP_STAT = 17, FXP_STATUS = 101, FXP_HANDLE = 102, FXP_DATA = 103, FXP_ATTRS = 105,
};
enum : uint32_t { FX_OK = 0, FX_EOF = 1 };
enum : uint32_t { FXF_READ = 1, FXF_WRITE = 2, FXF_TRUNC = 0x10 };
enum : uint32_t { ATTR_SIZE = 1, ATTR_UIDGID = 2, ATTR_PERMISSIONS = 4, ATTR_ACMODTIME = 8 };

constexpr uint32_t kChunk = 64 * 1024;  // every server serves reads this large whole
constexpr size_t kInFlight = 32;        // 2 MiB on the way: more than loopback's window
constexpr uint32_t kMaxPacket = 1 << 20;

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

// A packet's payload, read field by field; a short one marks itself bad.
struct Reader {
    std::string_view p;
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
    // A view into the payload: valid as long as the packet is.
    std::string_view view()
    {
        const uint32_t n = u32();
        if (bad || at + n > p.size()) {
            bad = true;
            return {};
        }
        const std::string_view s = p.substr(at, n);
        at += n;
        return s;
    }
    std::string str() { return std::string(view()); }
    // ATTRS: the size when given, else -1.
    int64_t attrsSize()
    {
        const uint32_t flags = u32();
        int64_t size = -1;
        if (flags & ATTR_SIZE)
            size = static_cast<int64_t>(u64());
        return bad ? -1 : size;
    }
};

} // namespace

struct TSshSession::Sftp {
    TSshSession &s;
    ssh_channel ch = nullptr;
    std::string out;    // framed, not yet taken by the channel
    std::string in;     // received; whole packets are taken from `inAt` on
    size_t inAt = 0;
    uint32_t nextId = 1;

    explicit Sftp(TSshSession &session) : s(session) {}
    ~Sftp()
    {
        // A failure that ended the session freed the channel with it.
        if (ch && s.session_) {
            ssh_channel_close(ch);
            ssh_channel_free(ch);
        }
    }

    void open()
    {
        if (!s.session_)
            throw ESshError("Not connected to " + s.Host + " over SSH");
        s.progressMade();
        ch = ssh_channel_new(s.session_);
        if (!ch)
            s.fail("Cannot open an SSH channel to " + s.Host);
        int rc;
        while ((rc = ssh_channel_open_session(ch)) == SSH_AGAIN)
            s.wait();
        if (rc != SSH_OK)
            s.fail("Cannot open an SSH channel to " + s.Host);
        while ((rc = ssh_channel_request_subsystem(ch, "sftp")) == SSH_AGAIN)
            s.wait();
        if (rc != SSH_OK)
            s.fail("The host " + s.Host + " offers no SFTP (its sftp subsystem)");
        std::string init(1, static_cast<char>(FXP_INIT));
        putU32(init, 3);
        send(init);
        std::string_view reply;
        uint8_t type = receive(reply);
        if (type != FXP_VERSION)
            s.fail("The host " + s.Host + " did not start SFTP");
        Reader r{reply};
        if (r.u32() < 3)
            s.fail("The host " + s.Host + " speaks an SFTP older than version 3");
    }

    // type, then fields; returns its request id.
    uint32_t request(uint8_t type, const std::string &fields)
    {
        const uint32_t id = nextId++;
        std::string p(1, static_cast<char>(type));
        putU32(p, id);
        send(p + fields);
        return id;
    }

    // A request goes out at once (as far as the channel takes it): replies
    // already here must not hold it back, or the requests in flight drain.
    void send(const std::string &payload)
    {
        putU32(out, static_cast<uint32_t>(payload.size()));
        out += payload;
        flush();
    }

    bool flush()
    {
        bool moved = false;
        while (!out.empty()) {
            const int w =
                ssh_channel_write(ch, out.data(), static_cast<uint32_t>(std::min<size_t>(out.size(), 1 << 20)));
            if (w == SSH_ERROR)
                s.fail("The SFTP transfer with " + s.Host + " was broken off");
            if (w <= 0)
                break;
            out.erase(0, static_cast<size_t>(w));
            moved = true;
        }
        return moved;
    }

    // Moves what it can both ways; true when anything moved.
    bool step()
    {
        bool moved = flush();
        // What was taken goes before more comes in; one copy per byte.
        if (inAt > 0) {
            in.erase(0, inAt);
            inAt = 0;
        }
        char buf[256 * 1024];
        // Enough for the packets in flight, no more: the channel's window
        // holds the rest back.
        while (in.size() < 4 * 1024 * 1024) {
            const int n = ssh_channel_read_nonblocking(ch, buf, sizeof buf, 0);
            if (n == SSH_ERROR)
                s.fail("The connection to " + s.Host + " broke off");
            if (n <= 0)
                break;
            in.append(buf, static_cast<size_t>(n));
            moved = true;
        }
        // Whatever the server says on stderr is not SFTP; it is dropped.
        while (ssh_channel_read_nonblocking(ch, buf, sizeof buf, 1) > 0) {
        }
        if (moved)
            s.progressMade();
        return moved;
    }

    // The next whole packet: its type, its payload after the type in
    // `payload`, a view that holds until the next receive.
    uint8_t receive(std::string_view &payload)
    {
        for (;;) {
            if (in.size() - inAt >= 4) {
                Reader r{in, inAt};
                const uint32_t len = r.u32();
                // Start-up text of a shell, or anything else that is no SFTP.
                if (len == 0 || len > kMaxPacket)
                    s.fail("The host " + s.Host + " sent something that is not SFTP" +
                           (nextId <= 1 ? " (text from the shell's start-up files?)" : ""));
                if (in.size() - inAt >= 4 + static_cast<size_t>(len)) {
                    const uint8_t type = static_cast<uint8_t>(in[inAt + 4]);
                    payload = std::string_view(in).substr(inAt + 5, len - 1);
                    inAt += 4 + static_cast<size_t>(len);
                    return type;
                }
            }
            if (!step()) {
                if (ssh_channel_is_eof(ch) || ssh_channel_is_closed(ch))
                    s.fail("The host " + s.Host + " ended SFTP in the middle of a transfer");
                s.wait();
            }
        }
    }

    // Reply to a request: STATUS text, or the typed payload after the id.
    struct Reply {
        uint8_t type = 0;
        uint32_t id = 0;
        uint32_t status = FX_OK;
        std::string message;
        std::string_view rest; // after the id, until the next reply
    };
    Reply next()
    {
        Reply rp;
        std::string_view p;
        rp.type = receive(p);
        Reader r{p};
        rp.id = r.u32();
        rp.rest = p.substr(std::min<size_t>(4, p.size()));
        if (rp.type == FXP_STATUS) {
            rp.status = r.u32();
            rp.message = r.str();
        }
        if (r.bad)
            s.fail("The host " + s.Host + " sent a broken SFTP reply");
        return rp;
    }

    static std::string statusText(const Reply &rp, const std::string &what)
    {
        static const char *const kNames[] = {"ok", "end of file", "no such file", "permission denied", "failure",
                                             "bad message", "no connection", "connection lost",
                                             "operation unsupported"};
        std::string text = rp.message;
        if (text.empty())
            text = rp.status < 9 ? kNames[rp.status] : "status " + std::to_string(rp.status);
        return what + ": " + text;
    }

    // OPEN: the handle, or the host's reason in `error`.
    std::string openFile(const std::string &path, uint32_t flags, std::string &error)
    {
        std::string f;
        putString(f, path);
        putU32(f, flags);
        putU32(f, 0); // no attributes
        request(FXP_OPEN, f);
        const Reply rp = next();
        if (rp.type == FXP_HANDLE) {
            Reader r{rp.rest};
            const std::string h = r.str();
            if (!r.bad)
                return h;
        }
        error = rp.type == FXP_STATUS ? statusText(rp, "cannot open " + path) : "cannot open " + path;
        return {};
    }

    // STAT of a path or FSTAT of a handle: the size, or -1 with `error`.
    int64_t size(uint8_t type, const std::string &pathOrHandle, std::string &error)
    {
        std::string f;
        putString(f, pathOrHandle);
        request(type, f);
        const Reply rp = next();
        if (rp.type == FXP_ATTRS) {
            Reader r{rp.rest};
            const int64_t n = r.attrsSize();
            if (n >= 0)
                return n;
            error = "the host gave no size for the file";
        } else {
            error = statusText(rp, "cannot read the file's size");
        }
        return -1;
    }

    // CLOSE: empty when done, else the host's reason.
    std::string close(const std::string &handle)
    {
        std::string f;
        putString(f, handle);
        request(FXP_CLOSE, f);
        const Reply rp = next();
        if (rp.type == FXP_STATUS && rp.status == FX_OK)
            return {};
        return rp.type == FXP_STATUS ? statusText(rp, "the host could not close the file") : "bad reply to CLOSE";
    }
};

TSftpResult TSshSession::GetFile(const std::string &remotePath, const TSshSink &sink,
                                 const TSshProgressEvent &progress)
{
    TSftpResult result;
    Sftp f(*this);
    f.open();
    const std::string handle = f.openFile(remotePath, FXF_READ, result.Error);
    if (handle.empty())
        return result;
    // The size of the file opened, not of whatever the path names later.
    const int64_t total = f.size(FXP_FSTAT, handle, result.Error);
    if (total < 0) {
        f.close(handle);
        return result;
    }
    result.Size = total;
    if (progress)
        progress(0, total);
    struct Want {
        uint64_t offset;
        uint32_t len;
    };
    std::map<uint32_t, Want> asked;          // by request id
    std::deque<Want> gaps;                   // short reads to ask again
    std::map<uint64_t, std::string> early;   // arrived ahead of what the sink has
    uint64_t next = 0, delivered = 0;
    const uint64_t size = static_cast<uint64_t>(total);
    bool probed = false; // the read past the end, which must find EOF
    std::string problem;
    const auto read = [&](uint64_t offset, uint32_t len) {
        std::string r;
        putString(r, handle);
        putU64(r, offset);
        putU32(r, len);
        asked[f.request(FXP_READ, r)] = Want{offset, len};
    };
    while (problem.empty() && (delivered < size || !probed || !asked.empty())) {
        while (problem.empty() && asked.size() < kInFlight && (!gaps.empty() || next < size)) {
            if (!gaps.empty()) {
                read(gaps.front().offset, gaps.front().len);
                gaps.pop_front();
            } else {
                const uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(kChunk, size - next));
                read(next, len);
                next += len;
            }
        }
        if (delivered == size && next == size && gaps.empty() && !probed) {
            read(size, 1);
            probed = true;
        }
        const TSshSession::Sftp::Reply rp = f.next();
        const auto it = asked.find(rp.id);
        if (it == asked.end()) {
            problem = "the host answered a request that was not made";
            break;
        }
        const Want want = it->second;
        asked.erase(it);
        if (want.offset >= size) {
            // The probe: anything but EOF means the file is longer than stated.
            if (!(rp.type == FXP_STATUS && rp.status == FX_EOF))
                problem = rp.type == FXP_DATA ? "the file on the host is longer than the " +
                                                    std::to_string(size) + " bytes it stated"
                                              : Sftp::statusText(rp, "cannot read " + remotePath);
            continue;
        }
        if (rp.type == FXP_STATUS) {
            problem = rp.status == FX_EOF ? "the file on the host ended after " + std::to_string(want.offset) +
                                                " of the " + std::to_string(size) + " bytes it stated"
                                          : Sftp::statusText(rp, "cannot read " + remotePath);
            continue;
        }
        Reader r{rp.rest};
        const std::string_view data = r.view();
        if (rp.type != FXP_DATA || r.bad || data.empty() || data.size() > want.len) {
            problem = "the host sent a broken SFTP reply to a read";
            continue;
        }
        if (data.size() < want.len)
            gaps.push_back(Want{want.offset + data.size(), static_cast<uint32_t>(want.len - data.size())});
        // In order to the sink, straight from the packet; what came early
        // waits (at most what is in flight).
        if (want.offset == delivered) {
            sink(data.data(), data.size());
            delivered += data.size();
        } else {
            early.emplace(want.offset, std::string(data));
        }
        for (auto e = early.begin(); e != early.end() && e->first == delivered; e = early.begin()) {
            sink(e->second.data(), e->second.size());
            delivered += e->second.size();
            early.erase(e);
        }
        if (progress)
            progress(static_cast<int64_t>(delivered), total);
    }
    // Replies still on the way are read before the handle goes.
    while (!asked.empty()) {
        const auto rp = f.next();
        asked.erase(rp.id);
    }
    const std::string closed = f.close(handle);
    result.Ok = problem.empty();
    result.Error = problem;
    (void)closed; // a read handle that will not close leaves nothing behind
    return result;
}

TSftpResult TSshSession::PutFile(const TSshSource &source, int64_t size, const std::string &remotePath,
                                 const TSshProgressEvent &progress)
{
    TSftpResult result;
    Sftp f(*this);
    f.open();
    const std::string handle = f.openFile(remotePath, FXF_WRITE | FXF_TRUNC, result.Error);
    if (handle.empty())
        return result;
    std::map<uint32_t, uint64_t> asked; // id -> length
    uint64_t sent = 0, acknowledged = 0;
    bool end = false;
    std::string problem;
    std::string chunk(kChunk, '\0');
    while (problem.empty() && (!end || !asked.empty())) {
        while (!end && problem.empty() && asked.size() < kInFlight) {
            const size_t n = source(chunk.data(), chunk.size());
            if (n == 0) {
                end = true;
                break;
            }
            std::string w;
            putString(w, handle);
            putU64(w, sent);
            putString(w, chunk.substr(0, n));
            asked[f.request(FXP_WRITE, w)] = n;
            sent += n;
        }
        if (asked.empty())
            break;
        const auto rp = f.next();
        const auto it = asked.find(rp.id);
        if (it == asked.end()) {
            problem = "the host answered a request that was not made";
            break;
        }
        if (rp.type != FXP_STATUS || rp.status != FX_OK) {
            problem = rp.type == FXP_STATUS ? Sftp::statusText(rp, "cannot write " + remotePath)
                                            : "the host sent a broken SFTP reply to a write";
        }
        acknowledged += it->second;
        asked.erase(it);
        if (progress)
            progress(static_cast<int64_t>(acknowledged), size);
    }
    while (!asked.empty()) {
        const auto rp = f.next();
        asked.erase(rp.id);
    }
    // The host takes the file as a whole at CLOSE (a save file checks its
    // records then): its refusal is the transfer's failure.
    const std::string closed = f.close(handle);
    if (problem.empty())
        problem = closed;
    if (problem.empty() && size >= 0 && static_cast<int64_t>(sent) != size)
        problem = "the local file changed while it was sent (" + std::to_string(sent) + " of " +
                  std::to_string(size) + " bytes)";
    if (problem.empty()) {
        std::string error;
        result.Size = f.size(FXP_STAT, remotePath, error);
        if (result.Size < 0)
            problem = error;
        else if (result.Size != static_cast<int64_t>(sent))
            problem = "the host holds " + std::to_string(result.Size) + " bytes of the " + std::to_string(sent) +
                      " sent";
    }
    result.Ok = problem.empty();
    result.Error = problem;
    return result;
}

int64_t TSshSession::FileSize(const std::string &remotePath, std::string &error)
{
    Sftp f(*this);
    f.open();
    return f.size(FXP_STAT, remotePath, error);
}

TSftpResult TSshSession::GetFile(const std::string &remotePath, const std::string &localPath,
                                 const TSshProgressEvent &progress)
{
    const int fd = ::open(localPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error("Cannot create " + localPath);
    struct Closer {
        int fd;
        ~Closer()
        {
            if (fd >= 0)
                ::close(fd);
        }
    } closer{fd};
    TSftpResult r = GetFile(
        remotePath,
        [&](const char *p, size_t n) {
            while (n > 0) {
                const ssize_t w = ::write(fd, p, n);
                if (w < 0 && errno == EINTR)
                    continue;
                if (w <= 0)
                    throw std::runtime_error("Cannot write " + localPath);
                p += w;
                n -= static_cast<size_t>(w);
            }
        },
        progress);
    closer.fd = -1;
    if (::close(fd) != 0)
        throw std::runtime_error("Cannot write " + localPath);
    return r;
}

TSftpResult TSshSession::PutFile(const std::string &localPath, const std::string &remotePath,
                                 const TSshProgressEvent &progress)
{
    const int fd = ::open(localPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("Cannot open " + localPath);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    ::fstat(fd, &st);
    return PutFile(
        [&](char *buf, size_t max) -> size_t {
            for (;;) {
                const ssize_t n = ::read(fd, buf, max);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    throw std::runtime_error("Cannot read " + localPath);
                return static_cast<size_t>(n);
            }
        },
        static_cast<int64_t>(st.st_size), remotePath, progress);
}
