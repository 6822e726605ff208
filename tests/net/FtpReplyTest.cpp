// The reply parser on transcripts, no socket involved.
#include "net/FtpReply.h"

#include <gtest/gtest.h>

#include <vector>

using namespace ftpreply;

TEST(FtpReply, ReplyNumberTakesLeadingDigits)
{
    EXPECT_EQ(ReplyNumber("220-QTCP at host.domain.com.\r\n"), 220);
    EXPECT_EQ(ReplyNumber("530 Log on attempt by user BOB rejected.\r\n"), 530);
    EXPECT_EQ(ReplyNumber("200\r\n"), 200);
    EXPECT_EQ(ReplyNumber("Hello\r\n"), 0);
    EXPECT_EQ(ReplyNumber(""), 0);
    // Beyond 16 bits is no reply number, never a negative or wrapped one.
    EXPECT_EQ(ReplyNumber("99999 odd\r\n"), 0);
    EXPECT_EQ(ReplyNumber("12345678901234 long\r\n"), 0);
}

TEST(FtpReply, ByteCountFromTransferReplies)
{
    EXPECT_EQ(ByteCount("150 Opening BINARY mode data connection for X (12345 bytes).\r\n"), 12345);
    EXPECT_EQ(ByteCount("150 Opening data connection for a7.bin (77 Bytes)\r\n"), 77);
    EXPECT_EQ(ByteCount("150 File 2024 is 9000 BYTES long\r\n"), 9000);
    EXPECT_EQ(ByteCount("150 Retrieving member SAVF in file SAVF in library QTEMP.\r\n"), 0);
    // The reply code is no byte count.
    EXPECT_EQ(ByteCount("150 bytes follow\r\n"), 0);
    EXPECT_EQ(ByteCount("150 for x (5000000000 bytes)\r\n"), 5000000000LL);
}

TEST(FtpReply, ClassifyRawCommands)
{
    struct Row {
        const char *cmd;
        TCmdType type;
    } rows[] = {
        {"CWD /x", ctChangeDirectory}, {"MKD lib", ctMakeDirectory},
        {"DELE f", ctDeleteFile},      {"RMD lib", ctRemoveDirectory},
        {"PWD", ctPrintDirectory},     {"PWD /x", ctOtherCommand},
        {"cwd /x", ctOtherCommand},    {"RCMD CRTSAVF QTEMP/SAVF", ctOtherCommand},
        {"CWD", ctChangeDirectory},    {"TYPE I", ctOtherCommand},
    };
    for (const auto &r : rows)
        EXPECT_EQ(Classify(r.cmd), r.type) << r.cmd;
}

namespace
{
// Feeds lines until the assembler says the reply is complete; returns how
// many lines it took (0 = never complete).
size_t linesOfReply(const std::vector<std::string> &lines)
{
    ReplyAssembler r;
    for (size_t i = 0; i < lines.size(); ++i)
        if (!r.NeedsMore(lines[i]))
            return i + 1;
    return 0;
}
} // namespace

TEST(FtpReply, MultiLineReplies)
{
    EXPECT_EQ(linesOfReply({"200 OK\r\n", "200 next\r\n"}), 1u);
    // IBM i greeting, read from the blank starting line.
    EXPECT_EQ(
        linesOfReply({" ", "220-QTCP at host.\r\n", "220 Connection will close if idle.\r\n", "331 x\r\n"}),
        3u);
    // FEAT on IBM i: inner lines are free text and must not end the reply.
    EXPECT_EQ(linesOfReply({"211-Feature listing follows:\r\n", "AUTH TLS\r\n", "PBSZ\r\n",
                            "211 End of feature listing.\r\n", "200 next\r\n"}),
              4u);
    // A "DDD-" inner line with another code does not end it either.
    EXPECT_EQ(
        linesOfReply({"250-NAMEFMT set to 1.\r\n", "230-odd\r\n", "250 \"/home\" is current directory.\r\n"}),
        3u);
    EXPECT_EQ(linesOfReply({"230-Welcome\r\n", " indented\r\n", "230\r\n"}), 3u);
    EXPECT_EQ(linesOfReply({"230-Welcome\r\n", "still going\r\n"}), 0u);
}

TEST(FtpReply, PassivePortFromEpsvAndPasvReplies)
{
    // IBM i writes EPSV with "!" as the delimiter; RFC 2428 shows "|".
    EXPECT_EQ(ftpreply::PassivePort("229 Entering Extended Passive Mode (!!!46934!).\r\n"), 46934);
    EXPECT_EQ(ftpreply::PassivePort("229 Entering Extended Passive Mode (|||6446|)\r\n"), 6446);
    EXPECT_EQ(ftpreply::PassivePort("227 Entering Passive Mode (10,20,144,151,62,141).\r\n"), 62 * 256 + 141);
    EXPECT_EQ(ftpreply::PassivePort("227 Entering Passive Mode (10, 20, 144, 151, 0, 21)\r\n"), 21);
    for (const char *bad : {"229 Entering Extended Passive Mode (!!46934!).", "229 (|||70000|)", "229 (|||-1|)",
                            "227 Entering Passive Mode (10,20,144,151,62).", "227 (1,2,3,4,5,6,7)",
                            "227 (1,2,3,4,256,1)", "227 (1,2,3,4,0,0)", "227 Entering Passive Mode",
                            "200 (|||21|)"})
        EXPECT_EQ(ftpreply::PassivePort(bad), -1) << bad;
}
