#pragma once
// The job log of one FTP server job: every request (command) and message,
// printed by DSPJOBLOG in the host's 132-column layout.

#include <chrono>
#include <string>
#include <vector>

namespace hostsim {

enum class MsgType { Information, Completion, Diagnostic, Escape, Request, Inquiry, Reply };

struct JobMessage {
    std::string id; // CPF3781, or *NONE for a request
    MsgType type = MsgType::Information;
    int severity = 0;
    std::chrono::system_clock::time_point when;
    std::string fromPgm = "QCMDEXC";
    std::string fromLib = "QSYS";
    std::string text;
    std::string cause;
    std::string recovery;
};

struct JobIdentity {
    std::string name;   // QTFTP01234
    std::string user;   // QTCP
    std::string number; // 123456
    std::string system;  // host system name
    std::string release = "V7R3M0";
};

class JobLog {
public:
    void add(JobMessage message);
    const std::vector<JobMessage> &messages() const { return messages_; }

    // The printed log, one string per line, no line ends. With second-level
    // text (CHGJOB LOG(... *SECLVL)) causes and recoveries are printed too.
    std::vector<std::string> print(const JobIdentity &job, bool secondLevel) const;

private:
    std::vector<JobMessage> messages_;
};

const char *msgTypeName(MsgType type);

} // namespace hostsim
