// libFuzzer target for the unzip library: directory reading, local headers,
// decryption and inflate on hostile bytes, in test mode and to memory.
//   cmake -DQUELLON_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ ...; fuzz_unzdll corpus/

#include "ZipDllRecords.h"

#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

int32_t answer(ZCallBackStruct *r)
{
    if (r->ActionCode == zacPassword) { // one wrong, then the right one
        std::snprintf(r->Text, sizeof r->Text, "%s", r->FileSize > 1 ? "nope" : "pw");
        r->ErrorCode = 1;
    }
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int fd = ::memfd_create("fuzz.zip", 0);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return 0;
    std::string name = "/proc/self/fd/" + std::to_string(fd);
    static char buffer[1 << 16];
    for (int mode = 0; mode < 2; ++mode) {
        UnzDllParams p{};
        p.Version = 160;
        p.Callback = answer;
        p.Quiet = 1;
        p.Test = mode == 0;
        p.ExtractToMemory = mode == 1;
        p.MemBuffer = buffer;
        p.MemSize = sizeof buffer;
        p.PasswordReqCount = 2;
        p.ArchiveName = name.data();
        p.Seven = ZIPDLL_RECORD_MARK;
        UnzDllExec(&p);
    }
    return 0;
}
