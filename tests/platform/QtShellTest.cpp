// The shell's default action on Linux: a missing file and an opener that
// finds no program fail, so the caller's error box appears. The desktop's
// xdg-open is stood in for by small scripts first on PATH.

#include "platform/QtShell.h"
#include "support/TestFiles.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <sys/stat.h>

using testsupport::TempDir;

namespace {

class QtShellTest : public ::testing::Test {
protected:
    void SetUp() override { path_ = qgetenv("PATH"); }
    void TearDown() override { qputenv("PATH", path_); }
    // An xdg-open that runs `body` and records its argument.
    void opener(const std::string &body)
    {
        const std::string script = bin.file("xdg-open");
        testsupport::writeFile(script, "#!/bin/sh\necho \"$1\" > '" + bin.file("asked") + "'\n" + body + "\n");
        ::chmod(script.c_str(), 0755);
        qputenv("PATH", QByteArray::fromStdString(bin.path()) + ":" + path_);
    }
    std::string asked() const { return testsupport::readFile(bin.file("asked")); }

    TempDir bin, files;
    QByteArray path_;
    platform::QtShell shell;
};

} // namespace

TEST_F(QtShellTest, OpenerExitStatusDecides)
{
    const std::string doc = files.file("ACKNOWLE.HLP");
    testsupport::writeFile(doc, "thanks");

    opener("exit 0");
    EXPECT_GT(shell.open(doc), 32);
    EXPECT_EQ(asked(), doc + "\n");
    EXPECT_GT(shell.open("https://www.quellon.com/"), 32);
    EXPECT_EQ(asked(), "https://www.quellon.com/\n");

    // No program for the file type ("xdg-open: no method available").
    opener("exit 4");
    EXPECT_LE(shell.open(doc), 32);
    opener("exit 3");
    EXPECT_LE(shell.open("https://www.quellon.com/"), 32);
}

TEST_F(QtShellTest, MissingFileFailsWithoutAskingTheDesktop)
{
    opener("exit 0");
    EXPECT_EQ(shell.open(files.file("ACKNOWLE.HLP")), 2);
    EXPECT_FALSE(testsupport::fileExists(bin.file("asked")));
}

TEST_F(QtShellTest, OpenerThatStaysWithItsProgramCountsAsStarted)
{
    const std::string doc = files.file("notes.txt");
    testsupport::writeFile(doc, "x");
    opener("exec sleep 2 >/dev/null 2>&1");
    shell.answerWithinMs = 300;
    QElapsedTimer t;
    t.start();
    EXPECT_GT(shell.open(doc), 32);
    EXPECT_LT(t.elapsed(), 3000);
}
