// quellon-hostsim driven as a separate process by clients nobody here
// wrote: curl and Python's ftplib.

#include "hostsim/HostSimProcess.h"
#include "support/TestFiles.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <map>
#include <regex>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using testsupport::HostSimProcess;
using testsupport::TempDir;
namespace fs = std::filesystem;

namespace {

// Helpers every Python client below starts with.
const char kPrelude[] = R"PY(
import ftplib, io, sys, threading
PORT = int(sys.argv[1])
def login(user="JOE", pw="secret", fmt1=True):
    f = ftplib.FTP()
    f.connect("127.0.0.1", PORT, timeout=20)
    f.login(user, pw)
    if fmt1:
        f.sendcmd("SITE NAMEFMT 1")  # hosts start in name format 0
    return f
def rcmd(f, cmd):
    try:
        return f.sendcmd("RCMD " + cmd)
    except ftplib.all_errors as e:
        return str(e)
def prepare(f):
    for c in ["chgjob log(4 10 *SECLVL) logclpgm(*YES)", "crtsavf qtemp/savf",
              "CRTPF FILE(QTEMP/JOBLOG) RCDLEN(528) SIZE(1000000 10000 100)",
              "OVRPRTF FILE(QPJOBLOG) HOLD(*YES) SPLFOWN(*JOB) OVRSCOPE(*JOB)"]:
        r = rcmd(f, c)
        assert r.startswith("250"), r
def joblog(f):
    for c in ["clrpfm qtemp/joblog", "DSPJOBLOG OUTPUT(*PRINT)",
              "CPYSPLF FILE(QPJOBLOG) TOFILE(QTEMP/joblog) SPLNBR(*LAST)", "DLTSPLF FILE(QPJOBLOG) SPLNBR(*LAST)"]:
        r = rcmd(f, c)
        assert r.startswith("250"), r
    lines = []
    f.retrlines("RETR /qsys.lib/qtemp.lib/joblog.file/joblog.mbr", lines.append)
    return lines
)PY";

int runPython(const TempDir &dir, const std::string &body, int port, std::string *out,
              const std::string &args = {})
{
    const std::string script = dir.file("client.py");
    testsupport::writeFile(script, std::string(kPrelude) + body);
    // The system interpreter starts fastest; any python3 with ftplib will do.
    const std::string python = testsupport::fileExists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    return testsupport::runCommand(python + " " + script + " " + std::to_string(port) + " " + args, out);
}

std::string url(int port, const std::string &path)
{
    return "ftp://127.0.0.1:" + std::to_string(port) + "/" + path;
}

bool contains(const std::string &haystack, const std::string &needle)
{
    return haystack.find(needle) != std::string::npos;
}

// "NAME.TYPE size crc" per object, sorted, so a mismatch prints readably.
std::string libraryFiles(const fs::path &dir)
{
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec)) {
        const std::string bytes = testsupport::readFile(e.path().string());
        uint32_t h = 2166136261u;
        for (char c : bytes)
            h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
        files[e.path().filename().string()] = std::to_string(bytes.size()) + " " + std::to_string(h);
    }
    std::string out;
    for (const auto &[name, sig] : files)
        out += name + " " + sig + "\n";
    return out;
}

} // namespace

TEST(HostSim, SignOnRepliesAsTheHost)
{
    TempDir root, work;
    HostSimProcess host(root.path());
    ASSERT_TRUE(host.running()) << host.firstLine();
    EXPECT_EQ(host.firstLine(), "quellon-hostsim listening on 127.0.0.1:" + std::to_string(host.port()));

    std::string out;
    const int rc = runPython(work, R"PY(
f = ftplib.FTP()
print("GREETING", repr(f.connect("127.0.0.1", PORT, timeout=20)))
print("EARLY", f.sendcmd("NOOP"))
try:
    f.sendcmd("RCMD CRTLIB LIB(X)")
except ftplib.error_perm as e:
    print("BEFORE", e)
try:
    f.login("joe", "wrong")
except ftplib.error_perm as e:
    print("WRONG", e)
print("LOGIN", f.login("joe", "secret"))
print("SYST", f.sendcmd("SYST"))
print("PWD", f.sendcmd("PWD"))
print("TYPEI", f.sendcmd("TYPE I"))
print("TYPEA", f.sendcmd("TYPE A"))
try:
    f.sendcmd("XYZZY now")
except ftplib.error_perm as e:
    print("UNKNOWN", e)
print("QUIT", f.quit())
)PY",
                             host.port(), &out);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_TRUE(contains(out, "GREETING '220-QTCP at HOSTSIM.\\n220 Connection will close if idle more than 5 "
                              "minutes.'"))
        << out;
    EXPECT_TRUE(contains(out, "BEFORE 530")) << out;
    EXPECT_TRUE(contains(out, "WRONG 530 Log on attempt by user JOE rejected.")) << out;
    EXPECT_TRUE(contains(out, "LOGIN 230 JOE logged on.")) << out;
    EXPECT_TRUE(contains(out, "SYST 215  OS/400 is the remote operating system. The TCP/IP version is \"V7R3M0\"."))
        << out;
    EXPECT_TRUE(contains(out, "PWD 257 \"QGPL\" is current library.")) << out;
    EXPECT_TRUE(contains(out, "TYPEI 200 Representation type is binary IMAGE.")) << out;
    EXPECT_TRUE(contains(out, "TYPEA 200 Representation type is ASCII nonprint.")) << out;
    EXPECT_TRUE(contains(out, "UNKNOWN 500")) << out;
    EXPECT_TRUE(contains(out, "QUIT 221 QUIT subcommand received.")) << out;
}

// SAVLIB through RCMD and a binary RETR with curl; STOR of the same file to a
// second emulator and RSTLIB there re-creates the library byte for byte.
TEST(HostSim, SavlibRetrieveStoreRestoreByteForByte)
{
    TempDir rootA, rootB, work;
    HostSimProcess a(rootA.path(), {"--seed-library", "mylib"});
    HostSimProcess b(rootB.path(), {"--transfer-end", "226"});
    ASSERT_TRUE(a.running() && b.running());
    const std::string savf = work.file("mylib.savf");

    std::string out;
    ASSERT_EQ(testsupport::runCommand(
                  "curl -sS -u JOE:secret -Q 'RCMD CRTSAVF QTEMP/SAVF' "
                  "-Q 'RCMD SAVLIB LIB(mylib) TGTRLS(*current)   SavAct(*Lib) dtacpr(*yes) dev(*savf) "
                  "savf(qtemp/savf)' -o " +
                      savf + " '" + url(a.port(), "/qsys.lib/qtemp.lib/savf.file") + "'",
                  &out),
              0)
        << out;
    const std::string bytes = testsupport::readFile(savf);
    ASSERT_GT(bytes.size(), 12684u);
    EXPECT_EQ(bytes.size() % 528, 0u);
    EXPECT_EQ(bytes.substr(12674, 10), std::string("\xD4\xE8\xD3\xC9\xC2\x40\x40\x40\x40\x40")); // MYLIB in EBCDIC
    EXPECT_EQ(bytes.substr(40, 8), std::string(8, '\x40'));

    // Active mode this time, the save file created first as the host needs.
    ASSERT_EQ(testsupport::runCommand("curl -sS -v -P 127.0.0.1 -u JOE:secret -T " + savf +
                                          " -Q 'RCMD CRTSAVF QTEMP/SAVF' "
                                          "-Q '-RCMD RSTLIB SAVLIB(MYLIB) RSTLIB(MYLIB)   dev(*savf) "
                                          "savf(qtemp/savf) ' '" +
                                          url(b.port(), "/qsys.lib/qtemp.lib/savf.file") + "'",
                                      &out),
              0)
        << out;
    EXPECT_TRUE(contains(out, "< 226 File transfer completed successfully.")) << out;
    EXPECT_TRUE(contains(out, "< 250 Command RSTLIB SAVLIB(MYLIB)")) << out;

    const auto original = libraryFiles(fs::path(rootA.path()) / "MYLIB");
    const auto restored = libraryFiles(fs::path(rootB.path()) / "MYLIB");
    EXPECT_EQ(std::count(original.begin(), original.end(), '\n'), 3);
    EXPECT_EQ(restored, original);
}

// SAVOBJ with a generic name, RSTOBJ into a library made by CRTLIB, with ftplib.
TEST(HostSim, SavobjGenericAndRstobjIntoNewLibrary)
{
    TempDir root, work;
    HostSimProcess host(root.path(), {"--seed-library", "MYLIB"});
    ASSERT_TRUE(host.running());
    std::string out;
    const int rc = runPython(work, R"PY(
f = login()
prepare(f)
print("SAVOBJ", rcmd(f, "SAVOBJ OBJ(HEL*) LIB(MYLIB) OBJTYPE(*PGM        ) TGTRLS(V7R1M0)   SavAct(*Lib) dtacpr(*yes) dev(*savf) savf(qtemp/savf)"))
print("NOMATCH", rcmd(f, "SAVOBJ OBJ(NONE*) LIB(MYLIB) OBJTYPE(*ALL) DEV(*SAVF) SAVF(QTEMP/SAVF) CLEAR(*ALL)"))
print("OLDREL", rcmd(f, "SAVLIB LIB(MYLIB) TGTRLS(V5R4M0) DEV(*SAVF) SAVF(QTEMP/SAVF)"))
print("BADREL", rcmd(f, "SAVLIB LIB(MYLIB) TGTRLS(LATEST) DEV(*SAVF) SAVF(QTEMP/SAVF)"))
print("NOTEMPTY", rcmd(f, "SAVLIB LIB(MYLIB) DEV(*SAVF) SAVF(QTEMP/SAVF)"))
print("FULL", rcmd(f, "SAVLIB LIB(MYLIB) DEV(*SAVF) SAVF(QTEMP/SAVF) CLEAR(*ALL)"))
print("CRTLIB", rcmd(f, "CRTLIB LIB(copy)"))
print("AGAIN", rcmd(f, "CRTLIB LIB(COPY)"))
print("RSTOBJ", rcmd(f, "RSTOBJ OBJ(*ALL) SAVLIB(MYLIB) RSTLIB(COPY)   dev(*savf) savf(qtemp/savf)"))
print("MISSING", rcmd(f, "RSTOBJ OBJ(*ALL) SAVLIB(MYLIB) RSTLIB(NOSUCH) DEV(*SAVF) SAVF(QTEMP/SAVF)"))
print("WRONGLIB", rcmd(f, "RSTLIB SAVLIB(OTHER) DEV(*SAVF) SAVF(QTEMP/SAVF)"))
print("CALLOK", rcmd(f, "CALL PGM(COPY/HELLO) PARM('x')"))
print("CALLBAD", rcmd(f, "CALL PGM(COPY/NOPGM)"))
print("BOGUS", rcmd(f, "WRKACTJOB"))
print("BADKW", rcmd(f, "CRTLIB LIBRARY(X)"))
f.quit()
)PY",
                             host.port(), &out);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_TRUE(contains(out, "SAVOBJ 250 Command SAVOBJ")) << out;
    EXPECT_TRUE(contains(out, "NOMATCH 550-Error occurred on command SAVOBJ\n550 No objects saved or restored for "
                              "library MYLIB..")) << out;
    EXPECT_TRUE(contains(out, "OLDREL 550")) << out;
    EXPECT_TRUE(contains(out, "BADREL 550")) << out;
    EXPECT_TRUE(contains(out, "NOTEMPTY 550-Error occurred on command SAVLIB\n550 Save or restore operation ended "
                              "unsuccessfully..")) << out;
    EXPECT_TRUE(contains(out, "FULL 250")) << out;
    EXPECT_TRUE(contains(out, "CRTLIB 250")) << out;
    EXPECT_TRUE(contains(out, "AGAIN 550-Error occurred on command CRTLIB\n550 Library COPY already exists..")) << out;
    EXPECT_TRUE(contains(out, "RSTOBJ 250")) << out;
    EXPECT_TRUE(contains(out, "MISSING 550")) << out;
    EXPECT_TRUE(contains(out, "WRONGLIB 550")) << out;
    EXPECT_TRUE(contains(out, "CALLOK 250")) << out;
    EXPECT_TRUE(contains(out, "CALLBAD 550-Error occurred on command CALL\n550 Error found on CALL command..")) << out;
    EXPECT_TRUE(contains(out, "BOGUS 550")) << out;
    EXPECT_TRUE(contains(out, "BADKW 550")) << out;
    const auto copy = libraryFiles(fs::path(root.path()) / "COPY");
    const auto orig = libraryFiles(fs::path(root.path()) / "MYLIB");
    EXPECT_EQ(copy, orig); // the full save replaced the generic one before RSTOBJ
    EXPECT_FALSE(fs::exists(fs::path(root.path()) / "NOSUCH"));
}

// A save file damaged in transit is refused with the host's messages and
// restores nothing.
TEST(HostSim, DamagedSaveFileIsRefused)
{
    TempDir rootA, rootB, work;
    HostSimProcess a(rootA.path(), {"--seed-library", "MYLIB"});
    HostSimProcess b(rootB.path());
    ASSERT_TRUE(a.running() && b.running());
    const std::string savf = work.file("mylib.savf");
    std::string out;
    ASSERT_EQ(testsupport::runCommand("curl -sS -u JOE:secret -Q 'RCMD CRTSAVF QTEMP/SAVF' "
                                      "-Q 'RCMD SAVLIB LIB(MYLIB) DEV(*SAVF) SAVF(QTEMP/SAVF)' -o " +
                                          savf + " '" + url(a.port(), "/qsys.lib/qtemp.lib/savf.file") + "'",
                                      &out),
              0)
        << out;

    // Sent in ASCII mode (curl -B): the host converts it as text.
    testsupport::runCommand("curl -sS -v -B -u JOE:secret -T " + savf +
                                " -Q 'RCMD CRTSAVF QTEMP/SAVF' -Q '-RCMD RSTLIB SAVLIB(MYLIB) DEV(*SAVF) "
                                "SAVF(QTEMP/SAVF)' '" +
                                url(b.port(), "/qsys.lib/qtemp.lib/savf.file") + "'",
                            &out);
    EXPECT_TRUE(contains(out, "> TYPE A")) << out;
    EXPECT_TRUE(contains(out, "< 550 File cannot be restored, displayed, or listed..")) << out;
    EXPECT_FALSE(fs::exists(fs::path(rootB.path()) / "MYLIB"));

    // Cut short in binary: refused too, and the job log says why.
    testsupport::writeFile(work.file("short.savf"), testsupport::readFile(savf).substr(0, 20000));
    const int rc = runPython(work, R"PY(
f = login()
prepare(f)
f.storbinary("STOR /qsys.lib/qtemp.lib/savf.file", open(sys.argv[2], "rb"))
print("RST", rcmd(f, "RSTLIB SAVLIB(MYLIB) DEV(*SAVF) SAVF(QTEMP/SAVF)"))
print("\n".join(joblog(f)))
)PY",
                             b.port(), &out, work.file("short.savf"));
    ASSERT_EQ(rc, 0) << out;
    EXPECT_TRUE(contains(out, "RST 550-Error occurred on command RSTLIB\n550 File cannot be restored, displayed, or "
                              "listed..")) << out;
    EXPECT_TRUE(contains(out, "CPF3743    Escape                  40")) << out;
    EXPECT_TRUE(contains(out, "not a multiple of the 528-byte")) << out;
    EXPECT_FALSE(fs::exists(fs::path(rootB.path()) / "MYLIB"));
}

// What an upload lands in when no save file was made first: a path ending
// in .SAVF creates one, a .FILE path creates a physical file, which RSTLIB
// then refuses. Text goes into physical files as records and comes back.
TEST(HostSim, UploadTargetsAndTextRecords)
{
    TempDir root, work;
    HostSimProcess host(root.path(), {"--seed-library", "MYLIB"});
    ASSERT_TRUE(host.running());
    std::string out;
    const int rc = runPython(work, R"PY(
f = login()
prepare(f)
rcmd(f, "SAVLIB LIB(MYLIB) DEV(*SAVF) SAVF(QTEMP/SAVF)")
got = []
f.retrbinary("RETR /qsys.lib/qtemp.lib/savf.file", got.append)
data = b"".join(got)
f.storbinary("STOR /qsys.lib/qtemp.lib/new.savf", io.BytesIO(data))
print("NEWSAVF", rcmd(f, "RSTLIB SAVLIB(MYLIB) RSTLIB(VIASAVF) DEV(*SAVF) SAVF(QTEMP/NEW)"))
f.storbinary("STOR /qsys.lib/qtemp.lib/plain.file", io.BytesIO(data))
print("PLAINPF", rcmd(f, "RSTLIB SAVLIB(MYLIB) DEV(*SAVF) SAVF(QTEMP/PLAIN)"))
print("CRTPF", rcmd(f, "CRTPF FILE(QTEMP/TEXT) RCDLEN(40)"))
f.storlines("STOR /qsys.lib/qtemp.lib/text.file/text.mbr", io.BytesIO(b"first line\r\n  indented  \r\n" + b"x" * 50 + b"\r\nlast"))
lines = []
f.retrlines("RETR /qsys.lib/qtemp.lib/text.file/text.mbr", lines.append)
print("TEXT", lines)
raw = []
f.retrbinary("RETR /qsys.lib/qtemp.lib/text.file/text.mbr", raw.append)
print("RAW", len(b"".join(raw)), b"".join(raw)[:5].hex())
f.quit()
)PY",
                             host.port(), &out);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_TRUE(contains(out, "NEWSAVF 250")) << out;
    EXPECT_TRUE(contains(out, "PLAINPF 550-Error occurred on command RSTLIB\n550 File PLAIN in QTEMP not a save "
                              "file..")) << out;
    EXPECT_TRUE(contains(out, "TEXT ['first line', '  indented', '" + std::string(40, 'x') + "', 'last']")) << out;
    // Four 40-byte EBCDIC records; "first" is 86 89 99 a2 a3.
    EXPECT_TRUE(contains(out, "RAW 160 868999a2a3")) << out;
    EXPECT_EQ(libraryFiles(fs::path(root.path()) / "VIASAVF"), libraryFiles(fs::path(root.path()) / "MYLIB"));
}

// The job log as the jobs fetch it: printed, copied into QTEMP/JOBLOG and
// retrieved in ASCII as text lines. QTEMP belongs to its own connection.
TEST(HostSim, JobLogFetchedInAsciiShowsCommandsAndMessages)
{
    TempDir root, work;
    HostSimProcess host(root.path());
    ASSERT_TRUE(host.running());
    std::string out;
    const int rc = runPython(work, R"PY(
f = login()
prepare(f)
rcmd(f, "CRTLIB LIB(JLTEST)")
rcmd(f, "crtlib lib(jltest)")
other = login()
try:
    other.retrlines("RETR /qsys.lib/qtemp.lib/joblog.file/joblog.mbr", print)
except ftplib.error_perm as e:
    print("OTHERQTEMP", e)
other.quit()
lines = joblog(f)
for l in lines:
    print("|" + l)
raw = []
f.retrbinary("RETR /qsys.lib/qtemp.lib/joblog.file/joblog.mbr", raw.append)
print("RAWLEN", len(b"".join(raw)) % 528)
f.quit()
)PY",
                             host.port(), &out);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_TRUE(contains(out, "OTHERQTEMP 550")) << out;
    EXPECT_TRUE(contains(out, "Display Job Log")) << out;
    EXPECT_TRUE(contains(out, "|MSGID      TYPE                    SEV  DATE      TIME             FROM PGM")) << out;
    EXPECT_TRUE(contains(out, "Message . . . . :  -CRTLIB LIB(JLTEST)")) << out;
    EXPECT_TRUE(contains(out, "Message . . . . :  -crtlib lib(jltest)")) << out;
    EXPECT_TRUE(contains(out, "|CPC2102    Completion              00")) << out;
    EXPECT_TRUE(contains(out, "Message . . . . :   Library JLTEST created.")) << out;
    EXPECT_TRUE(contains(out, "|CPF2111    Escape                  40")) << out;
    EXPECT_TRUE(contains(out, "Message . . . . :  -chgjob log(4 10 *SECLVL) logclpgm(*YES)")) << out;
    EXPECT_TRUE(contains(out, "Message . . . . :  -DSPJOBLOG OUTPUT(*PRINT)")) << out;
    EXPECT_TRUE(contains(out, "RAWLEN 0")) << out;          // binary keeps whole 528-byte records
    EXPECT_FALSE(contains(out, " \n")) << out;              // ASCII lines lose trailing blanks
}

TEST(HostSim, FailSwitchGives550AndIsRecordedInJobLogAndLog)
{
    TempDir root, work;
    const std::string log = work.file("commands.log");
    HostSimProcess host(root.path(), {"--seed-library", "MYLIB", "--fail", "^savlib", "--log", log});
    ASSERT_TRUE(host.running());
    std::string out;
    const int rc = runPython(work, R"PY(
f = login()
prepare(f)
print("SAV", rcmd(f, "SAVLIB LIB(MYLIB) DEV(*SAVF) SAVF(QTEMP/SAVF)"))
print("OTHER", rcmd(f, "CRTLIB LIB(FINE)"))
print("\n".join(joblog(f)))
f.quit()
)PY",
                             host.port(), &out);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_TRUE(contains(out, "SAV 550-Error occurred on command SAVLIB\n550 Error occurred during processing of "
                              "command..")) << out;
    EXPECT_TRUE(contains(out, "OTHER 250")) << out;
    EXPECT_TRUE(contains(out, "CPF9899    Escape                  40")) << out;
    EXPECT_TRUE(fs::exists(fs::path(root.path()) / "FINE"));

    const std::string logged = testsupport::readFile(log);
    EXPECT_TRUE(contains(logged, "USER JOE\nPASS ****\n")) << logged;
    EXPECT_FALSE(contains(logged, "secret"));
    EXPECT_TRUE(contains(logged, "RCMD SAVLIB LIB(MYLIB) DEV(*SAVF) SAVF(QTEMP/SAVF)\n")) << logged;
}

TEST(HostSim, AbortTransferAfterBreaksRetrAndStorWith426)
{
    TempDir root, work;
    HostSimProcess host(root.path(), {"--seed-library", "MYLIB", "--abort-transfer-after", "1000"});
    ASSERT_TRUE(host.running());
    std::string out;
    const int rc = runPython(work, R"PY(
f = login()
prepare(f)
rcmd(f, "SAVLIB LIB(MYLIB) DEV(*SAVF) SAVF(QTEMP/SAVF)")
got = []
try:
    f.retrbinary("RETR /qsys.lib/qtemp.lib/savf.file", got.append)
    print("RETR completed")
except ftplib.error_temp as e:
    print("RETR", e, len(b"".join(got)))
rcmd(f, "CLRSAVF QTEMP/SAVF")
try:
    f.storbinary("STOR /qsys.lib/qtemp.lib/savf.file", io.BytesIO(b"x" * 5000))
    print("STOR completed")
except ftplib.error_temp as e:
    print("STOR", e)
except OSError:
    print("STOR", f.getresp())
print("AFTER", rcmd(f, "RSTLIB SAVLIB(MYLIB) DEV(*SAVF) SAVF(QTEMP/SAVF)"))
f.quit()
)PY",
                             host.port(), &out);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_TRUE(contains(out, "RETR 426 Data transfer ended; connection closed. 1000")) << out;
    EXPECT_TRUE(contains(out, "STOR 426")) << out;
    // The broken upload left the cleared save file as it was.
    EXPECT_TRUE(contains(out, "AFTER 550-Error occurred on command RSTLIB\n550 Save file SAVF in QTEMP contains no "
                              "data..")) << out;
}

// SIZE gives a save file's bytes (or 500 on hosts without it); a quiet cut
// ends a download early and still calls it complete; --fail-message picks the
// escape message, which the reply carries on its last line.
TEST(HostSim, SizeQuietCutsAndChosenFailureMessages)
{
    TempDir root, work;
    const std::string body = R"PY(
f = login()
prepare(f)
print("SAVLIB", rcmd(f, "SAVLIB LIB(MYLIB) DEV(*SAVF) SAVF(QTEMP/SAVF)"))
try:
    print("SIZE", f.sendcmd("SIZE /qsys.lib/qtemp.lib/savf.file"))
except ftplib.all_errors as e:
    print("SIZE", e)
try:
    f.sendcmd("SIZE /qsys.lib/qtemp.lib/joblog.file/joblog.mbr")
except ftplib.all_errors as e:
    print("PFSIZE", e)
f.voidcmd("TYPE I")
got = []
print("RETR", f.retrbinary("RETR /qsys.lib/qtemp.lib/savf.file", got.append), len(b"".join(got)))
print("FAIL", rcmd(f, "CRTLIB LIB(NEWLIB)"))
print("JOBLOG", [l for l in joblog(f) if l.startswith("CPF2182")])
f.quit()
)PY";
    {
        HostSimProcess host(root.path(), {"--seed-library", "MYLIB", "--cut-download-after", "5280", "--transfer-end",
                                          "226", "--fail", "^CRTLIB", "--fail-message",
                                          "CPF2182 Not authorized to library QSYS."});
        ASSERT_TRUE(host.running());
        std::string out;
        ASSERT_EQ(runPython(work, body, host.port(), &out), 0) << out;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(out, m, std::regex("SIZE 213 ([0-9]+)\n"))) << out;
        EXPECT_GT(std::stoll(m[1]), 5280);
        EXPECT_EQ(std::stoll(m[1]) % 528, 0);
        EXPECT_TRUE(contains(out, "PFSIZE 550")) << out;
        EXPECT_TRUE(contains(out, "RETR 226 File transfer completed successfully. 5280")) << out;
        EXPECT_TRUE(contains(out, "FAIL 550-Error occurred on command CRTLIB\n550 Not authorized to library QSYS.."))
            << out;
        EXPECT_TRUE(contains(out, "JOBLOG ['CPF2182    Escape")) << out;
    }
    HostSimProcess plain(root.path(), {"--no-size"});
    ASSERT_TRUE(plain.running());
    std::string out;
    ASSERT_EQ(runPython(work, body, plain.port(), &out), 0) << out;
    EXPECT_TRUE(contains(out, "SIZE 500")) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("RETR 250 File transfer completed successfully. [0-9]{5,}"))) << out;
}

TEST(HostSim, NameFormatsAndUnsafePaths)
{
    TempDir root, work;
    HostSimProcess host(root.path(), {"--seed-library", "MYLIB"});
    ASSERT_TRUE(host.running());
    std::string out;
    const int rc = runPython(work, R"PY(
f = login(fmt1=False)
prepare(f)
def retr(path):
    try:
        got = []
        f.retrbinary("RETR " + path, got.append)
        return "OK %d" % len(b"".join(got))
    except ftplib.all_errors as e:
        return str(e)
print("STRICT", retr("/qsys.lib/mylib.lib/customer.file"))
print("FMT0", retr("mylib/customer.customer"))
print("CWD", f.sendcmd("CWD MYLIB"))
print("FMT0REL", retr("customer"))
print("SITE", f.sendcmd("SITE NAMEFMT 1"))
print("PFDIR", retr("/qsys.lib/mylib.lib/customer.file"))
print("PWD1", f.sendcmd("PWD"))
print("FMT1", retr("/QSYS.LIB/MYLIB.LIB/CUSTOMER.FILE/CUSTOMER.MBR"))
print("CWD1", f.sendcmd("CWD /qsys.lib/qtemp.lib"))
print("FMT1REL", retr("savf.file"))
print("NLST", sorted(f.nlst("/qsys.lib/mylib.lib")))
listing = []
f.retrlines("LIST /qsys.lib", listing.append)
print("LIBS", [l.split()[-1] for l in listing])
print("ESCAPE", retr("/qsys.lib/../../etc/passwd"))
print("ESCAPE2", retr("/qsys.lib/mylib.lib/../../../etc/passwd.file"))
try:
    f.storbinary("STOR /qsys.lib/x.lib/../../evil.file", io.BytesIO(b"x"))
    print("STORESC stored")
except ftplib.all_errors as e:
    print("STORESC", e)
print("LIBESC", rcmd(f, "CRTLIB LIB('../../EVIL')"))
print("LIBESC2", rcmd(f, "CRTSAVF FILE(../EVIL)"))
f.quit()
)PY",
                             host.port(), &out);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_TRUE(contains(out, "STRICT 501 File must be specified by library/file.member.")) << out;
    EXPECT_TRUE(contains(out, "FMT0 OK 240")) << out;
    EXPECT_TRUE(contains(out, "CWD 250 \"MYLIB\" is current library.")) << out;
    EXPECT_TRUE(contains(out, "FMT0REL OK 240")) << out;
    EXPECT_TRUE(contains(out, "SITE 250  Now using naming format \"1\".")) << out;
    // A physical file is a folder of members in name format 1.
    EXPECT_TRUE(contains(out, "PFDIR 550 Specified file /qsys.lib/mylib.lib/customer.file is a directory; specify a "
                              "member.")) << out;
    EXPECT_TRUE(contains(out, "PWD1 257 \"/QSYS.LIB/MYLIB.LIB\" is current library.")) << out;
    EXPECT_TRUE(contains(out, "FMT1 OK 240")) << out;
    EXPECT_TRUE(contains(out, "CWD1 250 \"/QSYS.LIB/QTEMP.LIB\" is current library.")) << out;
    EXPECT_TRUE(contains(out, "FMT1REL OK 0")) << out;
    EXPECT_TRUE(contains(out, "NLST ['CUSTOMER.FILE', 'HELLO.PGM', 'SETTINGS.DTAARA']")) << out;
    EXPECT_TRUE(contains(out, "LIBS ['MYLIB.LIB', 'QGPL.LIB']")) << out;
    EXPECT_TRUE(contains(out, "ESCAPE 550")) << out;
    EXPECT_TRUE(contains(out, "ESCAPE2 550")) << out;
    EXPECT_TRUE(contains(out, "STORESC 550")) << out;
    EXPECT_TRUE(contains(out, "LIBESC 550")) << out;
    EXPECT_TRUE(contains(out, "LIBESC2 550")) << out;
    for (const auto &e : fs::directory_iterator(fs::path(root.path())))
        EXPECT_NE(e.path().filename().string().find("EVIL"), 0u);
    EXPECT_FALSE(fs::exists(fs::path(root.path()).parent_path() / "EVIL"));
    EXPECT_FALSE(fs::exists(fs::path(root.path()).parent_path() / "evil.file"));
}

// Several clients at once, each with its own QTEMP; libraries survive a
// restart; SIGTERM stops the server cleanly with a client still connected.
TEST(HostSim, SeveralClientsPersistenceAndCleanStop)
{
    TempDir root, work;
    {
        HostSimProcess host(root.path(), {"--seed-library", "MYLIB"});
        ASSERT_TRUE(host.running());
        std::string out;
        const int rc = runPython(work, R"PY(
results = {}
def client(n):
    f = login()
    prepare(f)
    r = rcmd(f, "SAVOBJ OBJ(%s) LIB(MYLIB) OBJTYPE(*ALL) DEV(*SAVF) SAVF(QTEMP/SAVF)" % ["HELLO", "CUSTOMER", "SETTINGS", "*ALL"][n])
    got = []
    f.retrbinary("RETR /qsys.lib/qtemp.lib/savf.file", got.append)
    results[n] = (r[:3], len(b"".join(got)))
    f.quit()
threads = [threading.Thread(target=client, args=(n,)) for n in range(4)]
for t in threads: t.start()
for t in threads: t.join()
print("RESULTS", sorted(results.items()))
f = login()
print("CRT", rcmd(f, "CRTLIB LIB(KEEP)"))
f.quit()
)PY",
                                 host.port(), &out);
        ASSERT_EQ(rc, 0) << out;
        // Each client saved into its own QTEMP/SAVF: four different sizes.
        EXPECT_TRUE(contains(out, "RESULTS [(0, ('250', 21648)), (1, ('250', 13728)), (2, ('250', 15312)), (3, "
                                  "('250', 24288))]")) << out;
        EXPECT_TRUE(contains(out, "CRT 250")) << out;
    }
    HostSimProcess host(root.path());
    ASSERT_TRUE(host.running());
    std::string out;
    ASSERT_EQ(runPython(work, "f = login()\nprint('AGAIN', rcmd(f, 'CRTLIB LIB(KEEP)'))\n", host.port(), &out), 0)
        << out;
    EXPECT_TRUE(contains(out, "AGAIN 550-Error occurred on command CRTLIB\n550 Library KEEP already exists.."))
        << out;

    // One client sits idle, another waits in a RETR for a passive data
    // connection that never comes, while the server is told to stop.
    auto connectClient = [&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(host.port()));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        return fd;
    };
    const int idle = connectClient();
    const int waiting = connectClient();
    const std::string script = "USER JOE\r\nPASS secret\r\nSITE NAMEFMT 1\r\nRCMD CRTSAVF QTEMP/SAVF\r\n"
                               "TYPE I\r\nPASV\r\n"
                               "RETR /qsys.lib/qtemp.lib/savf.file\r\n";
    ASSERT_EQ(::send(waiting, script.data(), script.size(), 0), static_cast<ssize_t>(script.size()));
    std::string replies;
    char buf[512];
    while (!contains(replies, "227 ")) {
        const ssize_t n = ::recv(waiting, buf, sizeof buf, 0);
        ASSERT_GT(n, 0) << replies;
        replies.append(buf, static_cast<size_t>(n));
    }
    EXPECT_GT(::recv(idle, buf, sizeof buf, 0), 0);
    ::usleep(200 * 1000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(host.stop(5000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ::close(idle);
    ::close(waiting);
}
