#pragma once
// A stand-in for libzipdll.so / libunzdll.so that records the records it is
// given and plays a scripted list of callbacks. Built twice under the real
// names in a folder of its own; tests reach the control functions with dlsym.

#include "zipdll/ZipDllRecords.h"

#include <string>
#include <vector>

struct FakeCall {
    FakeCall(int a, int e, uint32_t s, std::string t, std::string t2 = {})
        : action(a), error(e), size(s), text(std::move(t)), text2(std::move(t2)) {}
    int action = 0;
    int error = 0;
    uint32_t size = 0;
    std::string text;
    std::string text2; // at ZCB_COMMENT_OFFSET (file comment)
};

struct FakeReply {
    int result = 0; // callback result
    int error = 0;
    uint32_t size = 0;
    std::string text;
};

struct FakeSpec {
    std::string spec;
    bool hasPassword = false;
    bool passwordIsGlobal = false;
    std::string password;
    int encrypt = 0;
    int recurse = 0;
    std::string rootDir;
    bool hasRootDir = false;
};

struct FakeSnapshot {
    int calls = 0;
    bool oldLayout = false;
    std::vector<int32_t> ints; // the record viewed as 32-bit words up to its pointers (zip: 0..120)
    void *caller = nullptr;
    int version = 0, trace = 0, encrypt = 0, hidden = 0, volume = 0, noDirEntries = 0, verbose = 0, quiet = 0,
        level = 0, junkDirs = 0, recurse = 0, grow = 0, forceDos = 0, move = 0, deleteEntries = 0, update = 0,
        freshen = 0, zipTime = 0, specCount = 0, seven = 0, archiveOnly = 0, resetArchive = 0;
    // unzip
    int codePage = 0, test = 0, dirNames = 0, overwrite = 0, toMemory = 0, reqCount = 0;
    uint32_t memSize = 0;
    bool hasPassword = false, hasSuffixes = false, hasTempDir = false, hasComment = false;
    std::string password, suffixes, archive, tempDir, comment;
    std::vector<FakeSpec> specs;
    std::vector<std::string> excl;
    std::vector<FakeReply> replies;
};

extern "C" {
typedef void (*FakeSetupFunc)(int version, int result, const std::vector<FakeCall> *script);
typedef const FakeSnapshot *(*FakeLastFunc)(void);
}
