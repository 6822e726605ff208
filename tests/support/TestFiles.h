#pragma once
// Small file helpers shared by the tests.

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder below the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &bytes);
bool fileExists(const std::string &path);
// Deterministic pseudo-random bytes (the same seed gives the same bytes).
std::string randomBytes(size_t n, uint32_t seed = 1);
// Where the build put the binaries and data files (with trailing '/').
std::string binDir();
std::string sourceDir();
// Runs a shell command; returns its exit status and puts stdout+stderr in `output`.
int runCommand(const std::string &cmd, std::string *output = nullptr);

} // namespace testsupport
