#include <gtest/gtest.h>

#include <QImage>

#include "shell/RowPictures.h"

namespace {

bool HasInk(const QImage& image, const QRect& area) {
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (qAlpha(image.pixel(x, y)) != 0)
                return true;
    return false;
}

QImage Part(const QPixmap& row, int x) {
    return row.toImage()
        .copy(x, 0, RowPictures::kSize, RowPictures::kSize)
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

}  // namespace

TEST(RowPictures, EveryPictureIsDrawnAndDistinct) {
    QList<QImage> seen;
    for (int i = 0; i < RowPictures::kStateCount; ++i) seen << RowPictures::State(i).toImage();
    for (int i = 0; i < RowPictures::kSmallCount; ++i) seen << RowPictures::Small(i).toImage();
    for (const QImage& image : seen) {
        ASSERT_EQ(image.size(), QSize(RowPictures::kSize, RowPictures::kSize));
        EXPECT_TRUE(HasInk(image, image.rect()));
    }
    for (int a = 0; a < seen.size(); ++a)
        for (int b = a + 1; b < seen.size(); ++b) EXPECT_NE(seen[a], seen[b]) << a << " " << b;
}

TEST(RowPictures, NoneIndexesGiveNoPicture) {
    EXPECT_TRUE(RowPictures::State(4).isNull());
    EXPECT_TRUE(RowPictures::Small(5).isNull());
    EXPECT_TRUE(RowPictures::State(-1).isNull());
}

TEST(RowPictures, RowPutsStateLeftAndSmallRight) {
    const int smallX = RowPictures::kSize + RowPictures::kGap;
    const QPixmap startUp = RowPictures::Row(0, 4);  // the start-up row: no state picture
    ASSERT_EQ(startUp.size(), QSize(RowPictures::kRowWidth, RowPictures::kSize));
    const QImage full = startUp.toImage();
    EXPECT_FALSE(HasInk(full, QRect(0, 0, RowPictures::kSize, RowPictures::kSize)));
    EXPECT_EQ(Part(startUp, smallX),
              RowPictures::Small(0).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied));

    const QPixmap progress = RowPictures::Row(3, 0);
    EXPECT_EQ(Part(progress, 0),
              RowPictures::State(0).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied));
    EXPECT_EQ(Part(progress, smallX),
              RowPictures::Small(3).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied));

    const QImage bare = RowPictures::Row(5, 4).toImage();
    EXPECT_FALSE(HasInk(bare, bare.rect()));
}
