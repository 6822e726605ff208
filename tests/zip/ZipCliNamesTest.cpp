// quellon-cli zip and what it tells a user about awkward member names,
// failed members and archives only nearly right: the exact lines and the
// exit status.

#include "ZipTestUtil.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <set>

using namespace testsupport;
using ziptest::Member;

namespace {

const std::string kCli = std::string(QUELLON_BIN_DIR) + "/quellon-cli";

// Runs the CLI in folder `cwd` (when given); stdout and stderr separately.
int run(const std::string &args, std::string &out, std::string &err, const std::string &env = {},
        const std::string &cwd = {})
{
    TempDir t;
    const std::string cd = cwd.empty() ? std::string() : "cd '" + cwd + "' && ";
    int rc = runCommand("(" + cd + env + " " + kCli + " " + args + " >" + t.file("o") + " 2>" + t.file("e") + ")");
    out = readFile(t.file("o"));
    err = readFile(t.file("e"));
    return rc;
}

std::set<std::string> names(const std::string &dir)
{
    std::set<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                out.insert(e->d_name);
        closedir(d);
    }
    return out;
}

const std::string kPrefix = "quellon-cli: ";

void makeDir(const std::string &dir) { ASSERT_EQ(runCommand("mkdir -p '" + dir + "'"), 0); }

} // namespace

TEST(ZipCliNames, ControlCharactersAreShownEscapedAndNeverWrittenToDisk)
{
    TempDir d;
    const std::string a = d.file("c.zip");
    writeFile(a, ziptest::makeZip({Member("bell\a.txt", "1"), Member("esc\x1b[2J.txt", "2"),
                                   Member("new\nline.txt", "3"), Member(std::string("nul\0x.txt", 9), "4"),
                                   Member("ok.txt", "5")},
                                  "from \x1b]0;host\a"));
    std::string out, err;
    ASSERT_EQ(run("zip list " + a, out, err), 0) << err;
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    EXPECT_EQ(out.find('\a'), std::string::npos);
    EXPECT_NE(out.find(" bell^G.txt\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" esc^[[2J.txt\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" new^Jline.txt\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" nul^@x.txt\n"), std::string::npos) << out;
    EXPECT_NE(out.find("5 member(s), comment: from ^[]0;host^G\n"), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 7); // heading, 5 rows, total

    EXPECT_EQ(run("zip extract " + a + " -d " + d.file("o"), out, err), 1);
    const std::string why = ": name holds control characters, not extracted\n";
    EXPECT_EQ(err, kPrefix + a + ": bell^G.txt" + why + kPrefix + a + ": esc^[[2J.txt" + why + kPrefix + a +
                       ": new^Jline.txt" + why + kPrefix + a + ": nul^@x.txt" + why);
    EXPECT_EQ(out, "1 file(s) extracted, 4 failed or skipped\n");
    EXPECT_EQ(names(d.file("o")), std::set<std::string>{"ok.txt"});
}

TEST(ZipCliNames, OneLinePerFailedMemberWithItsReason)
{
    TempDir d;
    const std::string a = d.file("f.zip");
    const std::string longName(4000, 'n');
    std::string bytes = ziptest::makeZip({Member(longName, "long"), Member("dup.txt", "first"),
                                          Member("dup.txt", "second"), Member("kept.txt", "new"),
                                          Member("crc.txt", "right data")});
    // Damage the stored data of crc.txt; its CRC no longer matches.
    bytes[bytes.find("right data")] = 'R';
    writeFile(a, bytes);
    makeDir(d.file("o"));
    writeFile(d.file("o/kept.txt"), "old");
    std::string out, err;
    EXPECT_EQ(run("zip extract " + a + " -d " + d.file("o"), out, err), 1);
    const std::string shown = std::string(297, 'n') + "...";
    EXPECT_EQ(err, kPrefix + a + ": " + shown + ": cannot replace the file: File name too long\n" + kPrefix + a +
                       ": dup.txt: a second member of this name, not extracted\n" + kPrefix + a +
                       ": kept.txt: already exists, kept (--overwrite replaces it)\n" + kPrefix + a +
                       ": crc.txt: CRC error (found 1119ee70, expected 5e44eda0), not extracted\n")
        << err;
    EXPECT_EQ(out, "1 file(s) extracted, 4 failed or skipped\n");
    EXPECT_EQ(readFile(d.file("o/dup.txt")), "first");
    EXPECT_EQ(readFile(d.file("o/kept.txt")), "old");
    EXPECT_EQ(names(d.file("o")), (std::set<std::string>{"dup.txt", "kept.txt"}));

    // A test says it once, and does not speak of extracting.
    EXPECT_EQ(run("zip extract " + a + " crc.txt --test -d .", out, err), 1);
    EXPECT_EQ(err, kPrefix + a + ": crc.txt: CRC error (found 1119ee70, expected 5e44eda0)\n");
    EXPECT_EQ(out, "0 file(s) tested OK, 1 failed or skipped\n");
}

TEST(ZipCliNames, DotSlashPrefixAndAnOverlongCommentAreHarmless)
{
    TempDir d;
    // As bsdtar -cf x.zip . writes it.
    const std::string a = d.file("dot.zip");
    writeFile(a, ziptest::makeZip({Member("./", ""), Member("./sub/", ""), Member("./sub/a.txt", "a"),
                                   Member("./b.txt", "b")}));
    std::string out, err;
    EXPECT_EQ(run("zip extract " + a + " --dirnames -d " + d.file("o"), out, err), 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "2 file(s) extracted to " + d.file("o") + "\n");
    EXPECT_EQ(readFile(d.file("o/sub/a.txt")), "a");
    EXPECT_EQ(readFile(d.file("o/b.txt")), "b");

    // The end record promises a longer comment than the file holds
    // (libzip's incons-archive-comment-longer): list and extract agree.
    std::string bytes = ziptest::makeZip({Member("m.txt", "m")}, "short");
    bytes[bytes.size() - 7] = 40; // comment length low byte
    const std::string c = d.file("comment.zip");
    writeFile(c, bytes);
    EXPECT_EQ(run("zip list " + c, out, err), 0) << err;
    EXPECT_NE(out.find("1 member(s), comment: short\n"), std::string::npos) << out;
    EXPECT_EQ(run("zip extract " + c + " -d " + d.file("c"), out, err), 0) << err;
    EXPECT_EQ(out, "1 file(s) extracted to " + d.file("c") + "\n");
    EXPECT_EQ(readFile(d.file("c/m.txt")), "m");
}

TEST(ZipCliNames, UpdateOrFreshenWithNothingToDoIsSuccess)
{
    TempDir d;
    writeFile(d.file("a.txt"), "alpha");
    const std::string a = d.file("u.zip");
    std::string out, err;
    ASSERT_EQ(run("zip add " + a + " " + d.file("a.txt"), out, err), 0) << err;
    for (const char *opt : {"--update", "--freshen"}) {
        EXPECT_EQ(run("zip add " + a + " " + d.file("a.txt") + " " + opt, out, err), 0) << opt << err;
        EXPECT_EQ(out, "0 file(s) added to " + a + ": it is up to date\n");
        EXPECT_EQ(err, "");
    }
    // A file that is not there is still a failure.
    EXPECT_EQ(run("zip add " + a + " " + d.file("none.txt") + " --update", out, err), 1);
    EXPECT_NE(err, "");
}

TEST(ZipCliNames, ReplacedArchivesAreDeletedUnlessTheTrashIsAsked)
{
    TempDir d;
    const std::string home = d.file("home"), work = d.file("work");
    makeDir(home);
    makeDir(work);
    writeFile(home + "/.keep", "");
    writeFile(work + "/.keep", "");
    const std::string env = "env -u XDG_DATA_HOME HOME='" + home + "'";
    const std::string a = work + "/a.zip";
    std::string out, err;
    // No ~/.local/share: the old archive is deleted, nothing is scattered.
    writeFile(a, ziptest::makeZip({Member("x.txt", "x")}));
    ASSERT_EQ(run("zip rename a.zip x.txt=y.txt --trash", out, err, env, work), 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_EQ(names(work), (std::set<std::string>{".keep", "a.zip"}));
    EXPECT_EQ(names(home), std::set<std::string>{".keep"});
    EXPECT_EQ(names(d.path()), (std::set<std::string>{"home", "work"}));
    // By default a script's old file is simply gone, even with a trash.
    makeDir(home + "/.local/share");
    writeFile(home + "/.local/share/.keep", "");
    ASSERT_EQ(run("zip rename a.zip y.txt=z.txt", out, err, env, work), 0) << err;
    EXPECT_EQ(names(home + "/.local/share"), std::set<std::string>{".keep"});
    // Asked for, the trash gets it.
    ASSERT_EQ(run("zip rename a.zip z.txt=w.txt --trash", out, err, env, work), 0) << err;
    EXPECT_EQ(names(home + "/.local/share/Trash/files"), std::set<std::string>{"a.zip"});
    EXPECT_EQ(names(work), (std::set<std::string>{".keep", "a.zip"}));
    ASSERT_EQ(run("zip list a.zip", out, err, env, work), 0) << err;
    EXPECT_NE(out.find(" w.txt\n"), std::string::npos) << out;
}
