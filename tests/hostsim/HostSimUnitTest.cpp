// The emulator's parts without sockets: CL parsing, save files, job log layout.

#include "ClParser.h"
#include "Ebcdic.h"
#include "HostJob.h"
#include "HostStore.h"
#include "JobLog.h"
#include "SaveFile.h"
#include "SshCommand.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace hostsim;
using testsupport::TempDir;

TEST(ClParser, KeywordsPositionalsQuotesAndNesting)
{
    ClSyntaxError err;
    const auto cmd = parseCl("savobj obj(myobj* b) lib(mylib) OBJTYPE(*PGM        ) tgtrls(*current)   "
                             "SavAct(*Lib) text('Keep Case ''here''') log(4 (10 x) *seclvl)",
                             &err);
    ASSERT_TRUE(cmd);
    EXPECT_EQ(cmd->name, "SAVOBJ");
    ASSERT_EQ(cmd->params.size(), 7u);
    EXPECT_EQ(cmd->params[0].keyword, "OBJ");
    EXPECT_EQ(cmd->params[0].value, "MYOBJ* B");
    EXPECT_EQ(cmd->params[2].value, "*PGM"); // blanks inside the parentheses do not count
    EXPECT_EQ(cmd->params[4].keyword, "SAVACT");
    EXPECT_EQ(cmd->params[4].value, "*LIB");
    EXPECT_EQ(cmd->params[5].value, "'Keep Case ''here'''");
    EXPECT_EQ(clUnquote(cmd->params[5].value), "Keep Case 'here'");
    EXPECT_EQ(clElements(cmd->params[6].value), (std::vector<std::string>{"4", "(10 X)", "*SECLVL"}));

    const auto pos = parseCl("crtsavf qtemp/savf", &err);
    ASSERT_TRUE(pos);
    EXPECT_EQ(pos->params[0].keyword, "");
    EXPECT_EQ(pos->params[0].value, "QTEMP/SAVF");
    const auto q = clQualified(pos->params[0].value, "*LIBL");
    EXPECT_EQ(q.library, "QTEMP");
    EXPECT_EQ(q.object, "SAVF");

    const auto lib = parseCl("QSYS/CRTLIB LIB(X)", &err);
    ASSERT_TRUE(lib);
    EXPECT_EQ(lib->library, "QSYS");
    EXPECT_EQ(lib->name, "CRTLIB");
}

TEST(ClParser, RefusesBrokenSyntaxAndUnsafeNames)
{
    ClSyntaxError err;
    EXPECT_FALSE(parseCl("CRTLIB LIB(X", &err));
    EXPECT_EQ(err.msgId, "CPD0013");
    EXPECT_FALSE(parseCl("CRTLIB TEXT('open", &err));
    EXPECT_EQ(err.msgId, "CPD0020");
    EXPECT_FALSE(parseCl("CRTLIB X)", &err));
    EXPECT_FALSE(parseCl("   ", &err));

    for (const char *good : {"MYLIB", "Q1", "$ABC", "#X_Y.Z", "ABCDEFGHIJ"})
        EXPECT_TRUE(isValidName(good)) << good;
    for (const char *bad : {"", "..", "../X", "A/B", "1ABC", "ABCDEFGHIJK", "mylib", ".X", "A B", "'A'"})
        EXPECT_FALSE(isValidName(bad)) << bad;
    EXPECT_TRUE(isValidGenericName("MY*"));
    EXPECT_FALSE(isValidGenericName("*"));
}

TEST(Ebcdic, NamesAndTextRoundTrip)
{
    EXPECT_EQ(toEbcdic("MYLIB"), std::string("\xD4\xE8\xD3\xC9\xC2"));
    EXPECT_EQ(ebcdicField("AB", 4), std::string("\xC1\xC2\x40\x40"));
    const std::string text = "Library X created. 0-9 $#@_ (a) ÆØÅ";
    EXPECT_EQ(fromEbcdic(toEbcdic(text)), text);
    EXPECT_EQ(toEbcdic("€"), std::string("\x3F")); // outside Latin-1
}

class SaveFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        objects = {{"BIG", "*PGM", "", dir.file("BIG.PGM")},
                   {"EMPTY", "*DTAARA", "", dir.file("EMPTY.DTAARA")},
                   {"DATA", "*FILE", "PF", dir.file("DATA.FILE")}};
        testsupport::writeFile(objects[0].path, testsupport::randomBytes(70001, 7));
        testsupport::writeFile(objects[1].path, "");
        testsupport::writeFile(objects[2].path, HostStore::pfHeader(10) + std::string(30, '\x40'));
        info.library = "MYLIB";
        info.command = "SAVLIB";
        info.release = "V7R3M0";
        info.savedAt = "20240101120000";
        info.system = "HOSTSIM";
    }
    TempDir dir;
    std::vector<ObjectSource> objects;
    SaveFileInfo info;
};

TEST_F(SaveFileTest, RoundTripKeepsEveryByteAndTheHostLayout)
{
    const std::string savf = dir.file("SAVF.FILE");
    std::string error;
    ASSERT_TRUE(writeSaveFile(savf, info, objects, &error)) << error;
    const std::string bytes = testsupport::readFile(savf);
    EXPECT_EQ(bytes.size() % kSavfRecordLength, 0u);
    EXPECT_EQ(bytes.substr(kSavfLibraryOffset, 10), ebcdicField("MYLIB", 10));
    EXPECT_EQ(bytes.substr(40, 8), std::string(8, '\x40'));
    EXPECT_EQ(bytes.substr(kSavfDescriptorOffset, 10), std::string("\x19\xDB") + toEbcdic("QSRDSSPC"));
    EXPECT_EQ(bytes[kSavfDescriptorOffset + 212], '\x02');
    EXPECT_EQ(static_cast<uint8_t>(bytes[kSavfDescriptorOffset + 213]), 0x48);

    std::string reason;
    const auto read = readSaveFile(savf, &reason);
    ASSERT_TRUE(read) << reason;
    EXPECT_EQ(read->library, "MYLIB");
    EXPECT_EQ(read->command, "SAVLIB");
    EXPECT_EQ(read->release, "V7R3M0");
    ASSERT_EQ(read->objects.size(), 3u);
    for (size_t i = 0; i < objects.size(); ++i) {
        EXPECT_EQ(read->objects[i].name, objects[i].name);
        EXPECT_EQ(read->objects[i].type, objects[i].type);
        EXPECT_EQ(read->objects[i].attribute, objects[i].attribute);
        const std::string out = dir.file("out" + std::to_string(i));
        ASSERT_TRUE(extractObject(savf, read->objects[i], out, &error)) << error;
        EXPECT_EQ(testsupport::readFile(out), testsupport::readFile(objects[i].path.string()));
    }
}

TEST_F(SaveFileTest, AnyDamageIsRefused)
{
    const std::string savf = dir.file("SAVF.FILE");
    ASSERT_TRUE(writeSaveFile(savf, info, objects, nullptr));
    const std::string good = testsupport::readFile(savf);
    const std::string damaged = dir.file("damaged");
    std::string reason;
    // One flipped byte in the header, the library name, an entry, the data, the padding.
    for (size_t pos : {size_t{3}, kSavfLibraryOffset, kSavfHeaderLength + 5, kSavfHeaderLength + 40000,
                       good.size() - 1}) {
        std::string bad = good;
        bad[pos] = static_cast<char>(bad[pos] ^ 0x20);
        testsupport::writeFile(damaged, bad);
        EXPECT_FALSE(readSaveFile(damaged, &reason)) << "flip at " << pos;
        EXPECT_FALSE(reason.empty());
    }
    testsupport::writeFile(damaged, good.substr(0, good.size() - kSavfRecordLength));
    EXPECT_FALSE(readSaveFile(damaged, &reason));
    testsupport::writeFile(damaged, good.substr(0, good.size() - 1));
    EXPECT_FALSE(readSaveFile(damaged, &reason));
    EXPECT_NE(reason.find("528"), std::string::npos);
    // What arrives after an ASCII-mode upload: CR and LF bytes gone, the rest "converted".
    std::string ascii;
    for (char c : good)
        if (c != '\r' && c != '\n')
            ascii.push_back(static_cast<char>(latin1ToEbcdic(static_cast<uint8_t>(c))));
    testsupport::writeFile(damaged, ascii);
    EXPECT_FALSE(readSaveFile(damaged, &reason));
}

TEST(JobLog, PrintsTheHostColumns)
{
    JobLog log;
    JobMessage req;
    req.id = "*NONE";
    req.type = MsgType::Request;
    req.text = "CRTLIB LIB(X)";
    log.add(req);
    JobMessage esc;
    esc.id = "CPF2111";
    esc.type = MsgType::Escape;
    esc.severity = 40;
    esc.text = std::string("Library X already exists. ") + std::string(120, 'y');
    esc.cause = "Cause text.";
    log.add(esc);
    const JobIdentity job{"QTFTP01234", "QTCP", "101234", "SYSNAME", "V7R3M0"};

    const auto lines = log.print(job, true);
    ASSERT_GE(lines.size(), 9u);
    EXPECT_EQ(lines[0].substr(0, 79), " 5770SS1 V7R3M0  160422                    Display Job Log                     ");
    EXPECT_EQ(lines[0].substr(79, 13), "SYSNAME   " + lines[0].substr(89, 3));
    EXPECT_EQ(lines[0].substr(lines[0].size() - 9), "Page    1");
    EXPECT_EQ(lines[0].rfind(" 5770SS1 V7R3M0", 0), 0u);
    EXPECT_NE(lines[1].find("QTFTP01234"), std::string::npos);
    EXPECT_EQ(lines[3].rfind("MSGID      TYPE", 0), 0u);
    EXPECT_EQ(lines[4].substr(0, 5), "*NONE");
    EXPECT_EQ(lines[4].substr(11, 7), "Request");
    EXPECT_EQ(lines[5], std::string(37, ' ') + "Message . . . . :  -CRTLIB LIB(X)");
    EXPECT_EQ(lines[6].substr(0, 7), "CPF2111");
    EXPECT_EQ(lines[6].substr(11, 6), "Escape");
    EXPECT_EQ(lines[6].substr(35, 2), "40");
    EXPECT_EQ(lines[6][42], '/');   // date mm/dd/yy at 40
    EXPECT_EQ(lines[6][52], ':');   // time at 50
    for (const auto &l : lines) {
        EXPECT_LE(l.size(), 132u) << l;
        EXPECT_TRUE(l.empty() || l.back() != ' ') << l;
    }
    // The long text wraps onto indented lines; the cause shows with *SECLVL only.
    EXPECT_EQ(lines[8].substr(0, 39), std::string(39, ' '));
    const auto joined = [](const std::vector<std::string> &v) {
        std::string s;
        for (const auto &l : v)
            s += l + "\n";
        return s;
    };
    EXPECT_NE(joined(lines).find("Cause . . . . . :   Cause text."), std::string::npos);
    EXPECT_EQ(joined(log.print(job, false)).find("Cause"), std::string::npos);
}

// The CL commands as a job runs them, checked by the messages they leave.
class HostJobTest : public ::testing::Test {
protected:
    HostJobTest() : store(root.path()), job(store, config, 123456)
    {
        store.createLibrary("QGPL");
        const auto lib = store.createLibrary("MYLIB");
        testsupport::writeFile((lib / "PGM1.PGM").string(), "program");
    }
    // The ids of the messages after the last request, in order.
    std::string idsOfLast(const std::string &command)
    {
        const CommandResult r = job.run(command);
        lastText = r.escapeText;
        std::string ids;
        const auto &msgs = job.log().messages();
        size_t i = msgs.size();
        while (i > 0 && msgs[i - 1].type != MsgType::Request)
            --i;
        for (; i < msgs.size(); ++i)
            ids += (ids.empty() ? "" : " ") + (msgs[i].id.empty() ? std::string("-") : msgs[i].id);
        return (r.ok ? "ok" : "fail") + std::string(ids.empty() ? "" : " ") + ids;
    }
    TempDir root;
    HostConfig config;
    HostStore store;
    HostJob job;
    std::string lastText;
};

TEST_F(HostJobTest, MessagesOfCreateSaveAndRestore)
{
    EXPECT_EQ(idsOfLast("crtsavf qtemp/savf"), "ok CPC7301");
    EXPECT_EQ(idsOfLast("CRTSAVF FILE(QTEMP/SAVF)"), "fail CPF5813 CPF7302");
    EXPECT_EQ(lastText, "File SAVF not created in library QTEMP.");
    EXPECT_EQ(idsOfLast("CRTSAVF NOLIB/SAVF"), "fail CPF9810 CPF7302");
    EXPECT_EQ(idsOfLast("SAVLIB LIB(NOLIB) DEV(*SAVF) SAVF(QTEMP/SAVF)"), "fail CPF3781");
    EXPECT_EQ(idsOfLast("SAVLIB LIB(MYLIB) DEV(TAP01)"), "fail CPF9814");
    EXPECT_EQ(idsOfLast("SAVLIB LIB(MYLIB) DEV(*SAVF) SAVF(QTEMP/NOSAVF)"), "fail CPF9812");
    EXPECT_EQ(idsOfLast("SAVLIB LIB(MYLIB) DEV(*SAVF) SAVF(QTEMP/SAVF) TGTRLS(V6R1M0)"), "fail CPD37B4 CPF0001");
    EXPECT_EQ(idsOfLast("SAVLIB LIB(MYLIB) DEV(*SAVF) SAVF(QTEMP/SAVF) TGTRLS(*PRV)"), "ok CPC3722");
    EXPECT_EQ(lastText, "");
    EXPECT_EQ(idsOfLast("SAVLIB MYLIB *SAVF SAVF(QTEMP/SAVF)"), "fail CPA4067 - CPF3794");
    EXPECT_EQ(idsOfLast("RSTLIB SAVLIB(OTHER) DEV(*SAVF) SAVF(QTEMP/SAVF)"), "fail CPF3780");
    EXPECT_EQ(idsOfLast("RSTLIB SAVLIB(MYLIB) DEV(*SAVF) SAVF(QTEMP/SAVF) RSTLIB(NEWLIB) RSTASP(1)"), "ok CPC3703");
    EXPECT_EQ(lastText, "");
    EXPECT_EQ(testsupport::readFile(root.file("NEWLIB/PGM1.PGM")), "program");
    EXPECT_EQ(idsOfLast("CLRSAVF QTEMP/SAVF"), "ok");
    EXPECT_EQ(idsOfLast("RSTLIB SAVLIB(MYLIB) DEV(*SAVF) SAVF(QTEMP/SAVF)"), "fail CPF3707");
    EXPECT_EQ(idsOfLast("CRTLIB LIB(MYLIB)"), "fail CPF2111");
    EXPECT_EQ(idsOfLast("CRTLIB LIB(NEW2) TEXT('Kept as typed')"), "ok CPC2102");
}

TEST_F(HostJobTest, CommandAnalyserErrors)
{
    EXPECT_EQ(idsOfLast("STRPDM"), "fail CPD0030 CPF0006");
    EXPECT_EQ(lastText, "Errors occurred in command.");
    EXPECT_EQ(idsOfLast("CRTLIB A B C"), "fail CPD0071 CPF0001");
    EXPECT_EQ(lastText, "Error found on CRTLIB command.");
    EXPECT_EQ(idsOfLast("CRTLIB LIBRARY(X)"), "fail CPD0043 CPF0001");
    EXPECT_EQ(idsOfLast("CRTLIB LIB(X) LIB(Y)"), "fail CPD0044 CPF0001");
    EXPECT_EQ(idsOfLast("CRTSAVF"), "fail CPD0072 CPF0001");
    EXPECT_EQ(idsOfLast("CRTLIB LIB(X"), "fail CPD0013 CPF0006");
    EXPECT_EQ(idsOfLast("CALL PGM(MYLIB/NOPGM)"), "fail CPD0170 CPF0001");
    EXPECT_EQ(idsOfLast("CALL MYLIB/PGM1 PARM('a')"), "ok");
}

TEST_F(HostJobTest, JobLogThroughSpooledFileIntoPhysicalFile)
{
    EXPECT_EQ(idsOfLast("CPYSPLF FILE(QPJOBLOG) TOFILE(QTEMP/JOBLOG) SPLNBR(*LAST)"), "fail CPF3303");
    EXPECT_EQ(idsOfLast("CRTPF FILE(QTEMP/JOBLOG) RCDLEN(132)"), "ok CPC7301");
    EXPECT_EQ(idsOfLast("CHGJOB LOG(4 10 *SECLVL) LOGCLPGM(*YES)"), "ok");
    EXPECT_EQ(idsOfLast("CRTLIB LIB(MYLIB)"), "fail CPF2111");
    EXPECT_EQ(idsOfLast("DSPJOBLOG OUTPUT(*PRINT)"), "ok");
    EXPECT_EQ(idsOfLast("DSPJOBLOG"), "ok");
    EXPECT_EQ(idsOfLast("CPYSPLF QPJOBLOG QTEMP/JOBLOG SPLNBR(*ONLY)"), "fail CPF3303"); // two exist
    EXPECT_EQ(idsOfLast("CPYSPLF FILE(QPJOBLOG) TOFILE(QTEMP/JOBLOG) SPLNBR(1)"), "ok");
    const auto dir = job.libraryDir("QTEMP");
    ASSERT_TRUE(dir);
    const std::string pf = testsupport::readFile((*dir / "JOBLOG.FILE").string());
    ASSERT_EQ((pf.size() - kPfHeaderLength) % 132, 0u);
    std::string text;
    for (size_t off = kPfHeaderLength; off < pf.size(); off += 132) {
        std::string line = fromEbcdic(pf.substr(off, 132));
        line.erase(line.find_last_not_of(' ') + 1);
        text += line + "\n";
    }
    EXPECT_NE(text.find("-CRTLIB LIB(MYLIB)"), std::string::npos) << text;
    EXPECT_NE(text.find("Library MYLIB already exists."), std::string::npos) << text;
    EXPECT_EQ(text.find("-DSPJOBLOG\n"), std::string::npos); // spooled file 1 was printed before it
    EXPECT_EQ(idsOfLast("DLTSPLF FILE(QPJOBLOG) SPLNBR(*LAST)"), "ok");
    EXPECT_EQ(idsOfLast("DLTSPLF FILE(QPJOBLOG) SPLNBR(*LAST)"), "ok");
    EXPECT_EQ(idsOfLast("DLTSPLF FILE(QPJOBLOG) SPLNBR(*LAST)"), "fail CPF3303");
    EXPECT_EQ(idsOfLast("CLRPFM QTEMP/JOBLOG"), "ok CPC3101");
    EXPECT_EQ(testsupport::readFile((*dir / "JOBLOG.FILE").string()), HostStore::pfHeader(132));
}

// The SSH face: the words a PASE shell would make of a command line, and
// what `system` and `cat` print and return.
TEST(SshCommand, ShellWordsAsAPosixShellSplitsThem)
{
    using W = std::vector<std::string>;
    EXPECT_EQ(shellWords("system 'CRTLIB LIB(A) TEXT('\\''x'\\'')'"), (W{"system", "CRTLIB LIB(A) TEXT('x')"}));
    EXPECT_EQ(shellWords("system \"DLTF \\\"Q\\\"\" a\\ b"), (W{"system", "DLTF \"Q\"", "a b"}));
    EXPECT_EQ(shellWords("cat >/QSYS.LIB/A.LIB/B.FILE"), (W{"cat", ">", "/QSYS.LIB/A.LIB/B.FILE"}));
    for (const char *refused : {"cat x; rm -rf /", "cat $(id)", "system 'x", "cat a | sh", "cat `id`", "cat *",
                                "system \"$HOME\"", "cat < /etc/passwd"})
        EXPECT_FALSE(shellWords(refused).has_value()) << refused;
}

TEST_F(HostJobTest, SshCommandsRunAsJobsOfTheirOwnAndStreamSaveFiles)
{
    SshConfig ssh;
    TempDir io;
    const auto run = [&](const std::string &line, const std::string &input = {}) {
        testsupport::writeFile(io.file("in"), input);
        const int in = ::open(io.file("in").c_str(), O_RDONLY);
        const int out = ::open(io.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(io.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int status = runSshCommand(line, store, ssh, in, out, err);
        ::close(in);
        ::close(out);
        ::close(err);
        return std::to_string(status) + "|" + testsupport::readFile(io.file("out")) + "|" +
               testsupport::readFile(io.file("err"));
    };
    EXPECT_EQ(run("system 'CRTSAVF QGPL/S1'"), "0|CPC7301: File S1 created in library QGPL.\n|");
    EXPECT_EQ(run("system -v 'SAVLIB LIB(MYLIB) DEV(*SAVF) SAVF(QGPL/S1)'"), "0|CPC3722: 1 objects saved from library MYLIB.\n|");
    EXPECT_EQ(run("system 'CRTSAVF QGPL/S1'"),
              "255||CPF5813: File S1 in library QGPL already exists.\nCPF7302: File S1 not created in library QGPL.\n");
    // QTEMP is the job's own: made by one command, gone for the next.
    EXPECT_EQ(run("system 'CRTSAVF QTEMP/T'").substr(0, 2), "0|");
    EXPECT_EQ(run("system 'CLRSAVF QTEMP/T'"), "255||CPF9812: File T in library QTEMP not found.\n");

    const std::string saved = testsupport::readFile(root.file("QGPL/S1.FILE"));
    EXPECT_EQ(run("cat /qsys.lib/qgpl.lib/s1.file"), "0|" + saved + "|");
    EXPECT_EQ(run("system 'CRTSAVF QGPL/S2'").substr(0, 2), "0|");
    EXPECT_EQ(run("cat > /QSYS.LIB/QGPL.LIB/S2.FILE", saved), "0||");
    EXPECT_EQ(testsupport::readFile(root.file("QGPL/S2.FILE")), saved);
    // Only existing save files, whole records, QSYS.LIB paths.
    EXPECT_EQ(run("cat > /QSYS.LIB/QGPL.LIB/S2.FILE", "short"), "2||cat: 0652-054 Cannot write to /QSYS.LIB/QGPL.LIB/S2.FILE.\n");
    EXPECT_EQ(testsupport::readFile(root.file("QGPL/S2.FILE")), saved);
    EXPECT_EQ(run("cat > /QSYS.LIB/QGPL.LIB/NEW.FILE", saved).substr(0, 2), "2|");
    EXPECT_EQ(run("cat /QSYS.LIB/QGPL.LIB/../../etc/passwd").substr(0, 2), "2|");
    EXPECT_EQ(run("system 'DLTF QGPL/S2'"), "0|CPC2191: Object S2 in QGPL type *FILE deleted.\n|");
    EXPECT_FALSE(testsupport::fileExists(root.file("QGPL/S2.FILE")));
    EXPECT_EQ(run("system 'DLTF QGPL/S2'"), "255||CPF2105: Object S2 in QGPL type *FILE not found.\n");
    EXPECT_EQ(run("ls /").substr(0, 4), "127|");
    EXPECT_EQ(run("cat a; id").substr(0, 2), "2|");
}

// CRTSAVF's AUT is the *PUBLIC authority the save file keeps: the library's
// default (QCRTAUT's *CHANGE) unless given, through a SAVLIB into it.
TEST_F(HostJobTest, SaveFilesKeepThePublicAuthorityTheyWereMadeWith)
{
    const struct {
        const char *aut, *kept;
    } cases[] = {{"", "*CHANGE"}, {" AUT(*EXCLUDE)", "*EXCLUDE"}, {" aut(*use)", "*USE"}, {" AUT(*ALL)", "*CHANGE"}};
    int n = 0;
    for (const auto &c : cases) {
        const std::string name = "A" + std::to_string(++n);
        ASSERT_TRUE(job.run("CRTSAVF QGPL/" + name + c.aut).ok) << c.aut;
        ASSERT_TRUE(job.run("SAVLIB LIB(MYLIB) DEV(*SAVF) SAVF(QGPL/" + name + ")").ok);
        EXPECT_EQ(HostStore::publicAuthority(root.file("QGPL/" + name + ".FILE")), c.kept) << c.aut;
    }
    EXPECT_FALSE(job.run("CRTSAVF QGPL/BAD AUT(*NONE)").ok);
    EXPECT_FALSE(testsupport::fileExists(root.file("QGPL/BAD.FILE")));
}
