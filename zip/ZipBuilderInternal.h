#pragma once
// Shared between the parts of TZipBuilder that build library records.

#include "zipdll/ZipDllRecords.h"

#include <deque>
#include <string>
#include <vector>

// Owns every text and array a parameter record points to, for the duration
// of one library call; each is freed exactly once when the store goes.
struct ParamStore {
    std::deque<std::string> texts;
    std::deque<std::vector<ZipSpecEntry>> zipSpecs;
    std::deque<std::vector<UnzSpecEntry>> unzSpecs;
    std::deque<std::vector<char *>> pointerArrays;

    char *dup(const std::string &s, size_t maxLen = std::string::npos)
    {
        texts.push_back(s.substr(0, maxLen));
        return texts.back().data();
    }
};

// A regular file at `p`; the extension of a name's last part, upper case
// with its dot ("" without one).
bool isRegularFile(const std::string &p);
std::string upperExtension(const std::string &name);

// Process-wide library handles and entry points.
struct DllSlot {
    void *handle = nullptr;
    void *exec = nullptr;
    void *version = nullptr;
};
DllSlot &zipDll();
DllSlot &unzDll();

// Unloads the library on scope exit when the operation loaded it itself.
class TemporaryLoad {
public:
    TemporaryLoad(bool loadedHere, void (*unload)()) : loadedHere_(loadedHere), unload_(unload) {}
    ~TemporaryLoad()
    {
        if (loadedHere_)
            unload_();
    }
    TemporaryLoad(const TemporaryLoad &) = delete;
    TemporaryLoad &operator=(const TemporaryLoad &) = delete;

private:
    bool loadedHere_;
    void (*unload_)();
};
