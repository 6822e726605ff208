#pragma once
// Reading a fetched job log (DSPJOBLOG printed, CPYSPLF copied, downloaded
// as text): which escape message ended a command. The host's FTP reply
// carries the message text only; the message id is in the job log.

#include <string>
#include <vector>

namespace jobs {

struct JobLogMessage {
    std::string id;   // CPF3781
    std::string type; // Escape, Request, ...
    std::string text; // the first-level text, its wrapped lines joined
};

// The message blocks of a printed job log, in order; page headers and the
// second-level detail lines are skipped.
std::vector<JobLogMessage> parseJobLog(const std::vector<std::string> &lines);

// The first escape message after the last request for `command` (compared
// without regard to case or runs of blanks) and before the next request.
// Empty id when the log holds no such request or no escape for it.
JobLogMessage escapeMessageFor(const std::vector<JobLogMessage> &log, const std::string &command);

// The lines of a text file, line ends removed; empty when it cannot be read.
std::vector<std::string> readTextLines(const std::string &path);

} // namespace jobs
