// Command-line driver for the zip libraries, used by bench/zip/run.sh:
//   zipdll-bench add ARCHIVE FILE [LEVEL]     add FILE under its bare name
//   zipdll-bench extract ARCHIVE FOLDER       extract everything, overwriting
//   zipdll-bench test ARCHIVE                 test every member
// Loads libzipdll.so/libunzdll.so from its own folder, as the program does.

#include "ZipDllRecords.h"

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

int usage()
{
    std::fprintf(stderr, "usage: zipdll-bench add ARCHIVE FILE [LEVEL] | extract ARCHIVE FOLDER | test ARCHIVE\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return usage();
    std::string cmd = argv[1];
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
        return exec(&p) > 0 ? 0 : 1;
    }
    return usage();
}
