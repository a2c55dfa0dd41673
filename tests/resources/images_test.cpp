// The pictures of the bundle: every path the interface loads exists, has its
// size and format, carries a real drawing, and each hover picture differs
// visibly from its normal one.

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
#include <QString>

#include "test_application.h"

namespace {

struct Picture
{
    const char* path;
    int width;
    int height;
};

// Written from the interface's needs, independently of the build's own list.
const std::vector<Picture>& expectedPictures()
{
    static const std::vector<Picture> pictures = {
        {":/img/home.png", 128, 128},
        {":/img/contacts.png", 128, 128},
        {":/img/history.png", 128, 128},
        {":/img/settings.png", 128, 128},
        {":/img/info.png", 128, 128},
        {":/img/webcam.png", 128, 128},
        {":/img/exit.png", 128, 128},
        {":/img/call.png", 128, 128},
        {":/img/help.png", 32, 32},
        {":/img/bg.png", 38, 38},
        {":/img/add.png", 32, 32},
        {":/img/edit.png", 32, 32},
        {":/img/remove.png", 48, 48},
        {":/img/import.png", 48, 48},
        {":/img/export.png", 32, 32},
        {":/img/clear.png", 32, 32},
        {":/img/right_green.png", 128, 128},
        {":/img/right_red.png", 128, 128},
        {":/img/left_green.png", 128, 128},
        {":/img/left_red.png", 128, 128},
        {":/img/status.png", 128, 128},
        {":/img/layout.png", 128, 128},
        {":/img/layout-hover.png", 128, 128},
        {":/img/camera.png", 128, 128},
        {":/img/camera-hover.png", 128, 128},
        {":/img/camera-stop.png", 128, 128},
        {":/img/camera-stop-hover.png", 128, 128},
        {":/img/micro.png", 128, 128},
        {":/img/micro-hover.png", 128, 128},
        {":/img/micro-mute.png", 128, 128},
        {":/img/micro-mute-hover.png", 128, 128},
        {":/img/speaker.png", 128, 128},
        {":/img/speaker-hover.png", 128, 128},
        {":/img/speaker-mute.png", 128, 128},
        {":/img/speaker-mute-hover.png", 128, 128},
        {":/img/fecc.png", 128, 128},
        {":/img/fecc-hover.png", 128, 128},
        {":/img/dialpad.png", 128, 128},
        {":/img/dialpad-hover.png", 128, 128},
        {":/img/fullscreen.png", 128, 128},
        {":/img/fullscreen-hover.png", 128, 128},
        {":/img/restore.png", 128, 128},
        {":/img/restore-hover.png", 128, 128},
        {":/img/end.png", 128, 128},
        {":/img/call-settings.png", 128, 128},
        {":/img/call-settings-hover.png", 128, 128},
        {":/img/config.png", 128, 128},
        {":/img/config-hover.png", 128, 128},
        {":/img/up.png", 128, 128},
        {":/img/down.png", 128, 128},
        {":/img/left.png", 128, 128},
        {":/img/right.png", 128, 128},
        {":/img/in.png", 128, 128},
        {":/img/out.png", 128, 128},
        {":/img/kestrovia.png", 128, 128},
        {":/img/no-input.jpg", 1280, 720},
        {":/img/1.jpg", 1280, 720},
    };
    return pictures;
}

const char* const hoverPairs[] = {
    "layout", "camera",  "camera-stop", "micro",   "micro-mute",    "speaker", "speaker-mute",
    "fecc",   "dialpad", "fullscreen",  "restore", "call-settings", "config"};

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

TEST_F(Pictures, EveryPathExistsWithItsSizeAndFormat)
{
    for (const auto& picture : expectedPictures()) {
        SCOPED_TRACE(picture.path);
        ASSERT_TRUE(QFile::exists(picture.path));
        QImageReader reader(picture.path);
        const QString path = picture.path;
        const QByteArray expectedFormat = path.endsWith(".jpg") ? "jpeg" : "png";
        EXPECT_EQ(reader.format(), expectedFormat);
        const QImage image = reader.read();
        ASSERT_FALSE(image.isNull()) << reader.errorString().toStdString();
        EXPECT_EQ(image.width(), picture.width);
        EXPECT_EQ(image.height(), picture.height);
    }
}

TEST_F(Pictures, IconsCarryADrawingOfSeveralColours)
{
    for (const auto& picture : expectedPictures()) {
        const QString path = picture.path;
        if (!path.endsWith(".png") || path.endsWith("/bg.png")) {
            continue;
        }
        SCOPED_TRACE(picture.path);
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
    for (const auto& picture : expectedPictures()) {
        images.emplace(picture.path, load(picture.path));
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
    for (const char* name : hoverPairs) {
        SCOPED_TRACE(name);
        const QImage normal = load(QString(":/img/%1.png").arg(name));
        const QImage hover = load(QString(":/img/%1-hover.png").arg(name));
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
