#pragma once
// FTP reply lines without a socket: reply numbers, multi-line replies, byte
// counts in transfer replies, and how a raw command is classified for the
// success and failure events. Pure functions, tested on transcripts.

#include <cstdint>
#include <string>

enum TCmdType : uint8_t {
    ctChangeDirectory = 0,
    ctMakeDirectory = 1,
    ctDeleteFile = 2,
    ctRemoveDirectory = 3,
    ctRename = 4,
    ctList = 5,
    ctNlst = 6,
    ctReInit = 7,
    ctDownload = 8,
    ctUpload = 9,
    ctAppend = 10,
    ctMode = 11,
    ctAllocate = 12,
    ctRestart = 13,
    ctOtherCommand = 14,
    ctPrintDirectory = 15,
};

namespace ftpreply
{

// The reply number of a line: its leading decimal digits (at most 10), or 0
// when it has none. A number that does not fit 16 bits is no reply number
// and gives 0 as well.
int16_t ReplyNumber(const std::string &line);

// The byte count a transfer reply announces, as in
// "150 Opening BINARY mode data connection for X (12345 bytes)." -> 12345:
// the run of digits nearest before "BYTE" (any case); 0 when there is none.
int64_t ByteCount(const std::string &line);

// The data port a passive reply names: "229 ... (!!!46934!)" (any
// delimiter) or "227 ... (h1,h2,h3,h4,p1,p2)". -1 when the line names none.
// The address of a 227 reply is not returned: hosts behind NAT advertise
// internal addresses, and connecting only to the control connection's peer
// also keeps a hostile reply from steering the data elsewhere.
int PassivePort(const std::string &line);

// Which event type a raw command reports under.
TCmdType Classify(const std::string &command);

// Collects the lines of one reply. A reply is one line, or a first line
// "DDD-..." followed by any lines up to one that begins "DDD " with the same
// code (RFC 959; inner lines may be free text, as in an IBM i FEAT listing).
// A line that begins with a blank is always a continuation, which also lets a
// read start from a blank placeholder line (the greeting).
class ReplyAssembler
{
public:
    // Feeds the next line; true when more lines belong to this reply.
    bool NeedsMore(const std::string &line);
    void Reset() { code_.clear(); }

private:
    std::string code_; // "DDD" while inside a multi-line reply
};

} // namespace ftpreply
