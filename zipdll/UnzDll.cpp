// libunzdll.so: extracts and tests members of a zip archive for TZipBuilder.
//
// Every file is written to a temporary name beside its target and renamed
// into place only when its data is complete, so a failed or cancelled
// extract never leaves a half-written file under the real name. Names are
// confined to the extraction folder: "..", absolute paths and drive letters
// never lead outside, and folders are opened without following symlinks.

#include "PrintableName.h"
#include "ZipAes.h"
#include "ZipFormat.h"
#include "ZipMethods.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <memory>
#include <random>
#include <set>
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
    Fd(Fd &&o) noexcept : fd(o.fd) { o.fd = -1; }
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

// Splits a member name into safe path components. Names that climb out
// (".."), hold control characters (a NUL, a newline or an ESC sequence in a
// file name written to disk) or have nothing left to create are refused.
enum class NameCheck { Ok, Climbs, Control, Empty };

NameCheck safeParts(const std::string &name, bool dirNames, std::vector<std::string> &parts)
{
    parts.clear();
    if (hasControl(name))
        return NameCheck::Control;
    std::string n = name;
    std::replace(n.begin(), n.end(), '\\', '/');
    // A drive letter ("C:") means nothing here; drop it as bsdtar does.
    if (n.size() >= 2 && n[1] == ':' && std::isalpha(static_cast<unsigned char>(n[0])))
        n.erase(0, 2);
    size_t i = 0;
    while (i <= n.size()) {
        size_t j = n.find('/', i);
        if (j == std::string::npos)
            j = n.size();
        std::string part = n.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..")
            return NameCheck::Climbs;
        parts.push_back(part);
    }
    if (!dirNames && !parts.empty())
        parts.erase(parts.begin(), parts.end() - 1);
    return parts.empty() ? NameCheck::Empty : NameCheck::Ok;
}

// How one encrypted member is read: the cipher, the bytes in front of the
// data (ZipCrypto header, AES salt and verifier) and behind it (AES
// authentication code).
struct MemberKey {
    std::unique_ptr<ZipCrypto> zipCrypto;
    std::unique_ptr<AesCipher> aes;
    uint64_t header = 0, trailer = 0;
    void decrypt(uint8_t *d, size_t n)
    {
        if (aes)
            aes->decrypt(d, n);
        else if (zipCrypto)
            zipCrypto->decrypt(d, n);
    }
};

// Room for the name in a message line, leaving the reason its place in the
// callback's text.
constexpr size_t kShownName = 300;

class Extractor {
public:
    explicit Extractor(UnzDllParams *p)
        : p_(p), rep_(p->Callback, p->OwnerWindow, p->Caller, false, UNZDLL_VERSION)
    {
    }
    ~Extractor()
    {
        endStream(false); // never reached, or the run ended early
        wipe(goodPassword_);
    }
    int32_t run();

private:
    enum class Outcome { Done, Skipped, Aborted };
    Outcome extractOne(const CentralEntry &e);
    bool openPassword(const CentralEntry &e, const std::function<bool(const std::string &)> &attempt);
    enum class Key { Ok, NoPassword, ReadError };
    Key openKey(const CentralEntry &e, uint64_t dataStart, const AesExtra *aes, MemberKey &key);
    enum class Dec { Ok, ReadError, Damaged, WriteError, Aborted, AuthFailed };
    Dec decode(const CentralEntry &e, MethodDecoder &method, uint64_t dataStart, MemberKey *key,
               const std::function<bool(const uint8_t *, size_t)> &sink, uint32_t &crc);
    // Reads `left` bytes from `pos` on, decrypts and decompresses them;
    // leaves pos and left where the stream ended.
    Dec decodeData(MethodDecoder &method, uint64_t &pos, uint64_t &left, MemberKey *crypt, uint64_t usize,
                   const std::function<bool(const uint8_t *, size_t)> &sink, uint32_t &crc);
    int openParent(const std::vector<std::string> &parts, size_t count, bool create);
    void skip(const CentralEntry &e, int32_t error, UnzSkipType type, const std::string &why)
    {
        rep_.message(error, printableName(e.name, kShownName) + ": " + why);
        rep_.call(zacSkipped, error, type, e.name);
    }
    void info(const std::string &text)
    {
        if (p_->Verbose)
            rep_.message(0, text);
    }
    // Tells the stream's receiver, once, whether it got the member whole.
    void endStream(bool whole)
    {
        if (stream_ && !streamEnded_) {
            streamEnded_ = true;
            stream_->End(stream_->Context, whole ? 1 : 0);
        }
    }

    UnzDllParams *p_;
    Reporter rep_;
    Fd archive_;
    Fd base_;
    Directory dir_;
    std::string goodPassword_;
    std::unique_ptr<uint8_t[]> inBuf_, outBuf_; // kIoBlock each, not zero-filled
    std::set<std::vector<std::string>> written_; // paths this run has written
    const UnzStreamTarget *stream_ = nullptr;    // the member that goes to callbacks
    bool streamEnded_ = false;
    bool streamStopped_ = false; // its Write asked to stop
};

int32_t Extractor::run()
{
    if (p_->Seven != ZIPDLL_RECORD_MARK || !p_->ArchiveName || p_->SpecCount < 0 ||
        (p_->SpecCount > 0 && !p_->Specs)) {
        rep_.message(zdeParams, "Unzip library called with an unusable parameter record");
        return 0;
    }
    if (p_->Stream && p_->Stream->End)
        stream_ = p_->Stream; // from here on its End is called once, whatever happens
    if (p_->Stream && (!stream_ || !p_->Stream->Member || !p_->Stream->Write)) {
        rep_.message(zdeParams, "Unzip library called with an unusable stream record");
        return 0;
    }
    const std::string archiveName = p_->ArchiveName;
    archive_ = Fd(::open(archiveName.c_str(), O_RDONLY | O_CLOEXEC));
    if (!archive_) {
        rep_.message(zdeOpen, "Cannot open archive " + archiveName + ": " + std::strerror(errno));
        return 0;
    }
    std::string error;
    if (!readDirectory(archive_.fd, dir_, error, p_->CodePage)) {
        rep_.message(zdeFormat, "Archive " + archiveName + " is damaged: " + error);
        return 0;
    }
    if (p_->Password)
        goodPassword_ = std::string(p_->Password).substr(0, ZCB_MAX_PASSWORD);
    const bool toMemory = p_->ExtractToMemory != 0;
    if (!p_->Test && !toMemory) {
        base_ = Fd(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!base_) {
            rep_.message(zdeOpen, std::string("Cannot open the extraction folder: ") + std::strerror(errno));
            return 0;
        }
    }

    std::vector<const CentralEntry *> chosen;
    uint64_t total = 0;
    for (const auto &e : dir_.entries) {
        bool wanted = p_->SpecCount == 0;
        for (int32_t i = 0; !wanted && i < p_->SpecCount; ++i)
            wanted = p_->Specs[i].Spec && wildMatch(p_->Specs[i].Spec, e.name);
        if (!wanted || (toMemory && e.isDir()))
            continue;
        chosen.push_back(&e);
        total += e.usize;
        if (toMemory)
            break; // one member only: the buffer is sized for it
    }
    if (chosen.empty()) {
        rep_.message(zdeNothing, "No member of " + archiveName + " matches");
        rep_.call(zacBatchEnd, 0, 0, {});
        return 0;
    }
    rep_.call(zacFileCount, 0, static_cast<uint32_t>(chosen.size()), {});
    rep_.size(zacTotalBytes, total);
    inBuf_ = std::make_unique_for_overwrite<uint8_t[]>(kIoBlock);
    outBuf_ = std::make_unique_for_overwrite<uint8_t[]>(kIoBlock);

    int32_t processed = 0;
    for (const CentralEntry *e : chosen) {
        if (rep_.stopped())
            break;
        Outcome o = extractOne(*e);
        if (o == Outcome::Done && !e->isDir())
            ++processed;
        if (o == Outcome::Aborted)
            break;
    }
    if (rep_.stopped())
        rep_.message(zdeAborted, "Extract stopped by the user");
    else if (stream_ && !streamEnded_)
        rep_.message(zdeNothing, printableName(stream_->Member, kShownName) +
                                     ": not found among the members selected in " + archiveName);
    rep_.call(zacBatchEnd, 0, 0, {});
    return processed;
}

int Extractor::openParent(const std::vector<std::string> &parts, size_t count, bool create)
{
    int fd = ::dup(base_.fd);
    for (size_t i = 0; fd >= 0 && i < count; ++i) {
        if (create)
            ::mkdirat(fd, parts[i].c_str(), 0777);
        // O_NOFOLLOW: a symlink planted in the target folder must not carry
        // the files somewhere else.
        int next = ::openat(fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    return fd;
}

bool Extractor::openPassword(const CentralEntry &e, const std::function<bool(const std::string &)> &attempt)
{
    if (!goodPassword_.empty() && attempt(goodPassword_))
        return true;
    uint32_t tries = static_cast<uint32_t>(std::clamp(p_->PasswordReqCount, 0, 15));
    // Bounded even if the handler keeps raising its repeat count.
    for (int asked = 0; tries > 0 && asked < 32; ++asked) {
        if (rep_.call(zacPassword, 0, tries, e.name) != 0)
            return false;
        const ZCallBackStruct &r = rep_.record();
        if (r.ErrorCode != 1)
            return false;
        std::string pw = rep_.replyText().substr(0, ZCB_MAX_PASSWORD);
        if (!pw.empty() && attempt(pw)) {
            wipe(goodPassword_);
            goodPassword_ = std::move(pw);
            return true;
        }
        wipe(pw);
        tries = std::min<uint32_t>(r.FileSize, 15);
        if (tries > 0)
            --tries;
    }
    return false;
}

Extractor::Key Extractor::openKey(const CentralEntry &e, uint64_t dataStart, const AesExtra *aes, MemberKey &key)
{
    if (aes) {
        const size_t saltLen = aesSaltSize(aes->strength);
        uint8_t head[16 + kAesVerifierSize];
        if (!readAll(archive_.fd, head, saltLen + kAesVerifierSize, dataStart))
            return Key::ReadError;
        key.header = saltLen + kAesVerifierSize;
        key.trailer = kAesTagSize;
        return openPassword(e, [&](const std::string &pw) {
                   auto c = std::make_unique<AesCipher>();
                   if (!c->open(pw, aes->strength, head, head + saltLen))
                       return false;
                   key.aes = std::move(c);
                   return true;
               })
                   ? Key::Ok
                   : Key::NoPassword;
    }
    uint8_t header[12];
    if (!readAll(archive_.fd, header, sizeof header, dataStart))
        return Key::ReadError;
    key.header = 12;
    // With a data descriptor the check byte is the high byte of the time,
    // since the CRC was not known when the header was encrypted.
    const uint8_t check = (e.flags & kFlagDescriptor) ? static_cast<uint8_t>(e.dosTime >> 8)
                                                      : static_cast<uint8_t>(e.crc >> 24);
    return openPassword(e, [&](const std::string &pw) {
               auto c = std::make_unique<ZipCrypto>(pw);
               uint8_t h[12];
               std::memcpy(h, header, 12);
               c->decrypt(h, 12);
               if (h[11] != check)
                   return false;
               key.zipCrypto = std::move(c);
               return true;
           })
               ? Key::Ok
               : Key::NoPassword;
}

Extractor::Dec Extractor::decode(const CentralEntry &e, MethodDecoder &method, uint64_t dataStart, MemberKey *key,
                                 const std::function<bool(const uint8_t *, size_t)> &sink, uint32_t &crcOut)
{
    uint64_t pos = dataStart + (key ? key->header : 0);
    uint64_t left = e.csize - (key ? key->header + key->trailer : 0);
    Dec d = decodeData(method, pos, left, key, e.usize, sink, crcOut);
    if (!key || !key->aes || d == Dec::ReadError || d == Dec::WriteError || d == Dec::Aborted)
        return d;
    // The authentication code covers every encrypted byte, also those a
    // damaged stream left unread; a mismatch says the data was altered.
    while (left > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, kIoBlock));
        if (!readAll(archive_.fd, inBuf_.get(), n, pos))
            return Dec::ReadError;
        key->decrypt(inBuf_.get(), n);
        pos += n;
        left -= n;
    }
    uint8_t tag[kAesTagSize];
    if (!readAll(archive_.fd, tag, sizeof tag, pos))
        return Dec::ReadError;
    return key->aes->verify(tag) ? d : Dec::AuthFailed;
}

Extractor::Dec Extractor::decodeData(MethodDecoder &method, uint64_t &pos, uint64_t &left, MemberKey *crypt,
                                     uint64_t usize, const std::function<bool(const uint8_t *, size_t)> &sink,
                                     uint32_t &crcOut)
{
    uint64_t produced = 0;
    uLong crc = crc32(0, nullptr, 0);
    auto emit = [&](const uint8_t *d, size_t n) -> Dec {
        if (n > usize - produced)
            return Dec::Damaged; // more data than the directory promises
        produced += n;
        crc = crc32(crc, d, static_cast<uInt>(n));
        if (!sink(d, n))
            return Dec::WriteError;
        if (!rep_.size(zacBytesDone, n))
            return Dec::Aborted;
        return Dec::Ok;
    };

    const uint8_t *in = inBuf_.get();
    size_t inLen = 0;
    for (;;) {
        if (inLen == 0 && left > 0) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(left, kIoBlock));
            if (!readAll(archive_.fd, inBuf_.get(), n, pos))
                return Dec::ReadError;
            if (crypt)
                crypt->decrypt(inBuf_.get(), n);
            pos += n;
            left -= n;
            in = inBuf_.get();
            inLen = n;
        }
        const size_t given = inLen;
        size_t n = 0;
        const MethodDecoder::Step step = method.decode(in, inLen, left == 0, outBuf_.get(), kIoBlock, n);
        if (n > 0)
            if (Dec d = emit(outBuf_.get(), n); d != Dec::Ok)
                return d;
        if (step == MethodDecoder::Step::End)
            break;
        if (step == MethodDecoder::Step::Damaged)
            return Dec::Damaged;
        // No progress with input at hand, or none left to come: the
        // compressed data ends before the stream does, or is broken.
        if (n == 0 && inLen == given && (inLen > 0 || left == 0))
            return Dec::Damaged;
    }
    if (produced != usize)
        return Dec::Damaged;
    crcOut = static_cast<uint32_t>(crc);
    return Dec::Ok;
}

Extractor::Outcome Extractor::extractOne(const CentralEntry &e)
{
    // Matched as the specs match, so the member they select never goes to a
    // file instead for a difference of case.
    const bool toStream = stream_ && !e.isDir() && wildMatch(stream_->Member, e.name);
    if (toStream && streamEnded_) {
        skip(e, zdeWrite, ustNoOverwrite, "a second member of this name, not extracted");
        return Outcome::Skipped;
    }
    // The stream's receiver hears once how its member ended.
    struct StreamEnd {
        Extractor *x;
        bool on, whole = false;
        ~StreamEnd()
        {
            if (on)
                x->endStream(whole);
        }
    } streamEnd{this, toStream};
    const bool test = p_->Test != 0 && !toStream;
    const bool toMemory = p_->ExtractToMemory != 0 && !toStream;
    const bool noFile = test || toMemory || toStream;
    std::string error;
    std::vector<std::string> parts;
    if (!noFile) {
        const NameCheck check = safeParts(e.name, p_->DirNames != 0, parts);
        if (e.isDir() && !p_->DirNames && check != NameCheck::Ok)
            return Outcome::Skipped; // no folder is made anyway
        if (check == NameCheck::Control) {
            skip(e, zdeUnsafe, ustUnsafeName, "name holds control characters, not extracted");
            return Outcome::Skipped;
        }
        if (check == NameCheck::Climbs || (check == NameCheck::Empty && !e.isDir())) {
            skip(e, zdeUnsafe, ustUnsafeName, "name would leave the extraction folder, not extracted");
            return Outcome::Skipped;
        }
        // A folder of nothing ("./") is the extraction folder itself.
        if (check == NameCheck::Empty)
            return Outcome::Done;
    }
    if (e.isDir()) {
        if (!noFile && p_->DirNames) {
            int fd = openParent(parts, parts.size(), true);
            if (fd < 0) {
                skip(e, zdeWrite, ustExtractError, std::string("cannot create folder: ") + std::strerror(errno));
                return Outcome::Skipped;
            }
            ::close(fd);
        }
        return Outcome::Done;
    }
    // WinZip AES keeps the real method in its extra field.
    AesExtra aes;
    const bool isAes = e.method == kMethodAes && e.encrypted() && findAesExtra(e.extra, aes);
    if ((e.flags & kFlagStrongCrypt) || (e.method == kMethodAes && !isAes)) {
        skip(e, zdeMethod, ustUnsupportedCrypt, "encryption method not supported");
        return Outcome::Skipped;
    }
    std::string why;
    const std::unique_ptr<MethodDecoder> method =
        makeDecoder({isAes ? aes.method : e.method, e.usize, e.flags}, why);
    if (!method) {
        skip(e, zdeMethod, ustUnknownMethod, why);
        return Outcome::Skipped;
    }
    if (toMemory && e.usize > 0 && (!p_->MemBuffer || e.usize > p_->MemSize)) {
        skip(e, zdeTooLarge, ustTooLarge, "does not fit the memory buffer");
        return Outcome::Skipped;
    }
    uint64_t dataStart = 0;
    const uint64_t cryptBytes = isAes ? aesOverhead(aes.strength) : e.encrypted() ? 12 : 0;
    if (!locateData(archive_.fd, dir_, e, dataStart, error) || e.csize < cryptBytes) {
        skip(e, zdeFormat, ustDamaged, error.empty() ? "encrypted data too short" : error);
        return Outcome::Skipped;
    }
    if ((isAes ? aes.method : e.method) == 0 && e.csize - cryptBytes != e.usize) {
        skip(e, zdeFormat, ustDamaged, "data damaged");
        return Outcome::Skipped;
    }

    // Decide about an existing file before asking for a password.
    Fd parent;
    std::string leaf;
    if (!noFile) {
        leaf = parts.back();
        parent = Fd(openParent(parts, parts.size() - 1, p_->DirNames != 0));
        if (!parent) {
            skip(e, zdeWrite, ustExtractError, std::string("cannot open its folder: ") + std::strerror(errno));
            return Outcome::Skipped;
        }
        struct stat st{};
        const bool exists = ::fstatat(parent.fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        const int64_t memberTime = fromDosTime(e.dosTime, e.dosDate);
        if (exists && written_.count(parts)) {
            // A second member of the same name must not replace the first
            // one's file unnoticed.
            skip(e, zdeWrite, ustNoOverwrite, "a second member of this name, not extracted");
            return Outcome::Skipped;
        }
        if (exists) {
            // DOS times have 2-second steps.
            const bool existingOlder = st.st_mtime + 1 < memberTime;
            if (p_->Update || p_->Freshen) {
                if (!existingOlder) {
                    rep_.call(zacSkipped, 0, ustNewerExists, e.name);
                    return Outcome::Skipped;
                }
            } else if (!p_->Overwrite) {
                rep_.call(zacOverwrite, existingOlder ? 1 : 0, 0, e.name);
                if (rep_.stopped())
                    return Outcome::Aborted;
                if (rep_.record().FileSize == 0) {
                    rep_.call(zacSkipped, 0, ustNoOverwrite, e.name);
                    return Outcome::Skipped;
                }
            }
        } else if (p_->Freshen && !p_->Update) {
            rep_.call(zacSkipped, 0, ustFreshenNoFile, e.name);
            return Outcome::Skipped;
        }
    }

    MemberKey key;
    if (e.encrypted()) {
        switch (openKey(e, dataStart, isAes ? &aes : nullptr, key)) {
        case Key::Ok:
            break;
        case Key::ReadError:
            skip(e, zdeRead, ustDamaged, "cannot read the encryption header");
            return Outcome::Skipped;
        case Key::NoPassword:
            if (rep_.stopped())
                return Outcome::Aborted;
            skip(e, zdePassword, ustBadPassword, "password missing or wrong, not extracted");
            return Outcome::Skipped;
        }
    }

    if (!rep_.size(zacFileStart, e.usize, e.name))
        return Outcome::Aborted;

    Fd out;
    std::string tmpName;
    uint64_t memPos = 0;
    std::function<bool(const uint8_t *, size_t)> sink;
    if (toStream) {
        sink = [this](const uint8_t *d, size_t n) {
            streamStopped_ = stream_->Write(stream_->Context, d, static_cast<int32_t>(n)) != 0;
            return !streamStopped_;
        };
    } else if (test) {
        sink = [](const uint8_t *, size_t) { return true; };
    } else if (toMemory) {
        auto *mem = static_cast<uint8_t *>(p_->MemBuffer);
        sink = [&, mem](const uint8_t *d, size_t n) {
            if (n > p_->MemSize - memPos)
                return false;
            std::memcpy(mem + memPos, d, n);
            memPos += n;
            return true;
        };
    } else {
        mode_t mode = 0666;
        const uint32_t unixMode = e.extAttr >> 16;
        if ((e.madeBy >> 8) == 3 && (unixMode & S_IFMT) == S_IFREG)
            mode = (unixMode & 0777) | 0600;
        std::mt19937 rng(std::random_device{}());
        for (int i = 0; i < 100 && !out; ++i) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(rng()));
            tmpName = "." + leaf.substr(0, 200) + suffix + ".tmp";
            out = Fd(::openat(parent.fd, tmpName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
            if (!out && errno != EEXIST)
                break;
        }
        if (!out) {
            skip(e, zdeWrite, ustExtractError, std::string("cannot create file: ") + std::strerror(errno));
            return Outcome::Skipped;
        }
        sink = [&](const uint8_t *d, size_t n) { return writeAll(out.fd, d, n); };
    }
    auto dropTemp = [&] {
        if (!tmpName.empty()) {
            out = Fd();
            ::unlinkat(parent.fd, tmpName.c_str(), 0);
        }
    };

    uint32_t crc = 0;
    Dec d = decode(e, *method, dataStart, e.encrypted() ? &key : nullptr, sink, crc);
    switch (d) {
    case Dec::Ok:
        break;
    case Dec::Aborted:
        dropTemp();
        return Outcome::Aborted;
    case Dec::ReadError:
        dropTemp();
        skip(e, zdeRead, ustExtractError, "read error in the archive");
        return Outcome::Skipped;
    case Dec::WriteError:
        dropTemp();
        if (streamStopped_) {
            rep_.message(zdeAborted,
                         printableName(e.name, kShownName) + ": extract stopped by the receiver of its data");
            return Outcome::Aborted;
        }
        skip(e, zdeWrite, ustExtractError, std::string("write error: ") + std::strerror(errno));
        return Outcome::Skipped;
    case Dec::Damaged:
        dropTemp();
        skip(e, zdeFormat, ustDamaged, e.encrypted() ? "data damaged or wrong password" : "data damaged");
        return Outcome::Skipped;
    case Dec::AuthFailed:
        dropTemp();
        skip(e, zdeFormat, ustDamaged, "authentication failed: the encrypted data was damaged or altered, not extracted");
        return Outcome::Skipped;
    }

    // AE-2 stores no CRC: the authentication code stands in for it.
    if (isAes && aes.vendorVersion == 2 && e.crc == 0)
        crc = 0;
    if (crc != e.crc) {
        // Never passed off as a good extract: the caller is told, decides
        // whether to keep the bytes, and the member does not count.
        rep_.call(zacCrcError, static_cast<int32_t>(crc), e.crc, e.name);
        const bool keep = rep_.record().ErrorCode == zcaKeep;
        char msg[96];
        std::snprintf(msg, sizeof msg, "CRC error (found %08x, expected %08x)%s", crc, e.crc,
                      noFile ? ""
                      : keep ? ", kept"
                             : ", not extracted");
        rep_.message(zdeCrc, printableName(e.name, kShownName) + ": " + msg);
        if (!keep || noFile) {
            dropTemp();
            return rep_.stopped() ? Outcome::Aborted : Outcome::Skipped;
        }
    }
    if (test) {
        info("OK " + printableName(e.name, kShownName));
        return crc == e.crc ? Outcome::Done : Outcome::Skipped;
    }
    if (toMemory)
        return Outcome::Done;
    if (toStream) {
        streamEnd.whole = true;
        return Outcome::Done;
    }

    const int64_t memberTime = fromDosTime(e.dosTime, e.dosDate);
    struct timespec times[2] = {{0, UTIME_NOW}, {static_cast<time_t>(memberTime), 0}};
    ::futimens(out.fd, times);
    if (::close(out.fd) != 0) {
        out.fd = -1;
        dropTemp();
        skip(e, zdeWrite, ustExtractError, std::string("write error: ") + std::strerror(errno));
        return Outcome::Skipped;
    }
    out.fd = -1;
    if (::renameat(parent.fd, tmpName.c_str(), parent.fd, leaf.c_str()) != 0) {
        int err = errno;
        ::unlinkat(parent.fd, tmpName.c_str(), 0);
        skip(e, zdeWrite, ustExtractError, std::string("cannot replace the file: ") + std::strerror(err));
        return Outcome::Skipped;
    }
    written_.insert(parts);
    info("extracted " + printableName(e.name, kShownName));
    return crc == e.crc ? Outcome::Done : Outcome::Skipped;
}

} // namespace
} // namespace zipdll

ZIPDLL_EXPORT int32_t GetUnzDllVersion(void) { return UNZDLL_VERSION; }

ZIPDLL_EXPORT int32_t UnzDllExec(UnzDllParams *params)
{
    if (!params)
        return 0;
    // Nothing may unwind into the C caller.
    try {
        zipdll::Extractor x(params);
        return x.run();
    } catch (...) {
        return 0;
    }
}
