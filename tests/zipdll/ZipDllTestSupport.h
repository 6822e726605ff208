#pragma once
// Drives libzipdll.so / libunzdll.so through their C entry points, the way
// the zip component does, and records every callback.

#include "ZipDllRecords.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace zt {

struct Calls {
    std::vector<ZCallBackStruct> log;
    // Optional: sees each record, may write replies, returns the answer.
    std::function<int32_t(ZCallBackStruct &)> hook;
    int count(int action) const;
    std::vector<std::string> texts(int action) const;
    bool hasError(int code) const; // a message or skip with this error code
    std::string messages() const;  // for failure output
};

class Add {
public:
    explicit Add(std::string archive);
    Add &spec(const std::string &s, bool recurse = false, const char *password = nullptr, bool encrypt = false);
    Add &exclude(const std::string &s);
    Add &root(const std::string &dir); // RootDir of every spec
    int32_t run();
    ZipDllParams p{};
    Calls calls;

private:
    std::string archive_;
    std::vector<std::string> specs_, passwords_, excl_;
    std::string root_;
    std::vector<std::pair<bool, bool>> flags_; // recurse, encrypt
    std::vector<bool> hasPassword_;
    std::string suffixes_ = ".gif:.png:.z:.zip:.zoo:.arc:.lzh:.arj:.taz:.tgz:.lha";
};

class Extract {
public:
    Extract(std::string archive, std::string folder);
    Extract &spec(const std::string &s);
    int32_t run(); // runs inside the folder, as the component does
    UnzDllParams p{};
    Calls calls;

private:
    std::string archive_, folder_;
    std::vector<std::string> specs_;
};

// A stored-only archive with the given raw member names, for hostile cases.
std::string makeStoredZip(const std::vector<std::pair<std::string, std::string>> &members);
// Runs a Python snippet (zipfile checks); returns its exit status.
int python(const std::string &code, std::string *output = nullptr);
bool haveTool(const std::string &name);
int32_t libraryVersion(const char *library, const char *entry);
void setMtime(const std::string &path, long secondsFromNow);

} // namespace zt
