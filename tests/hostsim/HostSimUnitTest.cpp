// The emulator's parts without sockets: CL parsing, save files, job log layout.

#include "ClParser.h"
#include "Ebcdic.h"
#include "HostStore.h"
#include "JobLog.h"
#include "SaveFile.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

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
    const JobIdentity job{"QTFTP01234", "QTCP", "101234", "HOSTSIM"};

    const auto lines = log.print(job, true);
    ASSERT_GE(lines.size(), 9u);
    EXPECT_NE(lines[0].find("Display Job Log"), std::string::npos);
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
