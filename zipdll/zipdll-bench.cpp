// Command-line driver for the zip libraries, used by bench/zip/run.sh:
//   zipdll-bench add ARCHIVE FILE [LEVEL]     add FILE under its bare name
//   zipdll-bench extract ARCHIVE FOLDER       extract everything, overwriting
//   zipdll-bench test ARCHIVE                 test every member
//   zipdll-bench gen FILE SIZE_MB             write a file shaped like a save file
// With ZIPDLL_BENCH_PASSWORD set, add encrypts with WinZip AES-256 and
// extract/test decrypt with that password.
// Loads libzipdll.so/libunzdll.so from its own folder, as the program does.

#include "ZipDllRecords.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace {

int32_t report(ZCallBackStruct *r)
{
    if (r->ActionCode == zacMessage && r->ErrorCode != 0)
        std::fprintf(stderr, "zipdll: %s (error %d)\n", r->Text, r->ErrorCode);
    return 0;
}

void *loadFromOwnFolder(const char *name)
{
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string dir = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string("./x");
    dir.erase(dir.find_last_of('/') + 1);
    void *h = ::dlopen((dir + name).c_str(), RTLD_NOW);
    if (!h)
        std::fprintf(stderr, "%s\n", ::dlerror());
    return h;
}

uint64_t rng = 0x9E3779B97F4A7C15ull;
uint32_t next()
{
    rng ^= rng << 13;
    rng ^= rng >> 7;
    rng ^= rng << 17;
    return static_cast<uint32_t>(rng >> 16);
}

uint8_t ebcdic(char c)
{
    if (c >= 'A' && c <= 'I')
        return static_cast<uint8_t>(0xC1 + (c - 'A'));
    if (c >= 'J' && c <= 'R')
        return static_cast<uint8_t>(0xD1 + (c - 'J'));
    if (c >= 'S' && c <= 'Z')
        return static_cast<uint8_t>(0xE2 + (c - 'S'));
    if (c >= '0' && c <= '9')
        return static_cast<uint8_t>(0xF0 + (c - '0'));
    return 0x40;
}

// 528-byte records as in an OS/400 save file: EBCDIC text (source members,
// object descriptions), packed-decimal data records, program code and
// already-compressed or encrypted binary runs.
int generate(const char *path, long megabytes)
{
    static const char *words[] = {"CUSTOMER", "ADDRESS", "INVOICE", "QSYS", "QTEMP", "MYLIB", "PGM",
                                  "DSPF", "PF", "LF", "CRTPF", "SRCPF", "ORDER", "AMOUNT", "DATE",
                                  "ITEM", "STOCK", "WAREHOUSE", "CALL", "PARM", "DCL", "VAR", "TYPE",
                                  "CHAR", "DEC", "LEN", "IF", "THEN", "ELSE", "ENDDO", "MONMSG", "SNDPGMMSG",
                                  "CHGVAR", "RTVJOBA", "QCMDEXC", "OVRDBF", "FILE", "MBR", "RCDFMT", "KEY"};
    FILE *f = std::fopen(path, "wb");
    if (!f)
        return 1;
    const uint64_t total = static_cast<uint64_t>(megabytes) << 20;
    uint8_t rec[528];
    uint64_t recNo = 0;
    for (uint64_t done = 0; done < total; done += sizeof rec, ++recNo) {
        uint32_t kind = next() % 100;
        if (kind < 45) {
            size_t i = 0;
            std::snprintf(reinterpret_cast<char *>(rec), 12, "%06lu", static_cast<unsigned long>(recNo % 1000000));
            for (i = 0; i < 6; ++i)
                rec[i] = ebcdic(static_cast<char>(rec[i]));
            while (i < 80 + next() % 300) {
                const char *w = words[next() % (sizeof words / sizeof *words)];
                for (; *w && i < sizeof rec; ++w)
                    rec[i++] = ebcdic(*w);
                if (i < sizeof rec)
                    rec[i++] = 0x40;
            }
            std::memset(rec + i, 0x40, sizeof rec - i);
        } else if (kind < 65) {
            std::memset(rec, 0, sizeof rec);
            for (size_t i = 0; i < 16; ++i)
                rec[i] = static_cast<uint8_t>(recNo >> (8 * (i % 8)));
            for (size_t i = 16; i < 300; i += 8) { // packed decimal fields
                uint32_t v = next() % 100000;
                for (int k = 0; k < 3; ++k, v /= 100)
                    rec[i + 2 - k] = static_cast<uint8_t>((v % 10) << 4 | ((v / 10) % 10));
                rec[i + 3] = 0x0F;
            }
        } else if (kind < 80) {
            for (size_t i = 0; i < sizeof rec; i += 4) { // instruction stream
                uint32_t op = next();
                rec[i] = static_cast<uint8_t>(0x10 + (op & 0x3F));
                rec[i + 1] = static_cast<uint8_t>((op >> 8) & 0x0F);
                rec[i + 2] = static_cast<uint8_t>(op >> 16);
                rec[i + 3] = 0;
            }
        } else {
            for (auto &b : rec)
                b = static_cast<uint8_t>(next());
        }
        size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof rec, total - done));
        if (std::fwrite(rec, 1, n, f) != n)
            return 1;
    }
    return std::fclose(f) == 0 ? 0 : 1;
}

int usage()
{
    std::fprintf(stderr, "usage: zipdll-bench add ARCHIVE FILE [LEVEL] | extract ARCHIVE FOLDER | test ARCHIVE | gen FILE SIZE_MB\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return usage();
    std::string cmd = argv[1];
    if (cmd == "gen" && argc >= 4)
        return generate(argv[2], std::atol(argv[3]));
    if (cmd == "add" && argc >= 4) {
        void *h = loadFromOwnFolder(ZIPDLL_LIBRARY_NAME);
        auto exec = h ? reinterpret_cast<ZipDllExecFunc>(::dlsym(h, ZIPDLL_EXEC_NAME)) : nullptr;
        if (!exec)
            return 1;
        ZipSpecEntry spec{};
        spec.Spec = argv[3];
        ZipDllParams p{};
        p.Version = 160;
        p.Callback = report;
        p.Quiet = 1;
        p.Grow = 1;
        p.NoDirEntries = 1;
        p.JunkDirNames = 1;
        p.Level = argc >= 5 ? std::atoi(argv[4]) : 9;
        p.SpecCount = 1;
        p.ArchiveName = argv[2];
        p.Specs = &spec;
        p.Seven = ZIPDLL_RECORD_MARK;
        if (char *pw = std::getenv("ZIPDLL_BENCH_PASSWORD")) {
            p.Password = pw;
            p.Encrypt = spec.Encrypt = 1;
            p.EncryptMethod = zemAes256;
        }
        return exec(&p) == 1 ? 0 : 1;
    }
    if ((cmd == "extract" && argc >= 4) || cmd == "test") {
        void *h = loadFromOwnFolder(UNZDLL_LIBRARY_NAME);
        auto exec = h ? reinterpret_cast<UnzDllExecFunc>(::dlsym(h, UNZDLL_EXEC_NAME)) : nullptr;
        if (!exec)
            return 1;
        std::string archive = argv[2];
        if (cmd == "extract") {
            if (archive[0] != '/') {
                char cwd[4096];
                if (::getcwd(cwd, sizeof cwd))
                    archive = std::string(cwd) + "/" + archive;
            }
            if (::chdir(argv[3]) != 0) {
                std::perror(argv[3]);
                return 1;
            }
        }
        UnzDllParams p{};
        p.Version = 160;
        p.Callback = report;
        p.Quiet = 1;
        p.Test = cmd == "test";
        p.Overwrite = 1;
        p.ArchiveName = archive.data();
        p.Seven = ZIPDLL_RECORD_MARK;
        p.Password = std::getenv("ZIPDLL_BENCH_PASSWORD");
        return exec(&p) > 0 ? 0 : 1;
    }
    return usage();
}
