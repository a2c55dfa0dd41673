// The build-time picture renderer: sizes and formats it writes, the hover
// shade swap, and clear failures on bad arguments or unreadable input.

#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace {

struct RenderResult
{
    int exitCode = -1;
    QString errors;
};

RenderResult render(const QStringList& arguments)
{
    QProcess process;
    process.start(KX_RENDER_IMAGE, arguments);
    RenderResult run;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit) {
        return run;
    }
    run.exitCode = process.exitCode();
    run.errors = QString::fromUtf8(process.readAllStandardError());
    return run;
}

class RenderImage : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.isValid());
        svg = folder.filePath("badge.svg");
        // A toolbar-style drawing: the badge fill and glyph shades on a
        // transparent square, with a rule of a colour that is not swapped.
        writeFile(svg, R"(<svg xmlns="http://www.w3.org/2000/svg" width="40" height="40"
            viewBox="0 0 40 40">
          <rect x="10" y="10" width="20" height="20" fill="#1B3B48"/>
          <rect x="14" y="14" width="4" height="4" fill="#E3F2F5"/>
          <rect x="0" y="36" width="40" height="4" fill="#123456"/>
        </svg>)");
    }

    static void writeFile(const QString& path, const QByteArray& content)
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QTemporaryDir folder;
    QString svg;
};

TEST_F(RenderImage, WritesAPngOfTheAskedSizeKeepingTransparency)
{
    const QString out = folder.filePath("badge.png");
    const RenderResult run = render({svg, "80", "80", out});
    ASSERT_EQ(run.exitCode, 0) << run.errors.toStdString();
    const QImage image(out);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(80, 80));
    EXPECT_TRUE(image.hasAlphaChannel());
    EXPECT_EQ(qAlpha(image.pixel(2, 2)), 0);
    EXPECT_EQ(image.pixelColor(50, 50), QColor("#1B3B48"));
    EXPECT_EQ(image.pixelColor(32, 32), QColor("#E3F2F5"));
    EXPECT_EQ(image.pixelColor(40, 76), QColor("#123456"));
}

TEST_F(RenderImage, WritesAnOpaqueJpegWhenAskedByExtension)
{
    const QString out = folder.filePath("picture.jpg");
    const RenderResult run = render({"--quality", "95", svg, "160", "90", out});
    ASSERT_EQ(run.exitCode, 0) << run.errors.toStdString();
    QFile file(out);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.read(3) == QByteArray("\xFF\xD8\xFF", 3)) << "not a JPEG stream";
    const QImage image(out);
    EXPECT_EQ(image.size(), QSize(160, 90));
    EXPECT_FALSE(image.hasAlphaChannel());
}

TEST_F(RenderImage, HoverSwapsOnlyTheToolbarShades)
{
    const QString normal = folder.filePath("normal.png");
    const QString hover = folder.filePath("hover.png");
    ASSERT_EQ(render({svg, "40", "40", normal}).exitCode, 0);
    ASSERT_EQ(render({"--hover", svg, "40", "40", hover}).exitCode, 0);
    const QImage before(normal);
    const QImage after(hover);
    EXPECT_EQ(before.pixelColor(25, 25), QColor("#1B3B48"));
    EXPECT_EQ(after.pixelColor(25, 25), QColor("#2B7A93"));
    EXPECT_EQ(after.pixelColor(16, 16), QColor("#FFFFFF"));
    EXPECT_EQ(after.pixelColor(20, 38), QColor("#123456"));
    EXPECT_EQ(qAlpha(after.pixel(1, 1)), 0);
}

TEST_F(RenderImage, RefusesBadArgumentsAndInputWithoutWriting)
{
    const QString out = folder.filePath("never.png");
    EXPECT_EQ(render({svg, "40", out}).exitCode, 2);
    EXPECT_EQ(render({}).exitCode, 2);
    for (const QStringList& sizes : {QStringList{"0", "40"}, QStringList{"40", "-3"},
                                     QStringList{"wide", "40"}, QStringList{"40", "99999"}}) {
        const RenderResult run = render({svg, sizes[0], sizes[1], out});
        EXPECT_EQ(run.exitCode, 1) << sizes.join("x").toStdString();
        EXPECT_TRUE(run.errors.contains("width and height"));
    }
    EXPECT_EQ(render({"--quality", "0", svg, "40", "40", out}).exitCode, 1);

    const RenderResult missing = render({folder.filePath("absent.svg"), "40", "40", out});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.errors.contains("cannot read"));

    const QString broken = folder.filePath("broken.svg");
    writeFile(broken, "<svg xmlns=\"http://www.w3.org/2000/svg\"><rect");
    const RenderResult invalid = render({broken, "40", "40", out});
    EXPECT_EQ(invalid.exitCode, 1);
    EXPECT_TRUE(invalid.errors.contains("not a valid SVG"));

    const RenderResult unwritable =
        render({svg, "40", "40", folder.filePath("no/such/folder/x.png")});
    EXPECT_EQ(unwritable.exitCode, 1);
    EXPECT_TRUE(unwritable.errors.contains("cannot write"));

    EXPECT_FALSE(QFile::exists(out));
}

} // namespace
