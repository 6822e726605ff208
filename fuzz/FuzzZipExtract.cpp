// libFuzzer target: the extract path, through the component and the real
// unzip library: to disk with folder names, to memory, and testing.

#include "FuzzCommon.h"

#include "platform/ProgramDir.h"

#include <ftw.h>
#include <sys/stat.h>

namespace {

int removeEntry(const char *path, const struct stat *, int, struct FTW *) { return ::remove(path); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string path = fuzz::writeInput(data, size);
    const std::string out = fuzz::workDir() + "/out";
    ::nftw(out.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    ::mkdir(out.c_str(), 0700);

    // Loaded once and kept, as the wizard does: the fuzzer's coverage
    // counters of an unloaded library would dangle.
    static const bool loaded = [] {
        TZipBuilder t;
        fuzz::quiet(t);
        t.SetDLLDirectory(QUELLON_FUZZ_DLL_DIR);
        t.Load_Unz_Dll();
        return TZipBuilder::UnzDllLoaded();
    }();
    if (!loaded)
        std::abort();
    TZipBuilder z;
    fuzz::quiet(z);
    z.Password = "pw";
    z.SetZipFileName(path);
    if (z.ZipFileName().empty())
        return 0;
    if (!z.Entries.empty())
        z.ExtractFileToStream(z.Entries[0].FileName);
    z.ExtrBaseDir = out;
    z.ExtrOptions = {ExtrDirNames, ExtrOverWrite};
    if (size % 5 == 0)
        z.ExtrOptions.insert(ExtrTest);
    z.Extract();
    // Nothing may land outside the output folder: the input's own folder
    // holds only the input and the output.
    struct stat st{};
    if (::stat((fuzz::workDir() + "/escape.txt").c_str(), &st) == 0)
        std::abort();
    return 0;
}
