#include "jobs/ArchiveInfo.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>

using namespace jobs;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

TArchiveInfo freshRecord()
{
    TArchiveInfo info;
    info.reset();
    return info;
}

std::string raw(const TArchiveInfo &info, std::size_t offset, std::size_t n)
{
    return std::string(reinterpret_cast<const char *>(info.bytes()) + offset, n);
}

} // namespace

TEST(ArchiveInfo, ResetGivesStartValuesAndZeroesElsewhere)
{
    TArchiveInfo info;
    std::memset(info.bytes(), 0xAB, sizeof info);
    info.reset();
    EXPECT_EQ(raw(info, 0, 4), std::string("\x65\0\0\0", 4));
    EXPECT_EQ(raw(info, 568, 11), std::string("*CURRENT\0\0\0", 11));
    EXPECT_EQ(raw(info, 1102, 11), std::string("*SAVLIB\0\0\0\0", 11));
    for (std::size_t i = 4; i < sizeof info; ++i) {
        if ((i >= 568 && i < 579) || (i >= 1102 && i < 1113))
            continue;
        ASSERT_EQ(info.bytes()[i], 0) << "byte " << i;
    }
}

TEST(ArchiveInfo, FieldHashIsFnv1aAndCheckValueSumsTheSevenFields)
{
    const char empty[4] = {};
    EXPECT_EQ(fieldHash(empty, sizeof empty), 0x811C9DC5u);
    EXPECT_EQ(fieldHash("a", 2), 0xE40C292Cu);
    EXPECT_EQ(fieldHash("foobar", 7), 0xBF9CF968u);
    // Bounded: a field without a terminator hashes only its own bytes.
    EXPECT_EQ(fieldHash("foobarXYZ", 6), 0xBF9CF968u);

    TArchiveInfo info = freshRecord();
    info.setOwnerName("a");
    info.setTargetCommand("foobar");
    // Fields outside the seven do not count.
    info.setSavedLibrary("MYLIB");
    info.setDownloadAddress("http://example.invalid/");
    // owner, command, four empty fields and "*SAVLIB" as the default restore library.
    const uint32_t expected = 0xE40C292Cu + 0xBF9CF968u + 4 * 0x811C9DC5u + fieldHash("*SAVLIB", 8);
    EXPECT_EQ(computeCheckValue(info), expected);
}

TEST(ArchiveInfo, WrittenMemberIsTheRecordByteForByte)
{
    TempDir dir;
    TArchiveInfo info = freshRecord();
    info.setSavedLibrary("mylib");
    info.SaveType = 1;
    info.setOwnerName("Tamsholt Data");
    info.setTargetCommand("CALL PGM(MYLIB/INIT)");
    info.PosterStretch = 1;
    info.setTempSaveFilePath("/tmp/_4QabcDEF/4QL1A2B.tmp");
    ASSERT_TRUE(writeInfoMember(info, dir.path()));

    const std::string bytes = readFile(dir.file("zipInfo.4qi"));
    ASSERT_EQ(bytes.size(), 1884u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x65\0\0\0", 4));
    EXPECT_EQ(bytes, raw(info, 0, sizeof info));
    uint32_t stored;
    std::memcpy(&stored, bytes.data() + 4, 4);
    EXPECT_EQ(stored, computeCheckValue(info));
    EXPECT_EQ(bytes.substr(8, 6), std::string("mylib\0", 6)); // typed case kept
    EXPECT_EQ(bytes[20], 1);
    EXPECT_EQ(bytes[1625], 1);
    EXPECT_EQ(info.saveFileMemberName(), "4QL1A2B.tmp");

    // Read back into a record that held something else.
    TArchiveInfo back;
    std::memset(back.bytes(), 0x5A, sizeof back);
    bool matches = false;
    ASSERT_TRUE(readInfoMember(back, dir.path(), &matches));
    EXPECT_TRUE(matches);
    EXPECT_EQ(std::memcmp(back.bytes(), info.bytes(), sizeof info), 0);
    EXPECT_EQ(back.targetCommand(), "CALL PGM(MYLIB/INIT)");
}

TEST(ArchiveInfo, TailAfterTerminatorSurvivesWriteAndRead)
{
    TempDir dir;
    TArchiveInfo info = freshRecord();
    info.setOwnerName("A LONGER OWNER NAME");
    EXPECT_TRUE(info.setOwnerName("SHORT"));
    EXPECT_EQ(info.ownerName(), "SHORT");
    EXPECT_EQ(raw(info, 280, 20), std::string("SHORT\0ER OWNER NAME\0", 20));
    // "QGPL" over "*SAVLIB" keeps "IB" after the new terminator.
    info.setDefaultRestoreLibrary("QGPL");
    EXPECT_EQ(raw(info, 1102, 8), std::string("QGPL\0IB\0", 8));

    ASSERT_TRUE(writeInfoMember(info, dir.path()));
    const std::string bytes = readFile(dir.file("zipInfo.4qi"));
    EXPECT_EQ(bytes.substr(280, 20), std::string("SHORT\0ER OWNER NAME\0", 20));

    TArchiveInfo back = freshRecord();
    ASSERT_TRUE(readInfoMember(back, dir.path()));
    EXPECT_EQ(back.ownerName(), "SHORT");
    EXPECT_EQ(back.defaultRestoreLibrary(), "QGPL");
    EXPECT_EQ(raw(back, 280, 20), std::string("SHORT\0ER OWNER NAME\0", 20));
}

TEST(ArchiveInfo, ShortFileReplacesOnlyItsBytes)
{
    TempDir dir;
    TArchiveInfo info = freshRecord();
    info.setSavedLibrary("OLDLIB");
    info.setOwnerName("Owner before");
    // 13 bytes: version 102, check 0, saved library "NEW", terminator, one byte.
    writeFile(dir.file("zipInfo.4qi"), std::string("\x66\0\0\0\0\0\0\0NEW\0X", 13));
    bool matches = true;
    ASSERT_TRUE(readInfoMember(info, dir.path(), &matches));
    EXPECT_FALSE(matches); // a wrong check value is accepted all the same
    EXPECT_EQ(info.FormatVersion, 102);
    EXPECT_EQ(info.savedLibrary(), "NEW");
    EXPECT_EQ(raw(info, 8, 12), std::string("NEW\0XB\0\0\0\0\0\0", 12));
    EXPECT_EQ(info.ownerName(), "Owner before");
    EXPECT_EQ(info.savedRelease(), "*CURRENT");

    // A longer file: only the first 1884 bytes count.
    TArchiveInfo full = freshRecord();
    full.setOwnerName("From a longer file");
    std::string bytes = raw(full, 0, sizeof full) + "TRAILING GARBAGE";
    writeFile(dir.file("zipInfo.4qi"), bytes);
    ASSERT_TRUE(readInfoMember(info, dir.path()));
    EXPECT_EQ(info.ownerName(), "From a longer file");
    EXPECT_EQ(info.savedLibrary(), "");
}

TEST(ArchiveInfo, MissingOrUnwritableMemberReportsOnStderrAndKeepsRecord)
{
    TempDir dir;
    TArchiveInfo info = freshRecord();
    info.setOwnerName("Kept");

    testing::internal::CaptureStderr();
    EXPECT_FALSE(readInfoMember(info, dir.path()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot open file.\n");
    EXPECT_EQ(info.ownerName(), "Kept");

    testing::internal::CaptureStderr();
    EXPECT_FALSE(writeInfoMember(info, dir.file("no-such-folder")));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot open file.\n");

    // A full device: nothing short may be left behind to be zipped.
    struct stat st{};
    if (::stat("/dev/full", &st) == 0) {
        testing::internal::CaptureStderr();
        TempDir d2;
        ASSERT_EQ(::symlink("/dev/full", d2.file("zipInfo.4qi").c_str()), 0);
        EXPECT_FALSE(writeInfoMember(info, d2.path()));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot open file.\n");
    }
}

TEST(ArchiveInfo, TextFieldsAreBoundedAndCutToFit)
{
    TArchiveInfo info = freshRecord();
    // No terminator in the field: the reader stops at the field's end.
    std::memset(info.SavedLibrary, 'A', sizeof info.SavedLibrary);
    info.SaveType = 0x42424242;
    EXPECT_EQ(info.savedLibrary(), std::string(12, 'A'));

    // Too long: cut to size - 1 and terminated; the next field is untouched.
    EXPECT_FALSE(info.setSavedRelease("V7R5M0-TOO-LONG"));
    EXPECT_EQ(info.savedRelease(), "V7R5M0-TOO");
    EXPECT_EQ(info.TargetCommand[0], '\0');
    EXPECT_TRUE(info.setSavedRelease("V7R5M0"));

    // Never splits a UTF-8 character: "ÅÅÅÅÅÅ" is 12 bytes, room for 10.
    EXPECT_FALSE(info.setDefaultUserProfile("\xC3\x85\xC3\x85\xC3\x85\xC3\x85\xC3\x85\xC3\x85"));
    EXPECT_EQ(info.defaultUserProfile(), "\xC3\x85\xC3\x85\xC3\x85\xC3\x85\xC3\x85");

    // Bytes from a Windows archive that are not UTF-8 read as Windows-1252.
    std::memcpy(info.OwnerName, "Caf\xE9 \x80\x99s\0", 9);
    EXPECT_EQ(info.ownerName(), "Caf\xC3\xA9 \xE2\x82\xAC\xE2\x84\xA2s");

    // Member name from a path written on Windows.
    info.setTempSaveFilePath("C:\\TEMP\\_4Q12.tmp\\4QL1F.tmp");
    EXPECT_EQ(info.saveFileMemberName(), "4QL1F.tmp");
    // Written here: backslashes only, so a reader that cuts at the last
    // backslash alone finds the member too; older archives with '/' still read.
    info.setTempSaveFilePath(jobs::recordPath("/tmp/_4QaB3xYz/4QL2E91.tmp"));
    EXPECT_EQ(info.tempSaveFilePath(), "\\tmp\\_4QaB3xYz\\4QL2E91.tmp");
    const std::string path = info.tempSaveFilePath();
    EXPECT_EQ(path.substr(path.rfind('\\') + 1), "4QL2E91.tmp");
    EXPECT_EQ(info.saveFileMemberName(), "4QL2E91.tmp");
    info.setTempSaveFilePath("/tmp/_4QaB3xYz/4QL2E92.tmp");
    EXPECT_EQ(info.saveFileMemberName(), "4QL2E92.tmp");
}

TEST(ArchiveInfo, Summaries)
{
    EXPECT_EQ(saveSummary("mylib", "*current", "as1", "joe"),
              (std::vector<std::string>{"", "Library to be saved: mylib", "", "Target release: *current", "",
                                        "Server name or TCP/IP address: as1", "", "User profile: joe", ""}));

    TArchiveInfo info = freshRecord();
    info.setOwnerName("Tamsholt Data");
    info.setSavedLibrary("mylib");
    info.setSaveTime("08.12.2026 01:02:03");
    info.setSavedRelease("v7r4m0");
    auto lines = restoreSummary(info, "newlib", "as2", "joe", "/home/joe/MyLib.4ql");
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Saved by: Tamsholt Data",
                         "===================================================================",
                         "Saved Library: MYLIB", "Save Time: 08.12.2026 01:02:03", "Saved Release: V7R4M0",
                         "Restore to Library: NEWLIB", "Restore on:   AS2", "Restore User Profile: JOE",
                         "Restore from: /home/joe/MyLib.4ql"}));
    EXPECT_EQ(lines[1].size(), 67u);

    info.setTargetCommand("call pgm(mylib/init)");
    lines = restoreSummary(info, "newlib", "as2", "joe", "/home/joe/MyLib.4ql");
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[9], "The following OS/400 command will be executed after restore:");
    EXPECT_EQ(lines[10], "===> call pgm(mylib/init)");
    // The archive's command is shown as it will be sent, whole.
    info.setTargetCommand("CHGUSRPRF USRPRF(JOE) TEXT('x')\\ SPCAUT(*ALLOBJ)");
    lines = restoreSummary(info, "newlib", "as2", "joe", "/home/joe/MyLib.4ql");
    EXPECT_EQ(lines.back(), "===> CHGUSRPRF USRPRF(JOE) TEXT('x')  SPCAUT(*ALLOBJ)");
}
