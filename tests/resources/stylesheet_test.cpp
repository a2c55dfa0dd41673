// The application style sheet: every rule of the look is present with its
// properties, nothing else is styled, and applied to a Fusion application it
// colours the named widgets while unnamed ones keep the Fusion look.

#include <cmath>
#include <map>
#include <memory>
#include <set>
#include <utility>
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
#include <QRegularExpression>
#include <QStandardItemModel>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOption>
#include <QWidget>

#include "test_application.h"

namespace {

using Properties = std::map<QString, QString>;

/// Minimal reader for the sheet's flat rules: comments dropped, names lower
/// case, values lower case with every blank removed.
std::map<QString, Properties> parseStyleSheet(QString text, QStringList& duplicates)
{
    text.remove(QRegularExpression(R"(/\*.*?\*/)", QRegularExpression::DotMatchesEverythingOption));
    std::map<QString, Properties> rules;
    int position = 0;
    while (true) {
        const int open = text.indexOf('{', position);
        if (open < 0) {
            break;
        }
        const int close = text.indexOf('}', open);
        if (close < 0) {
            break;
        }
        Properties properties;
        for (const QString& declaration : text.mid(open + 1, close - open - 1).split(';')) {
            const int colon = declaration.indexOf(':');
            if (colon < 0) {
                continue;
            }
            QString value = declaration.mid(colon + 1).toLower();
            value.remove(QRegularExpression(R"(\s+)"));
            properties[declaration.left(colon).trimmed().toLower()] = value;
        }
        for (const QString& selector : text.mid(position, open - position).split(',')) {
            const QString name = selector.simplified();
            if (rules.count(name)) {
                duplicates << name;
            }
            rules[name] = properties;
        }
        position = close + 1;
    }
    return rules;
}

QString styleSheetText()
{
    QFile file(":/css/main.css");
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll());
}

struct Gradient
{
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    std::vector<std::pair<double, QColor>> stops;
    bool valid = false;
};

QColor parseColour(const QString& text)
{
    static const QRegularExpression rgba(R"(^rgba?\((\d+),(\d+),(\d+)(?:,([\d.]+))?\)$)");
    const auto match = rgba.match(text);
    if (!match.hasMatch()) {
        return QColor(text);
    }
    QColor colour(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
    if (!match.captured(4).isEmpty()) {
        // Qt reads an alpha of at most 1 as a fraction, larger ones as 0..255.
        const double alpha = match.captured(4).toDouble();
        colour.setAlpha(alpha <= 1.0 ? int(std::lround(alpha * 255)) : int(alpha));
    }
    return colour;
}

/// Reads a normalised "qlineargradient(x1:..,stop:..)" value.
Gradient parseGradient(const QString& value)
{
    Gradient gradient;
    if (!value.startsWith("qlineargradient(") || !value.endsWith(')')) {
        return gradient;
    }
    const QString inner = value.mid(16, value.size() - 17);
    static const QRegularExpression coordinate(R"((x1|y1|x2|y2):([-\d.]+))");
    static const QRegularExpression stop(R"(stop:([\d.]+)(rgba?\([^)]*\)|#[0-9a-f]+|[a-z]+))");
    std::set<QString> seen;
    for (auto it = coordinate.globalMatch(inner); it.hasNext();) {
        const auto match = it.next();
        const double number = match.captured(2).toDouble();
        const QString name = match.captured(1);
        seen.insert(name);
        (name == "x1"   ? gradient.x1
         : name == "y1" ? gradient.y1
         : name == "x2" ? gradient.x2
                        : gradient.y2) = number;
    }
    for (auto it = stop.globalMatch(inner); it.hasNext();) {
        const auto match = it.next();
        gradient.stops.emplace_back(match.captured(1).toDouble(), parseColour(match.captured(2)));
    }
    gradient.valid = seen.size() == 4 && !gradient.stops.empty();
    return gradient;
}

const QColor mint(149, 222, 157);
const QColor sky(117, 189, 209);
const QColor teal(73, 165, 191);
const QColor panelBackground(16, 34, 43);

/// The edges of the panel look and of the video frame: the same three stops,
/// running clockwise round the box.
void expectGradientEdges(const Properties& properties)
{
    struct Edge
    {
        const char* property;
        int dx;
        int dy;
    };
    const Edge edges[] = {{"border-top-color", 1, 0},
                          {"border-bottom-color", -1, 0},
                          {"border-left-color", 0, 1},
                          {"border-right-color", 0, -1}};
    for (const auto& edge : edges) {
        SCOPED_TRACE(edge.property);
        ASSERT_TRUE(properties.count(edge.property));
        const Gradient gradient = parseGradient(properties.at(edge.property));
        ASSERT_TRUE(gradient.valid) << properties.at(edge.property).toStdString();
        EXPECT_EQ(gradient.x2 - gradient.x1, edge.dx);
        EXPECT_EQ(gradient.y2 - gradient.y1, edge.dy);
        ASSERT_EQ(gradient.stops.size(), 3u);
        EXPECT_EQ(gradient.stops[0], std::make_pair(0.0, mint));
        EXPECT_EQ(gradient.stops[1], std::make_pair(0.5, sky));
        EXPECT_EQ(gradient.stops[2], std::make_pair(1.0, teal));
        EXPECT_EQ(gradient.stops[0].second.alpha(), 255);
    }
}

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

class StyleSheetText : public ::testing::Test
{
protected:
    void SetUp() override
    {
        testApplication();
        const QString text = styleSheetText();
        ASSERT_FALSE(text.isEmpty()) << ":/css/main.css is missing or empty";
        rules = parseStyleSheet(text, duplicates);
    }

    /// The rule's properties must be exactly @p expected plus @p alsoAllowed.
    void expectRule(const char* selector, const Properties& expected,
                    const std::set<QString>& alsoAllowed = {})
    {
        SCOPED_TRACE(selector);
        ASSERT_TRUE(rules.count(selector)) << "no rule for " << selector;
        const Properties& actual = rules.at(selector);
        for (const auto& [name, value] : expected) {
            ASSERT_TRUE(actual.count(name)) << "missing " << name.toStdString();
            EXPECT_EQ(actual.at(name), value) << name.toStdString();
        }
        for (const auto& [name, value] : actual) {
            EXPECT_TRUE(expected.count(name) || alsoAllowed.count(name))
                << "unexpected property " << name.toStdString();
        }
    }

    std::map<QString, Properties> rules;
    QStringList duplicates;
};

const std::set<QString> edgeColours = {"border-top-color", "border-bottom-color",
                                       "border-left-color", "border-right-color"};

TEST_F(StyleSheetText, EveryRuleHasItsProperties)
{
    expectRule("QMainWindow::separator", {{"width", "0px"}, {"height", "0px"}, {"margin", "0px"}});
    expectRule("QTabWidget#mainTab::tab-bar", {{"alignment", "center"}});
    expectRule("QLabel#labelDockTitle", {{"color", "rgb(0,139,255)"}, {"font-size", "12pt"}});
    expectRule("QLabel#labelSettings", {});
    expectRule("QLabel#labelCallSettings", {{"color", "white"}});
    expectRule("QLabel#labelStatisticsTitle", {{"font-weight", "bold"}, {"color", "white"}});
    expectRule("QLabel#labelStatistics", {{"color", "white"}});
    expectRule("QLabel#valueStatistics", {{"font-weight", "bold"}, {"color", "white"}});
    expectRule("QLabel#labelTestIOStatus", {{"color", "green"}});
    expectRule("QLabel#labelDuration", {{"color", "white"}});
    expectRule("QPushButton#buttonCall",
               {{"color", "white"}, {"font-size", "10pt"}, {"background-color", "green"}});
    expectRule("QWidget#widgetCall", {{"background-color", "rgba(16,34,43,0.7)"}});
    expectRule("QPushButton#callButton",
               {{"border", "0px"}, {"background-color", "darkslateblue"}});
    expectRule(
        "QGroupBox::title",
        {{"subcontrol-origin", "margin"}, {"subcontrol-position", "topcenter"}, {"top", "10px"}});
    expectRule("QGroupBox#boxSettingsCall", {{"font-weight", "bold"}, {"color", "white"}});
    expectRule("QGroupBox#boxInfo", {{"font-weight", "bold"}});
    for (const char* button : {"QPushButton#buttonDialpad", "QPushButton#buttonFecc"}) {
        expectRule(button,
                   {{"border", "0px"}, {"background-color", "darkslateblue"}, {"color", "white"}});
    }
    expectRule("QTreeView", {{"border", "none"}});
    EXPECT_TRUE(duplicates.isEmpty()) << duplicates.join(", ").toStdString();
}

TEST_F(StyleSheetText, PanelDialogsAndVideoFrameHaveGradientEdges)
{
    for (const char* dialog :
         {"QDialog#settingsCall", "QDialog#statistics", "QDialog#dialpad", "QDialog#fecc"}) {
        SCOPED_TRACE(dialog);
        expectRule(dialog, {{"background-color", "rgb(16,34,43)"}, {"border", "2pxsolid"}},
                   edgeColours);
        expectGradientEdges(rules.at(dialog));
    }
    expectRule("QFrame#frameVideo", {{"border", "3pxsolid"}, {"background", "transparent"}},
               edgeColours);
    expectGradientEdges(rules.at("QFrame#frameVideo"));
}

TEST_F(StyleSheetText, HeaderSectionsHaveAVerticalBlueGradient)
{
    expectRule("QHeaderView::section",
               {{"color", "white"},
                {"font-weight", "bold"},
                {"padding", "3px"},
                {"border", "none"},
                {"border-right", "1pxsolid#66b9ff"}},
               {"background-color"});
    const Gradient gradient =
        parseGradient(rules.at("QHeaderView::section").at("background-color"));
    ASSERT_TRUE(gradient.valid);
    EXPECT_EQ(gradient.x2 - gradient.x1, 0);
    EXPECT_GT(gradient.y2 - gradient.y1, 0);
    ASSERT_EQ(gradient.stops.size(), 2u);
    EXPECT_EQ(gradient.stops.front(), std::make_pair(0.0, QColor("#66b9ff")));
    EXPECT_EQ(gradient.stops.back(), std::make_pair(1.0, QColor("#006fcc")));
}

TEST_F(StyleSheetText, StylesNothingBeyondTheNamedRules)
{
    const std::set<QString> allowed = {"QMainWindow::separator",
                                       "QTabWidget#mainTab::tab-bar",
                                       "QLabel#labelDockTitle",
                                       "QLabel#labelSettings",
                                       "QLabel#labelCallSettings",
                                       "QLabel#labelStatisticsTitle",
                                       "QLabel#labelStatistics",
                                       "QLabel#valueStatistics",
                                       "QLabel#labelTestIOStatus",
                                       "QLabel#labelDuration",
                                       "QPushButton#buttonCall",
                                       "QFrame#frameVideo",
                                       "QWidget#widgetCall",
                                       "QPushButton#callButton",
                                       "QDialog#settingsCall",
                                       "QGroupBox::title",
                                       "QGroupBox#boxSettingsCall",
                                       "QCheckBox#checkSettingsCall::indicator",
                                       "QCheckBox#checkSettingsCall::indicator:checked",
                                       "QGroupBox#boxInfo",
                                       "QDialog#statistics",
                                       "QDialog#dialpad",
                                       "QPushButton#buttonDialpad",
                                       "QDialog#fecc",
                                       "QPushButton#buttonFecc",
                                       "QHeaderView::section",
                                       "QTreeView"};
    for (const auto& [selector, properties] : rules) {
        EXPECT_TRUE(allowed.count(selector)) << "unexpected rule " << selector.toStdString();
    }
    EXPECT_EQ(rules.size(), allowed.size());
}

/// The sheet applied to the whole application, as the client does at start-up.
class AppliedStyleSheet : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { testApplication().setStyleSheet(styleSheetText()); }
    static void TearDownTestSuite() { testApplication().setStyleSheet(QString()); }
};

TEST_F(AppliedStyleSheet, NamedLabelsTakeTheirColourAndFont)
{
    struct Expectation
    {
        const char* name;
        QColor colour;
        bool bold;
    };
    const Expectation labels[] = {{"labelDuration", Qt::white, false},
                                  {"labelCallSettings", Qt::white, false},
                                  {"labelStatistics", Qt::white, false},
                                  {"labelStatisticsTitle", Qt::white, true},
                                  {"valueStatistics", Qt::white, true},
                                  {"labelTestIOStatus", QColor(0, 128, 0), false},
                                  {"labelDockTitle", QColor(0, 139, 255), false}};
    for (const auto& expectation : labels) {
        SCOPED_TRACE(expectation.name);
        QLabel label("00:01:02");
        label.setObjectName(expectation.name);
        label.ensurePolished();
        EXPECT_EQ(label.palette().color(QPalette::WindowText), expectation.colour);
        EXPECT_EQ(label.font().bold(), expectation.bold);
    }
    QLabel title("Contacts");
    title.setObjectName("labelDockTitle");
    title.ensurePolished();
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
