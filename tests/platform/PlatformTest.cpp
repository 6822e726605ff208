#include "platform/Dialogs.h"
#include "platform/Registry.h"
#include "platform/ScriptedDialogs.h"
#include "platform/TempFiles.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace platform;
using testsupport::TempDir;

TEST(RunFolder, IsPrivateUniqueAndRemovedWithItsFiles)
{
    TempDir parent;
    std::string a = makeRunFolder(parent.path());
    std::string b = makeRunFolder(parent.path());
    ASSERT_FALSE(a.empty());
    EXPECT_NE(a, b);
    EXPECT_EQ(a.substr(parent.path().size() + 1, 3), "_4Q");
    struct stat st{};
    ASSERT_EQ(::stat(a.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    testsupport::writeFile(a + "/zipInfo.4qi", "x");
    testsupport::writeFile(a + "/joblog.txt", "y");
    std::string err;
    EXPECT_TRUE(removeRunFolder(a, &err));
    EXPECT_FALSE(testsupport::fileExists(a));

    // A folder that cannot be removed reports the system's text.
    ::mkdir((b + "/sub").c_str(), 0700);
    EXPECT_FALSE(removeRunFolder(b, &err));
    EXPECT_FALSE(err.empty());
}

TEST(UniqueTempFile, NeverReusesAnExistingName)
{
    TempDir dir;
    std::string a = makeUniqueTempFile(dir.path(), "ZB");
    std::string b = makeUniqueTempFile(dir.path(), "ZB");
    ASSERT_FALSE(a.empty());
    EXPECT_NE(a, b);
    EXPECT_TRUE(testsupport::fileExists(a));
    EXPECT_EQ(a.substr(a.size() - 4), ".tmp");
}

TEST(Registry, SubKeysValuesAndBooleans)
{
    TempDir dir;
    Registry::useFile(dir.file("reg.ini"));
    {
        Registry r;
        r.createKey("Hosts");
        EXPECT_TRUE(r.keyExists("Hosts"));
        EXPECT_TRUE(r.subKeys("Hosts").empty());
        r.writeString("Hosts/000000000", "ServerName", "as1");
        r.writeString("Hosts/000000001", "ServerName", "AS1");
        r.writeBool("Poster", "PosterStretch", true);
    }
    Registry r;
    EXPECT_EQ(r.subKeys("Hosts"), (std::vector<std::string>{"000000000", "000000001"}));
    EXPECT_EQ(r.readString("Hosts/000000001", "ServerName"), "AS1");
    EXPECT_EQ(r.readString("Hosts/000000001", "Missing"), "");
    EXPECT_TRUE(r.readBool("Poster", "PosterStretch"));
    EXPECT_FALSE(r.readBool("Poster", "Nothing"));
    Registry::useFile("");
}

TEST(ScriptedDialogs, RecordsAndAnswersInOrder)
{
    ScriptedDialogs d;
    d.boxAnswers = {mrYes};
    EXPECT_EQ(dialogs().messageBox("q?", messageIdCaption("Qln0004"), Buttons::YesNo, Icon::Question), mrYes);
    EXPECT_EQ(dialogs().messageBox("q?", "", Buttons::YesNo, Icon::Question), mrNo);
    ASSERT_EQ(d.boxes.size(), 2u);
    EXPECT_EQ(d.boxes[0].caption, "MessageId: 'Qln0004'");
    EXPECT_FALSE(guarded([] { throw std::runtime_error("boom"); }));
    EXPECT_EQ(d.exceptions, std::vector<std::string>{"boom"});
}
