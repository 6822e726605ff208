// Runs a fuzz target's inputs in a plain loop, without libFuzzer, and prints
// the resident set size every 10,000 calls: whether memory growth seen in a
// fuzz run belongs to the target or to the fuzzing machinery.
//   fuzz_zip_list_replay CORPUS-FOLDER CALLS

#include <QCoreApplication>

#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

long rssKb()
{
    std::ifstream f("/proc/self/status");
    for (std::string l; std::getline(f, l);)
        if (l.rfind("VmRSS:", 0) == 0)
            return std::stol(l.substr(6));
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CORPUS-FOLDER CALLS\n", argv[0]);
        return 2;
    }
    std::vector<std::string> inputs;
    if (DIR *d = ::opendir(argv[1])) {
        while (dirent *e = ::readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::ifstream f(std::string(argv[1]) + "/" + e->d_name, std::ios::binary);
            std::ostringstream s;
            s << f.rdbuf();
            inputs.push_back(s.str());
        }
        ::closedir(d);
    }
    if (inputs.empty())
        return 2;
    const long calls = std::stol(argv[2]);
    for (long i = 0; i < calls; ++i) {
        if (i % 10000 == 0)
            std::printf("%ld calls: %ld KB\n", i, rssKb());
        const std::string &in = inputs[static_cast<size_t>(i) % inputs.size()];
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(in.data()), in.size());
    }
    std::printf("%ld calls: %ld KB\n", calls, rssKb());
    return 0;
}
