// The application style sheet applied to a Fusion application, as the client does: it
// colours the named widgets as drawn, while unnamed ones keep the Fusion look.

#include <cmath>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QColor>
#include <QDialog>
#include <QFile>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardItemModel>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOption>
#include <QWidget>

#include "test_application.h"

namespace {

QString styleSheetText()
{
    QFile file(":/css/main.css");
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll());
}

const QColor mint(149, 222, 157);
const QColor sky(117, 189, 209);
const QColor teal(73, 165, 191);
const QColor panelBackground(16, 34, 43);

QImage renderOver(QWidget& widget, const QColor& under)
{
    widget.ensurePolished();
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(under);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image.convertToFormat(QImage::Format_RGB32);
}

int colourDistance(const QColor& a, const QColor& b)
{
    return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()),
                     std::abs(a.blue() - b.blue())});
}

#define EXPECT_COLOUR_NEAR(actual, expected, tolerance)                                            \
    EXPECT_LE(colourDistance(actual, expected), tolerance)                                         \
        << "got " << (actual).name().toStdString() << ", expected "                                \
        << (expected).name().toStdString()

/// The sheet applied to the whole application, as the client does at start-up.
class AppliedStyleSheet : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { testApplication().setStyleSheet(styleSheetText()); }
    static void TearDownTestSuite() { testApplication().setStyleSheet(QString()); }
};

TEST_F(AppliedStyleSheet, ANamedLabelTakesItsColourAndFont)
{
    QLabel title("Contacts");
    title.setObjectName("labelDockTitle");
    title.ensurePolished();
    EXPECT_EQ(title.palette().color(QPalette::WindowText), QColor(0, 139, 255));
    EXPECT_EQ(title.font().pointSizeF(), 12.0);
}

TEST_F(AppliedStyleSheet, UnnamedWidgetsKeepTheFusionLook)
{
    const std::unique_ptr<QStyle> fusionStyle(QStyleFactory::create("Fusion"));
    ASSERT_TRUE(fusionStyle);
    const QPalette fusion = fusionStyle->standardPalette();
    QLabel label("Some text");
    label.ensurePolished();
    EXPECT_EQ(label.palette().color(QPalette::WindowText), fusion.color(QPalette::WindowText));
    EXPECT_FALSE(label.font().bold());

    // Rendered with and without the sheet, an unnamed button, line edit and
    // label are pixel for pixel the same.
    auto renderAll = [] {
        std::vector<QImage> images;
        QPushButton button("Call");
        button.resize(120, 32);
        images.push_back(renderOver(button, Qt::white));
        QLineEdit edit("10.0.0.1");
        edit.resize(160, 28);
        images.push_back(renderOver(edit, Qt::white));
        QLabel plain("Address");
        plain.resize(100, 20);
        images.push_back(renderOver(plain, Qt::white));
        return images;
    };
    const auto styled = renderAll();
    testApplication().setStyleSheet(QString());
    const auto unstyled = renderAll();
    testApplication().setStyleSheet(styleSheetText());
    ASSERT_EQ(styled.size(), unstyled.size());
    for (size_t i = 0; i < styled.size(); ++i) {
        EXPECT_TRUE(styled[i] == unstyled[i]) << "widget " << i << " changed under the sheet";
    }
}

TEST_F(AppliedStyleSheet, NamedButtonsPaintTheirBackground)
{
    // Without a border the flat buttons are filled to the very corner.
    for (const char* name : {"callButton", "buttonDialpad", "buttonFecc"}) {
        SCOPED_TRACE(name);
        QPushButton button("1");
        button.setObjectName(name);
        button.resize(100, 40);
        const QImage image = renderOver(button, Qt::white);
        EXPECT_COLOUR_NEAR(image.pixelColor(6, 20), QColor(72, 61, 139), 2);
        EXPECT_COLOUR_NEAR(image.pixelColor(0, 0), QColor(72, 61, 139), 2);
    }
    QPushButton dialpad("5");
    dialpad.setObjectName("buttonDialpad");
    dialpad.ensurePolished();
    EXPECT_EQ(dialpad.palette().color(QPalette::ButtonText), QColor(Qt::white));

    // The call button keeps its Fusion bevel, shaded in green.
    QPushButton call("Call");
    call.setObjectName("buttonCall");
    call.resize(100, 40);
    const QColor face = renderOver(call, Qt::white).pixelColor(6, 20);
    EXPECT_GT(face.green(), face.red() + 60) << face.name().toStdString();
    EXPECT_GT(face.green(), face.blue() + 60) << face.name().toStdString();
    EXPECT_EQ(call.font().pointSizeF(), 10.0);
    EXPECT_EQ(call.palette().color(QPalette::ButtonText), QColor(Qt::white));
}

TEST_F(AppliedStyleSheet, CallWidgetIsSeeThrough)
{
    QWidget widget;
    widget.setObjectName("widgetCall");
    widget.resize(60, 30);
    const QImage image = renderOver(widget, Qt::white);
    // 70 % of (16, 34, 43) over white.
    EXPECT_COLOUR_NEAR(image.pixelColor(30, 15), QColor(88, 100, 107), 3);
}

TEST_F(AppliedStyleSheet, PanelDialogsHaveADarkBodyAndClockwiseGradientEdges)
{
    for (const char* name : {"settingsCall", "statistics", "dialpad", "fecc"}) {
        SCOPED_TRACE(name);
        QDialog dialog;
        dialog.setObjectName(name);
        dialog.resize(200, 100);
        const QImage image = renderOver(dialog, Qt::white);
        const int w = image.width();
        const int h = image.height();
        EXPECT_COLOUR_NEAR(image.pixelColor(w / 2, h / 2), panelBackground, 1);
        // Each edge starts mint and ends teal, going clockwise.
        EXPECT_COLOUR_NEAR(image.pixelColor(10, 0), mint, 12);         // top, left end
        EXPECT_COLOUR_NEAR(image.pixelColor(w - 11, 0), teal, 12);     // top, right end
        EXPECT_COLOUR_NEAR(image.pixelColor(w - 1, h - 11), mint, 12); // right, bottom end
        EXPECT_COLOUR_NEAR(image.pixelColor(w - 1, 10), teal, 12);     // right, top end
        EXPECT_COLOUR_NEAR(image.pixelColor(w - 11, h - 1), mint, 12); // bottom, right end
        EXPECT_COLOUR_NEAR(image.pixelColor(10, h - 1), teal, 12);     // bottom, left end
        EXPECT_COLOUR_NEAR(image.pixelColor(0, 10), mint, 12);         // left, top end
        EXPECT_COLOUR_NEAR(image.pixelColor(0, h - 11), teal, 12);     // left, bottom end
        // The border is 2 px wide.
        EXPECT_COLOUR_NEAR(image.pixelColor(w / 2, 1), sky, 12);
        EXPECT_COLOUR_NEAR(image.pixelColor(w / 2, 2), panelBackground, 1);
    }
}

TEST_F(AppliedStyleSheet, VideoFrameHasA3PixelGradientBorderAndNoBackground)
{
    QFrame frame;
    frame.setObjectName("frameVideo");
    frame.resize(200, 120);
    const QImage image = renderOver(frame, Qt::white);
    const int w = image.width();
    const int h = image.height();
    EXPECT_COLOUR_NEAR(image.pixelColor(w / 2, h / 2), QColor(Qt::white), 0);
    EXPECT_COLOUR_NEAR(image.pixelColor(10, 1), mint, 12);
    EXPECT_COLOUR_NEAR(image.pixelColor(w - 11, 1), teal, 12);
    EXPECT_COLOUR_NEAR(image.pixelColor(1, h - 11), teal, 12);
    EXPECT_COLOUR_NEAR(image.pixelColor(w / 2, 2), sky, 12);
    EXPECT_COLOUR_NEAR(image.pixelColor(w / 2, 3), QColor(Qt::white), 0);
}

TEST_F(AppliedStyleSheet, HeaderSectionsAreBlueAndBold)
{
    QStandardItemModel model(1, 2);
    model.setHorizontalHeaderLabels({"Name", "Address"});
    QHeaderView header(Qt::Horizontal);
    header.setModel(&model);
    header.resize(240, 30);
    header.resizeSection(0, 120);
    header.resizeSection(1, 120);
    const QImage image = renderOver(header, Qt::white);
    const QColor top = image.pixelColor(5, 1);
    const QColor bottom = image.pixelColor(5, image.height() - 2);
    EXPECT_COLOUR_NEAR(top, QColor("#66b9ff"), 16);
    EXPECT_COLOUR_NEAR(bottom, QColor("#006fcc"), 16);
    // The one border: a light line at the right end of the first section.
    EXPECT_COLOUR_NEAR(image.pixelColor(119, image.height() - 2), QColor("#66b9ff"), 2);
}

TEST_F(AppliedStyleSheet, SettingsGroupBoxTitleIsBoldAndWhite)
{
    QGroupBox box("Video");
    box.setObjectName("boxSettingsCall");
    box.ensurePolished();
    EXPECT_TRUE(box.font().bold());
    EXPECT_EQ(box.palette().color(QPalette::WindowText), QColor(Qt::white));
    QGroupBox info("About");
    info.setObjectName("boxInfo");
    info.ensurePolished();
    EXPECT_TRUE(info.font().bold());
}

TEST_F(AppliedStyleSheet, TheCallPanelsCheckBoxStandsOutOnTheDarkPanel)
{
    QDialog panel;
    panel.setObjectName("settingsCall");
    QCheckBox box(&panel);
    box.setObjectName("checkSettingsCall");
    box.resize(40, 20);
    const QColor dark(16, 34, 43);
    for (const bool ticked : {false, true}) {
        SCOPED_TRACE(ticked);
        box.setChecked(ticked);
        const QImage image = renderOver(box, dark);
        // The indicator's frame (and its fill once ticked) is far from the panel's colour.
        int brightest = 0;
        for (int x = 0; x < 20; ++x)
            for (int y = 0; y < image.height(); ++y)
                brightest = std::max(brightest, colourDistance(image.pixelColor(x, y), dark));
        EXPECT_GT(brightest, 100);
        QStyleOptionButton option;
        option.initFrom(&box);
        const QRect indicator =
            box.style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, &box);
        const QColor centre = image.pixelColor(indicator.center());
        if (ticked)
            EXPECT_GT(colourDistance(centre, dark), 100);
        else
            EXPECT_LT(colourDistance(centre, dark), 16);
    }
}

} // namespace
