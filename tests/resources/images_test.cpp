// The pictures of the bundle: every path the interface loads exists in its format,
// carries a real drawing, and each hover picture differs visibly from its normal one.

#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include <QColor>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QRegularExpression>
#include <QString>

#include "test_application.h"

namespace {

/// Every picture the interface loads: the ":/img/" paths its code names, and the
/// application's icon.
const QStringList& usedPictures()
{
    static const QStringList paths = [] {
        QStringList found{":/img/kestrovia.png"};
        const QRegularExpression path(R"re(":/img/[^"]+")re");
        for (const auto& [file, code] : interfaceCode()) {
            for (auto matches = path.globalMatch(code); matches.hasNext();) {
                const QString name = matches.next().captured().remove('"');
                if (!found.contains(name))
                    found << name;
            }
        }
        return found;
    }();
    return paths;
}

QImage load(const QString& path)
{
    return QImage(path).convertToFormat(QImage::Format_ARGB32);
}

/// Mean absolute difference per channel (alpha included), 0..255.
double meanDifference(const QImage& a, const QImage& b)
{
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto* rowA = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* rowB = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            sum += std::abs(qRed(rowA[x]) - qRed(rowB[x])) +
                   std::abs(qGreen(rowA[x]) - qGreen(rowB[x])) +
                   std::abs(qBlue(rowA[x]) - qBlue(rowB[x])) +
                   std::abs(qAlpha(rowA[x]) - qAlpha(rowB[x]));
        }
    }
    return sum / (4.0 * a.width() * a.height());
}

/// Pixels where any channel differs by more than 40 levels.
int countChangedPixels(const QImage& a, const QImage& b)
{
    int changed = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            if (std::abs(qRed(p) - qRed(q)) > 40 || std::abs(qGreen(p) - qGreen(q)) > 40 ||
                std::abs(qBlue(p) - qBlue(q)) > 40 || std::abs(qAlpha(p) - qAlpha(q)) > 40) {
                ++changed;
            }
        }
    }
    return changed;
}

double luma(QRgb pixel)
{
    return 0.299 * qRed(pixel) + 0.587 * qGreen(pixel) + 0.114 * qBlue(pixel);
}

class Pictures : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { testApplication(); }
};

TEST_F(Pictures, EveryPictureTheCodeLoadsIsInTheBundleInItsFormat)
{
    ASSERT_GT(usedPictures().size(), 50);
    for (const QString& path : usedPictures()) {
        SCOPED_TRACE(path.toStdString());
        ASSERT_TRUE(QFile::exists(path));
        QImageReader reader(path);
        EXPECT_EQ(reader.format(), path.endsWith(".jpg") ? "jpeg" : "png");
        const QImage image = reader.read();
        ASSERT_FALSE(image.isNull()) << reader.errorString().toStdString();
        // Icons are square; the pictures shown instead of video are full 720p frames.
        EXPECT_EQ(image.size(),
                  path.endsWith(".jpg") ? QSize(1280, 720) : QSize(image.width(), image.width()));
    }
}

TEST_F(Pictures, IconsCarryADrawingOfSeveralColours)
{
    for (const QString& path : usedPictures()) {
        if (!path.endsWith(".png") || path.endsWith("/bg.png")) {
            continue;
        }
        SCOPED_TRACE(path.toStdString());
        const QImage image = load(path);
        ASSERT_FALSE(image.isNull());
        int opaque = 0;
        int transparent = 0;
        std::set<QRgb> colours;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QRgb pixel = image.pixel(x, y);
                if (qAlpha(pixel) == 255) {
                    ++opaque;
                    colours.insert(pixel & 0xF0F0F0);
                } else if (qAlpha(pixel) == 0) {
                    ++transparent;
                }
            }
        }
        const int area = image.width() * image.height();
        // A round or rounded badge: most of the square drawn, the corners clear.
        EXPECT_GT(opaque, area / 2);
        EXPECT_GT(transparent, area / 20);
        EXPECT_GE(colours.size(), 3u);
    }
}

TEST_F(Pictures, NoTwoPathsShareOnePicture)
{
    std::map<QString, QImage> images;
    for (const QString& path : usedPictures()) {
        images.emplace(path, load(path));
    }
    for (auto a = images.begin(); a != images.end(); ++a) {
        for (auto b = std::next(a); b != images.end(); ++b) {
            if (a->second.size() != b->second.size()) {
                continue;
            }
            // Pairs such as zoom in / zoom out may differ by one stroke only,
            // but that stroke must be there.
            EXPECT_GT(countChangedPixels(a->second, b->second), 64)
                << a->first.toStdString() << " looks the same as " << b->first.toStdString();
        }
    }
}

TEST_F(Pictures, HoverPicturesDifferVisiblyFromTheirNormalOnes)
{
    int pairs = 0;
    for (const QString& path : usedPictures()) {
        if (!path.endsWith("-hover.png"))
            continue;
        ++pairs;
        SCOPED_TRACE(path.toStdString());
        const QImage normal = load(QString(path).replace("-hover.png", ".png"));
        const QImage hover = load(path);
        ASSERT_FALSE(normal.isNull());
        ASSERT_FALSE(hover.isNull());
        ASSERT_EQ(normal.size(), hover.size());
        EXPECT_GT(meanDifference(normal, hover), 12.0);
        // The change must be seen on a good part of the icon, not in a few pixels.
        int changed = 0;
        for (int y = 0; y < normal.height(); ++y) {
            for (int x = 0; x < normal.width(); ++x) {
                if (std::abs(luma(normal.pixel(x, y)) - luma(hover.pixel(x, y))) > 20) {
                    ++changed;
                }
            }
        }
        EXPECT_GT(changed, normal.width() * normal.height() / 4);
    }
    EXPECT_GE(pairs, 10);
}

TEST_F(Pictures, DirectionArrowsPointTheirWayInTheirColour)
{
    // Outgoing calls point right, incoming ones left; green for success, red
    // for failure.  Compare the weight of white (the arrow head) in each half
    // and the badge's dominant channel.
    struct Arrow
    {
        const char* path;
        bool pointsRight;
        bool green;
    };
    const Arrow arrows[] = {{":/img/right_green.png", true, true},
                            {":/img/right_red.png", true, false},
                            {":/img/left_green.png", false, true},
                            {":/img/left_red.png", false, false}};
    for (const auto& arrow : arrows) {
        SCOPED_TRACE(arrow.path);
        const QImage image = load(arrow.path);
        // The arrow head is the widest part of the glyph: count white pixels
        // in the column strips a quarter in from each side.
        auto whiteIn = [&](int x0, int x1) {
            int count = 0;
            for (int y = 0; y < image.height(); ++y) {
                for (int x = x0; x < x1; ++x) {
                    const QColor c = QColor::fromRgba(image.pixel(x, y));
                    if (c.alpha() == 255 && c.red() > 230 && c.green() > 230 && c.blue() > 230) {
                        ++count;
                    }
                }
            }
            return count;
        };
        const int w = image.width();
        const int left = whiteIn(w / 4, w / 2);
        const int right = whiteIn(w / 2, 3 * w / 4);
        if (arrow.pointsRight) {
            EXPECT_GT(right, left);
        } else {
            EXPECT_GT(left, right);
        }
        const QColor badge = QColor::fromRgba(image.pixel(w / 2, image.height() / 5));
        if (arrow.green) {
            EXPECT_GT(badge.green(), badge.red());
        } else {
            EXPECT_GT(badge.red(), badge.green());
        }
    }
}

TEST_F(Pictures, BackgroundTileIsOpaqueAndQuiet)
{
    const QImage tile = load(":/img/bg.png");
    ASSERT_FALSE(tile.isNull());
    double lowest = 255;
    double highest = 0;
    for (int y = 0; y < tile.height(); ++y) {
        for (int x = 0; x < tile.width(); ++x) {
            const QRgb pixel = tile.pixel(x, y);
            ASSERT_EQ(qAlpha(pixel), 255) << "at " << x << "," << y;
            lowest = std::min(lowest, luma(pixel));
            highest = std::max(highest, luma(pixel));
        }
    }
    // Texts in the default palette are drawn on it: light, with low contrast.
    EXPECT_GT(lowest, 180);
    EXPECT_LT(highest - lowest, 40);
    EXPECT_GT(highest - lowest, 2) << "a tile of one flat colour has no texture";
}

TEST_F(Pictures, VideoPicturesAreFullImages)
{
    for (const char* path : {":/img/no-input.jpg", ":/img/1.jpg"}) {
        SCOPED_TRACE(path);
        const QImage image = load(path);
        ASSERT_FALSE(image.isNull());
        EXPECT_FALSE(QImage(path).hasAlphaChannel());
        // Not one flat colour: the luma spread over a coarse grid is wide.
        double sum = 0;
        double sumSquares = 0;
        int samples = 0;
        for (int y = 0; y < image.height(); y += 8) {
            for (int x = 0; x < image.width(); x += 8) {
                const double value = luma(image.pixel(x, y));
                sum += value;
                sumSquares += value * value;
                ++samples;
            }
        }
        const double mean = sum / samples;
        EXPECT_GT(std::sqrt(sumSquares / samples - mean * mean), 10.0);
    }
    EXPECT_GT(meanDifference(load(":/img/no-input.jpg"), load(":/img/1.jpg")), 20.0);
}

} // namespace
