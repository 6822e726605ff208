#include "dialogs/PosterPicture.h"

#include "DialogTestSupport.h"
#include "support/TestFiles.h"

#include <QColor>

#include <cstdlib>
#include <random>
#include <gtest/gtest.h>

using dialogs::loadPosterPicture;
using testsupport::TempDir;

using namespace dialogtest;

namespace {

QColor at(const QImage &img, int x, int y) { return QColor::fromRgba(img.pixel(x, y)); }

bool near(const QColor &c, int r, int g, int b, int tolerance = 40)
{
    return std::abs(c.red() - r) <= tolerance && std::abs(c.green() - g) <= tolerance &&
           std::abs(c.blue() - b) <= tolerance;
}

} // namespace

TEST(PosterPicture, EachFormatLoadsAtItsNaturalSize)
{
    struct Case {
        const char *file;
        QSize size;
    } cases[] = {
        {"poster-300x100.jpg", {300, 100}}, {"poster-300x100.bmp", {300, 100}}, {"poster-64x64.ico", {64, 64}},
        {"poster-400x150.wmf", {400, 150}}, {"poster-400x150.emf", {400, 150}},
    };
    for (const auto &c : cases) {
        QImage img;
        std::string error;
        ASSERT_TRUE(loadPosterPicture(poster(c.file), img, error)) << c.file << ": " << error;
        EXPECT_EQ(img.size(), c.size) << c.file;
    }
}

TEST(PosterPicture, PixelsComeOutWhereTheyWereDrawn)
{
    QImage img;
    std::string error;
    ASSERT_TRUE(loadPosterPicture(poster("poster-300x100.jpg"), img, error)) << error;
    EXPECT_TRUE(near(at(img, 2, 2), 0xff, 0xe0, 0xa0)) << at(img, 2, 2).name().toStdString();    // gradient top
    EXPECT_TRUE(near(at(img, 2, 97), 0xc0, 0x40, 0x00)) << at(img, 2, 97).name().toStdString();  // gradient bottom

    ASSERT_TRUE(loadPosterPicture(poster("poster-400x150.wmf"), img, error)) << error;
    // Exact colours: a company logo keeps its own.
    EXPECT_TRUE(near(at(img, 390, 10), 0, 60, 120, 0)) << "background " << at(img, 390, 10).name().toStdString();
    EXPECT_TRUE(near(at(img, 75, 75), 255, 200, 0, 0)) << "ellipse " << at(img, 75, 75).name().toStdString();
    EXPECT_TRUE(near(at(img, 260, 75), 230, 40, 40, 0)) << "triangle " << at(img, 260, 75).name().toStdString();
    EXPECT_TRUE(near(at(img, 1, 75), 0, 0, 0, 60)) << "frame " << at(img, 1, 75).name().toStdString();
    // The embedded bitmap keeps its rows the right way up.
    EXPECT_TRUE(near(at(img, 367, 107), 255, 0, 0, 0)) << "bitmap " << at(img, 367, 107).name().toStdString();
    EXPECT_TRUE(near(at(img, 386, 107), 0, 255, 0, 0)) << "bitmap " << at(img, 386, 107).name().toStdString();
    EXPECT_TRUE(near(at(img, 367, 126), 0, 0, 255, 0)) << "bitmap " << at(img, 367, 126).name().toStdString();

    ASSERT_TRUE(loadPosterPicture(poster("poster-400x150.emf"), img, error)) << error;
    EXPECT_TRUE(near(at(img, 390, 10), 20, 110, 40, 0)) << "background " << at(img, 390, 10).name().toStdString();
    EXPECT_TRUE(near(at(img, 90, 75), 255, 255, 255)) << "ellipse " << at(img, 90, 75).name().toStdString();
    EXPECT_TRUE(near(at(img, 260, 75), 255, 200, 0, 0)) << "triangle " << at(img, 260, 75).name().toStdString();

    ASSERT_TRUE(loadPosterPicture(poster("poster-64x64.ico"), img, error)) << error;
    EXPECT_EQ(qAlpha(img.pixel(0, 0)), 0) << "icon keeps its transparency";
    EXPECT_TRUE(near(at(img, 32, 12), 0xc0, 0x20, 0x20));
}

TEST(PosterPicture, BadPicturesAreRefusedWithAReason)
{
    TempDir dir;
    const std::string jpeg = testsupport::readFile(poster("poster-300x100.jpg"));
    const std::string emf = testsupport::readFile(poster("poster-400x150.emf"));

    // A JPEG whose frame header claims 60000 x 60000 pixels.
    std::string huge = jpeg;
    const auto sof = huge.find("\xFF\xC0", 0, 2);
    ASSERT_NE(sof, std::string::npos);
    huge[sof + 5] = huge[sof + 7] = static_cast<char>(0xEA);
    huge[sof + 6] = huge[sof + 8] = static_cast<char>(0x60);

    std::string badSignature = emf;
    badSignature[41] = 'X';

    struct Case {
        std::string name;
        std::string bytes;
        const char *why;
    } cases[] = {
        {"noise.jpg", testsupport::randomBytes(4000, 3), "damaged JPEG"},
        {"huge.jpg", huge, "too large"},
        {"empty.bmp", "", "empty"},
        {"noise.bmp", testsupport::randomBytes(4000, 4), "damaged bitmap"},
        {"noise.ico", testsupport::randomBytes(4000, 5), "damaged icon"},
        {"noise.wmf", testsupport::randomBytes(4000, 6), "metafile"},
        {"bad.emf", badSignature, "damaged enhanced metafile"},
        {"short.emf", emf.substr(0, 60), "damaged enhanced metafile"},
        {"logo.gif", jpeg, "cannot be shown"},
        {"logo", jpeg, "no picture extension"},
    };
    for (const auto &c : cases) {
        testsupport::writeFile(dir.file(c.name), c.bytes);
        QImage img;
        std::string error;
        EXPECT_FALSE(loadPosterPicture(dir.file(c.name), img, error)) << c.name;
        EXPECT_TRUE(img.isNull()) << c.name;
        EXPECT_NE(error.find(c.why), std::string::npos) << c.name << ": " << error;
    }
    QImage img;
    std::string error;
    EXPECT_FALSE(loadPosterPicture(dir.file("missing.bmp"), img, error));
    EXPECT_EQ(error, "file not found");
}

TEST(PosterPicture, ExtensionIsMatchedWithoutCase)
{
    TempDir dir;
    testsupport::writeFile(dir.file("LOGO.JPEG"), testsupport::readFile(poster("poster-300x100.jpg")));
    QImage img;
    std::string error;
    EXPECT_TRUE(loadPosterPicture(dir.file("LOGO.JPEG"), img, error)) << error;
}

// Posters arrive inside archives from other people: a damaged picture may be
// refused or shown oddly, but must never take the wizard down.
TEST(PosterPicture, DamagedPicturesNeverCrashTheLoader)
{
    TempDir dir;
    std::mt19937 rng(11);
    for (const char *name : {"poster-400x150.wmf", "poster-400x150.emf", "poster-300x100.jpg", "poster-64x64.ico"}) {
        const std::string good = testsupport::readFile(poster(name));
        const std::string ext = std::string(name).substr(std::string(name).rfind('.'));
        for (int round = 0; round < 60; ++round) {
            std::string bad = good;
            const int flips = 1 + static_cast<int>(rng() % 8);
            for (int i = 0; i < flips; ++i)
                bad[rng() % bad.size()] = static_cast<char>(rng() & 0xFF);
            if (round % 5 == 0)
                bad.resize(rng() % bad.size());
            const std::string path = dir.file("bad" + std::to_string(round) + ext);
            testsupport::writeFile(path, bad);
            QImage img;
            std::string error;
            if (!loadPosterPicture(path, img, error)) {
                EXPECT_TRUE(img.isNull());
                EXPECT_FALSE(error.empty()) << name << " round " << round;
            }
        }
    }
}

// Run by poster_wmf_without_fonts with libwmf's fonts hidden: the reason must
// name what is missing, not blame the file.
TEST(PosterPicture, MetafileWithoutItsFontsSaysWhatIsMissing)
{
    if (!std::getenv("QUELLON_WMF_FONTS_HIDDEN"))
        GTEST_SKIP() << "runs with the fonts hidden, as poster_wmf_without_fonts";
    QImage img;
    std::string error;
    EXPECT_FALSE(loadPosterPicture(poster("poster-400x150.wmf"), img, error));
    EXPECT_NE(error.find("fonts it needs are missing"), std::string::npos) << error;
    EXPECT_NE(error.find("fonts-urw-base35"), std::string::npos) << error;
}
