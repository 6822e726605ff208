#include "dialogs/PosterLayout.h"

#include <gtest/gtest.h>

using dialogs::posterLayout;

TEST(PosterLayout, SmallPictureIsCentredAtNaturalSize)
{
    const QSize lastPage(576, 236);
    for (bool stretch : {false, true}) {
        const auto p = posterLayout(QSize(300, 100), lastPage, stretch);
        EXPECT_EQ(p.rect, QRect(138, 68, 300, 100));
        EXPECT_FALSE(p.scaled);
    }
    // Odd differences are halved in integer arithmetic.
    EXPECT_EQ(posterLayout(QSize(301, 101), lastPage, false).rect, QRect(137, 67, 301, 101));
    EXPECT_EQ(posterLayout(QSize(576, 236), lastPage, true).rect, QRect(0, 0, 576, 236));
    EXPECT_FALSE(posterLayout(QSize(576, 236), lastPage, true).scaled) << "an exact fit is not scaled";
    EXPECT_EQ(posterLayout(QSize(300, 100), QSize(575, 257), false).rect, QRect(137, 78, 300, 100)) << "preview";
}

TEST(PosterLayout, LargePictureIsStretchedOrClippedFromTopLeft)
{
    const QSize lastPage(576, 236);
    auto stretched = posterLayout(QSize(800, 600), lastPage, true);
    EXPECT_EQ(stretched.rect, QRect(0, 0, 576, 236));
    EXPECT_TRUE(stretched.scaled);
    auto clipped = posterLayout(QSize(800, 600), lastPage, false);
    EXPECT_EQ(clipped.rect, QRect(0, 0, 800, 600));
    EXPECT_FALSE(clipped.scaled);

    // Too large in one direction only counts as too large.
    EXPECT_EQ(posterLayout(QSize(600, 100), lastPage, true).rect, QRect(0, 0, 576, 236));
    EXPECT_EQ(posterLayout(QSize(100, 237), lastPage, false).rect, QRect(0, 0, 100, 237));
}
