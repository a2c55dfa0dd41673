// Renders one of the bundle's SVG sources into a raster picture at a fixed size.
//
//   kx_render_image [--hover] [--quality N] <source.svg> <width> <height> <output.png|.jpg>
//
// The output format follows the file extension. With --hover the toolbar
// colours of the source are swapped for their brighter hover shades before
// rendering, so that every normal icon and its hover partner come from one
// drawing. Run with QT_QPA_PLATFORM=offscreen on a machine without a display.

#include <cstdio>
#include <cstdlib>
#include <utility>

#include <QByteArray>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>

namespace {

/// Toolbar palette: normal shade -> hover shade. The sources use these exact
/// spellings for the badge fill, the ring, the glyph and the red "off" slash.
constexpr std::pair<const char*, const char*> hoverShades[] = {
    {"#1B3B48", "#2B7A93"},
    {"#49A5BF", "#A6EDAE"},
    {"#E3F2F5", "#FFFFFF"},
    {"#E5484D", "#FF6F73"},
};

int fail(const QString& message)
{
    std::fprintf(stderr, "kx_render_image: %s\n", qPrintable(message));
    return 1;
}

void usage()
{
    std::fprintf(stderr, "usage: kx_render_image [--hover] [--quality N] <source.svg> <width> "
                         "<height> <output.png|.jpg>\n");
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);

    bool hover = false;
    int quality = 90;
    QStringList positional;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == "--hover") {
            hover = true;
        } else if (args[i] == "--quality" && i + 1 < args.size()) {
            bool ok = false;
            quality = args[++i].toInt(&ok);
            if (!ok || quality < 1 || quality > 100) {
                return fail("quality must be 1..100");
            }
        } else {
            positional << args[i];
        }
    }
    if (positional.size() != 4) {
        usage();
        return 2;
    }
    const QString source = positional[0];
    bool widthOk = false;
    bool heightOk = false;
    const int width = positional[1].toInt(&widthOk);
    const int height = positional[2].toInt(&heightOk);
    const QString output = positional[3];
    if (!widthOk || !heightOk || width < 1 || height < 1 || width > 8192 || height > 8192) {
        return fail("width and height must be 1..8192");
    }

    QFile file(source);
    if (!file.open(QIODevice::ReadOnly)) {
        return fail(QString("cannot read %1: %2").arg(source, file.errorString()));
    }
    QByteArray svg = file.readAll();
    if (hover) {
        for (const auto& [normal, bright] : hoverShades) {
            svg.replace(normal, bright);
        }
    }

    QSvgRenderer renderer(svg);
    if (!renderer.isValid()) {
        return fail(QString("%1 is not a valid SVG drawing").arg(source));
    }

    const bool jpeg = output.endsWith(".jpg", Qt::CaseInsensitive) ||
                      output.endsWith(".jpeg", Qt::CaseInsensitive);
    QImage image(width, height, jpeg ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied);
    image.fill(jpeg ? Qt::black : Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform |
                               QPainter::TextAntialiasing);
        renderer.render(&painter, QRectF(0, 0, width, height));
    }
    if (!jpeg) {
        image = image.convertToFormat(QImage::Format_ARGB32);
    }

    QImageWriter writer(output, jpeg ? "jpg" : "png");
    if (jpeg) {
        writer.setQuality(quality);
        writer.setOptimizedWrite(true);
    } else {
        writer.setCompression(9);
    }
    if (!writer.write(image)) {
        return fail(QString("cannot write %1: %2").arg(output, writer.errorString()));
    }
    return 0;
}
