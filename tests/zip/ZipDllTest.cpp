// Library loading, the option-to-flag mapping and the callback dispatcher,
// against a recording stand-in for the two libraries.

#include "FakeZipDll.h"
#include "ZipTestUtil.h"
#include "support/TestFiles.h"
#include "zip/ZipBuilder.h"

#include "platform/ProgramDir.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const std::string kFakeDir = FAKE_DLL_DIR;

struct FakeLib {
    void *handle = nullptr;
    FakeSetupFunc setup = nullptr;
    FakeLastFunc last = nullptr;
    explicit FakeLib(const std::string &name)
    {
        // Held open for the whole test, so the library's records survive the
        // component's own unload at the end of each operation.
        handle = dlopen((kFakeDir + "/" + name).c_str(), RTLD_NOW);
        if (handle) {
            setup = reinterpret_cast<FakeSetupFunc>(dlsym(handle, "FakeSetup"));
            last = reinterpret_cast<FakeLastFunc>(dlsym(handle, "FakeLast"));
        }
    }
    ~FakeLib()
    {
        if (handle)
            dlclose(handle);
    }
};

class ZipDll : public ::testing::Test {
protected:
    FakeLib zipLib{"libzipdll.so"};
    FakeLib unzLib{"libunzdll.so"};
    TempDir dir;
    TZipBuilder z;
    std::vector<std::pair<int, std::string>> messages;
    std::string archive;

    void SetUp() override
    {
        ASSERT_TRUE(zipLib.setup && unzLib.setup) << dlerror();
        zipLib.setup(160, 1, nullptr);
        unzLib.setup(160, 1, nullptr);
        z.Unattended = true;
        z.SetDLLDirectory(kFakeDir);
        z.OnMessage = [this](TZipBuilder *zb, int, const std::string &t) { messages.emplace_back(zb->LastErrorCode, t); };
        archive = dir.file("a.zip");
        writeFile(archive, ziptest::makeZip({{"zipInfo.4qi", "info"}, {"SAVF.tmp", "save file"}}));
        z.SetZipFileName(archive);
    }
    void TearDown() override
    {
        TZipBuilder::Unload_Zip_Dll();
        TZipBuilder::Unload_Unz_Dll();
    }
    const FakeSnapshot &zipRec() { return *zipLib.last(); }
    const FakeSnapshot &unzRec() { return *unzLib.last(); }
    bool hasMessage(int id)
    {
        for (auto &m : messages)
            if (m.first == id)
                return true;
        return false;
    }
};

} // namespace

TEST_F(ZipDll, LoadingOrderAndMissingLibraries)
{
    EXPECT_EQ(z.GetZipVers(), 160);
    EXPECT_FALSE(TZipBuilder::ZipDllLoaded()); // loaded for the question only
    z.Load_Zip_Dll();
    EXPECT_TRUE(TZipBuilder::ZipDllLoaded());
    TZipBuilder::Unload_Zip_Dll();

    // Not in DLLDirectory: the program's folder is next.
    z.SetDLLDirectory(dir.path());
    platform::setProgramDir(kFakeDir);
    EXPECT_EQ(z.GetUnzVers(), 160);
    platform::setProgramDir(dir.path());
    EXPECT_EQ(z.GetUnzVers(), 0); // and then the system search, which has none here
    EXPECT_TRUE(hasMessage(10704));
    platform::setProgramDir("");

    messages.clear();
    z.FSpecArgs = {"x"};
    z.Add();
    EXPECT_TRUE(hasMessage(10604));
    EXPECT_EQ(z.FSpecArgs.size(), 1u); // early stops leave the specs alone

    // A library without the entry points.
    TempDir bad;
    ASSERT_EQ(runCommand("cp " + binDir() + "tests/libzipcore_notalib.so " + bad.file("libzipdll.so") +
                         " 2>/dev/null || cp " + kFakeDir + "/libunzdll.so " + bad.file("libzipdll.so")), 0);
    z.SetDLLDirectory(bad.path());
    messages.clear();
    z.Trace = true;
    z.Load_Zip_Dll();
    EXPECT_TRUE(TZipBuilder::ZipDllLoaded());
    EXPECT_TRUE(hasMessage(10601));
    EXPECT_FALSE(hasMessage(10602)); // the fake exports every entry point
}

TEST_F(ZipDll, AddFlagMappingAndSpecMarkers)
{
    z.Password = "global";
    z.AddOptions = {AddFreshen, AddUpdate, AddEncrypt, AddHiddenFiles, AddMove, AddZipTime, AddForceDOS};
    z.Trace = true;
    z.AddCompLevel = 6;
    z.TempDir = "/var/tmp";
    z.SetRootDir("/data");
    z.FSpecArgs = {"plain.dat", ">deep/*", "|flat/*", "secret.txt<pw2", "open.txt<"};
    z.FSpecArgsExcl = {"*.bak", "*.tmp"};
    z.Add();
    const FakeSnapshot &r = zipRec();
    ASSERT_EQ(r.calls, 1);
    EXPECT_EQ(r.caller, &z);
    EXPECT_EQ(r.version, 160);
    EXPECT_EQ(r.archive, archive);
    EXPECT_EQ(r.seven, 7);
    EXPECT_EQ(r.password, "global");
    EXPECT_EQ(r.suffixes, ".gif:.png:.z:.zip:.zoo:.arc:.lzh:.arj:.taz:.tgz:.lha");
    EXPECT_EQ(r.update, 1);
    EXPECT_EQ(r.freshen, 0); // update wins
    EXPECT_EQ(r.encrypt, 1);
    EXPECT_EQ(r.hidden, 1);
    EXPECT_EQ(r.move, 1);
    EXPECT_EQ(r.zipTime, 1);
    EXPECT_EQ(r.forceDos, 1);
    EXPECT_EQ(r.verbose, 1); // Trace forces it
    EXPECT_EQ(r.trace, 1);
    EXPECT_EQ(r.level, 6);
    EXPECT_EQ(r.junkDirs, 1);
    EXPECT_EQ(r.noDirEntries, 1);
    EXPECT_EQ(r.recurse, 0);
    EXPECT_EQ(r.grow, 1);
    EXPECT_EQ(r.quiet, 1);
    EXPECT_EQ(r.deleteEntries, 0);
    EXPECT_EQ(r.tempDir, "/var/tmp");
    EXPECT_EQ(r.excl, (std::vector<std::string>{"*.bak", "*.tmp"}));
    ASSERT_EQ(r.specCount, 5);
    ASSERT_EQ(r.specs.size(), 5u);
    EXPECT_EQ(r.specs[0].spec, "plain.dat");
    EXPECT_TRUE(r.specs[0].passwordIsGlobal);
    EXPECT_EQ(r.specs[0].encrypt, 1);
    EXPECT_EQ(r.specs[0].recurse, 0);
    EXPECT_EQ(r.specs[0].rootDir, "/data/");
    EXPECT_EQ(r.specs[1].spec, "deep/*");
    EXPECT_EQ(r.specs[1].recurse, 1);
    EXPECT_EQ(r.specs[2].spec, "flat/*");
    EXPECT_EQ(r.specs[2].recurse, 0);
    EXPECT_EQ(r.specs[3].spec, "secret.txt");
    EXPECT_EQ(r.specs[3].password, "pw2");
    EXPECT_FALSE(r.specs[3].passwordIsGlobal);
    EXPECT_EQ(r.specs[3].encrypt, 1);
    EXPECT_EQ(r.specs[4].spec, "open.txt");
    EXPECT_FALSE(r.specs[4].hasPassword);
    EXPECT_EQ(r.specs[4].encrypt, 0);
    // Consumed, and the directory re-read after something was processed.
    EXPECT_TRUE(z.FSpecArgs.empty());
    EXPECT_TRUE(z.FSpecArgsExcl.empty());
    EXPECT_EQ(z.ProcessedCount, 1);
    EXPECT_FALSE(z.ZipCallActive);

    // Recursion on globally: "|" still turns it off; dirnames and separate dirs map inverted.
    z.AddOptions = {AddRecurseDirs, AddDirNames, AddSeparateDirs, AddFreshen};
    z.Password.clear();
    z.FSpecArgs = {"|a", "b"};
    z.Add();
    EXPECT_EQ(zipRec().recurse, 1);
    EXPECT_EQ(zipRec().specs[0].recurse, 0);
    EXPECT_EQ(zipRec().specs[1].recurse, 1);
    EXPECT_EQ(zipRec().junkDirs, 0);
    EXPECT_EQ(zipRec().noDirEntries, 0);
    EXPECT_EQ(zipRec().freshen, 1);
    EXPECT_FALSE(zipRec().hasPassword);
    EXPECT_FALSE(zipRec().specs[1].hasPassword);
}

TEST_F(ZipDll, AddAndDeleteEarlyChecks)
{
    z.Add();
    EXPECT_EQ(z.LastErrorCode, 10301);
    EXPECT_EQ(zipRec().calls, 0);
    z.FSpecArgs = {"x"};
    z.AddOptions = {AddEncrypt};
    z.Add();
    EXPECT_EQ(z.LastErrorCode, 10302);
    z.AddOptions = {AddDiskSpan, AddUpdate};
    z.Add();
    EXPECT_EQ(z.LastErrorCode, 10303);
    z.AddOptions = {};
    z.ZipCallActive = true;
    z.Add();
    EXPECT_EQ(zipRec().calls, 0);
    z.ZipCallActive = false;
    z.Delete();
    EXPECT_EQ(zipRec().calls, 1);
    z.Delete();
    EXPECT_EQ(z.LastErrorCode, 10401);
    TZipBuilder none;
    none.Unattended = true;
    none.FSpecArgs = {"x"};
    none.Add();
    EXPECT_EQ(none.LastErrorCode, 10102);
    none.Delete();
    EXPECT_EQ(none.LastErrorCode, 10102);
    none.Extract();
    EXPECT_EQ(none.LastErrorCode, 10102);
}

TEST_F(ZipDll, DeleteOverridesAndOldLibraryLayout)
{
    z.AddOptions = {AddMove, AddUpdate, AddEncrypt, AddRecurseDirs, AddFreshen};
    z.Password = "pw";
    z.FSpecArgs = {">x<pw", "y"};
    z.Delete();
    const FakeSnapshot &r = zipRec();
    EXPECT_EQ(r.deleteEntries, 1);
    EXPECT_EQ(r.grow + r.junkDirs + r.move + r.freshen + r.update + r.encrypt + r.recurse, 0);
    EXPECT_EQ(r.specs[0].spec, ">x<pw"); // passed unchanged
    EXPECT_FALSE(r.specs[0].hasPassword);

    zipLib.setup(150, 2, nullptr);
    z.TempDir = "/var/tmp";
    z.FSpecArgs = {"a", "b"};
    z.Add();
    EXPECT_TRUE(zipRec().oldLayout);
    EXPECT_EQ(zipRec().seven, 7);
    EXPECT_EQ(zipRec().specCount, 2);
    EXPECT_EQ(zipRec().specs[1].spec, "b");
    EXPECT_EQ(z.ProcessedCount, 2);
}

TEST_F(ZipDll, ExtractSwitchesAndUnattendedPassword)
{
    z.ExtrOptions = {ExtrFreshen, ExtrUpdate, ExtrDirNames, ExtrOverWrite, ExtrTest};
    z.CodePage = cpOEM;
    z.SetPasswordReqCount(4);
    z.ExtrBaseDir = dir.path();
    z.FSpecArgs = {"zipInfo.4qi"};
    z.Extract();
    const FakeSnapshot &r = unzRec();
    ASSERT_EQ(r.calls, 1);
    EXPECT_EQ(r.update, 1);
    EXPECT_EQ(r.freshen, 0);
    EXPECT_EQ(r.dirNames, 1);
    EXPECT_EQ(r.overwrite, 1);
    EXPECT_EQ(r.test, 1);
    EXPECT_EQ(r.codePage, cpOEM);
    EXPECT_EQ(r.quiet, 1);
    EXPECT_TRUE(r.hasPassword);
    EXPECT_EQ(r.password, "");
    EXPECT_EQ(r.specs[0].spec, "zipInfo.4qi");
    // Unattended without password or handler: no questions this run, then the old count again.
    EXPECT_EQ(r.reqCount, 0);
    EXPECT_TRUE(hasMessage(10502));
    EXPECT_EQ(z.PasswordReqCount(), 4u);
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    EXPECT_EQ(std::string(cwd), dir.path());
    EXPECT_TRUE(z.FSpecArgs.empty());

    z.Password = "pw";
    z.FSpecArgs = {"*"};
    messages.clear();
    z.Extract();
    EXPECT_EQ(unzRec().reqCount, 4);
    EXPECT_EQ(unzRec().password, "pw");
    EXPECT_FALSE(hasMessage(10502));
}

TEST_F(ZipDll, ExtractToStream)
{
    EXPECT_EQ(z.ExtractFileToStream("missing.txt"), nullptr);
    EXPECT_EQ(unzRec().calls, 0);
    TZipStream *s = z.ExtractFileToStream("ZIPINFO.4QI");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(unzRec().toMemory, 1);
    EXPECT_EQ(unzRec().memSize, 4u);
    EXPECT_EQ(unzRec().specCount, 1);
    EXPECT_EQ(s->View(), "abcd");
    unzLib.setup(160, 0, nullptr); // nothing extracted: the stream is cleared
    EXPECT_EQ(z.ExtractFileToStream("zipInfo.4qi"), nullptr);
    EXPECT_EQ(s->Size(), 0u);
    unzLib.setup(152, 1, nullptr);
    EXPECT_EQ(z.ExtractFileToStream("zipInfo.4qi"), nullptr);
    EXPECT_EQ(z.LastErrorCode, 10503);
}

TEST_F(ZipDll, CallbackDispatcher)
{
    std::vector<std::tuple<ProgressType, std::string, long>> progress;
    z.OnProgress = [&](TZipBuilder *, ProgressType t, const std::string &n, long s) { progress.emplace_back(t, n, s); };
    std::vector<FakeCall> script = {
        {zacFileStart, 0, 1234, "dir/file.txt  \r\n"},
        {zacBytesDone, 0, 100, "ignored"},
        {zacBatchEnd, 0, 999, ""},
        {zacFileCount, 0, 3, ""},
        {zacTotalBytes, 0, 5000, ""},
        {zacMessage, 0x1234, 0, "library says"},
        {zacCrcError, 0x11, 0x22, "bad.bin"},
        {zacPassword, 0, 40, "enc.bin"},
        {zacSkipped, 5, 0x0309, "skip.bin"},
    };
    unzLib.setup(160, 1, &script);
    z.Extract();
    const auto &rep = unzRec().replies;
    ASSERT_EQ(rep.size(), script.size());
    ASSERT_EQ(progress.size(), 5u);
    EXPECT_EQ(progress[0], std::make_tuple(ptFileStart, std::string("dir/file.txt"), 1234L));
    EXPECT_EQ(progress[1], std::make_tuple(ptBytesDone, std::string(), 100L));
    EXPECT_EQ(progress[2], std::make_tuple(ptBatchEnd, std::string(), 0L));
    EXPECT_EQ(progress[4], std::make_tuple(ptTotalBytes, std::string(), 5000L));
    EXPECT_EQ(z.TotalBytesToProcess, 5000);
    EXPECT_EQ(rep[6].error, 2); // CRC error without handler
    EXPECT_EQ(rep[7].error, 0); // unattended: no password
    EXPECT_EQ(rep[7].size, 0u);
    EXPECT_EQ(z.LastErrorCode, 5); // from the skip
    EXPECT_EQ(z.LastFullErrorCode, 5);
    EXPECT_TRUE(hasMessage(0x34));
    for (const auto &r : rep)
        EXPECT_EQ(r.result, 0);
}

TEST_F(ZipDll, CallbackAnswersThroughHandlers)
{
    z.OnCRC32Error = [](TZipBuilder *, const std::string &f, unsigned found, unsigned expected, bool &doExtract) {
        EXPECT_EQ(found, 0x11u);
        EXPECT_EQ(expected, 0x22u);
        doExtract = f != "bad.bin";
    };
    int pwCalls = 0;
    z.OnPasswordError = [&](TZipBuilder *zb, std::string &pw, const std::string &f, unsigned &repeat) {
        EXPECT_FALSE(zb->StoreDialogPassword);
        pw = ++pwCalls == 1 ? std::string(100, 'p') : std::string();
        EXPECT_EQ(f, "enc.bin");
        repeat = 40;
    };
    z.OnExtractOverwrite = [](TZipBuilder *, const std::string &, bool isOlder, bool &doOverwrite) {
        doOverwrite = isOlder;
    };
    z.OnSetNewName = [](TZipBuilder *, std::string &name, bool &changed) {
        EXPECT_EQ(name, "old/name ");
        name = std::string(600, 'n');
        changed = true;
    };
    z.OnFileComment = [](TZipBuilder *, const std::string &f, std::string &c, bool &changed) {
        EXPECT_EQ(f, "member");
        EXPECT_EQ(c, "current comment");
        c = "new comment";
        changed = true;
    };
    std::vector<FakeCall> script = {
        {zacCrcError, 0x11, 0x22, "bad.bin"},
        {zacCrcError, 0x11, 0x22, "good.bin"},
        {zacPassword, 0, 3, "enc.bin"},
        {zacPassword, 1, 3, "enc.bin"},
        {zacOverwrite, 1, 0, "older"},
        {zacOverwrite, 0, 1, "newer"},
        {zacNewName, 0, 0, "old/name "},
        {zacFileComment, 0, 0, "member", "current comment"},
    };
    unzLib.setup(160, 1, &script);
    z.Extract();
    const auto &rep = unzRec().replies;
    ASSERT_EQ(rep.size(), script.size());
    EXPECT_EQ(rep[0].error, 0);
    EXPECT_EQ(rep[1].error, 1);
    EXPECT_EQ(rep[2].error, 1);
    EXPECT_EQ(rep[2].text, std::string(81, 'p'));
    EXPECT_EQ(rep[2].size, 15u); // clamped
    EXPECT_EQ(rep[3].error, 0);  // empty answer
    EXPECT_EQ(rep[3].size, 0u);
    EXPECT_TRUE(z.StoreDialogPassword);
    EXPECT_EQ(rep[4].size, 1u);
    EXPECT_EQ(rep[5].size, 0u);
    EXPECT_EQ(rep[6].error, 1);
    EXPECT_EQ(rep[6].text, std::string(511, 'n'));
    EXPECT_EQ(rep[7].error, 1);
    EXPECT_EQ(rep[7].text, "new comment");
    EXPECT_EQ(rep[7].size, 11u);
}

TEST_F(ZipDll, CancelAndHandlerExceptionsStopTheCall)
{
    std::vector<FakeCall> script = {{zacFileStart, 0, 1, "a"}, {zacFileStart, 0, 1, "b"}, {zacFileStart, 0, 1, "c"}};
    int n = 0;
    z.OnProgress = [&](TZipBuilder *zb, ProgressType, const std::string &, long) {
        if (++n == 2)
            zb->CancelRequested = true;
    };
    zipLib.setup(160, 0, &script);
    z.FSpecArgs = {"a"};
    z.Add();
    ASSERT_EQ(zipRec().replies.size(), 2u);
    EXPECT_EQ(zipRec().replies[1].result, 1);
    EXPECT_FALSE(z.CancelRequested); // cleared when Add ends

    z.OnProgress = [](TZipBuilder *, ProgressType, const std::string &, long) { throw std::runtime_error("boom"); };
    z.FSpecArgs = {"a"};
    z.Add();
    EXPECT_EQ(zipRec().replies.size(), 1u);
    EXPECT_EQ(zipRec().replies[0].result, 1);
    EXPECT_EQ(z.LastErrorCode, 10101);
    unzLib.setup(160, 0, &script);
    z.FSpecArgs = {"a"};
    z.Extract();
    EXPECT_EQ(z.LastErrorCode, 10501);
}
