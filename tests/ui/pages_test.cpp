// The home, contacts and history pages and the toolbar's rules with real widgets: the
// keypad, the contact dialog's checks, edits, removal, export and import (the XML file
// read back), the history's icons and callbacks, and the Vietnamese texts of each page.

#include <QAbstractButton>
#include <QComboBox>
#include <QGroupBox>
#include <QMenu>
#include <QRegularExpression>
#include <QSet>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTranslator>
#include <QTreeView>

#include <gtest/gtest.h>

#include "KxPhone/buildinfo.h"

#include "storage/contactstore.h"
#include "storage/recentstore.h"
#include "tests/resources/test_application.h"
#include "tests/ui/cataloguekit.h"
#include "tests/ui/modalkit.h"
#include "ui/callbutton.h"
#include "ui/contactdialog.h"
#include "ui/mainwindow.h"
#include "ui/uicontext.h"
#include "ui/widgetcall.h"
#include "ui/widgetcontacts.h"
#include "ui/widgethistory.h"
#include "ui/widgetdialpad.h"
#include "ui/widgethome.h"
#include "ui/widgetinfo.h"
#include "ui/widgetsettingscall.h"
#include "ui/widgetstatistics.h"
#include "voip/rtp/rtpsession.h"

namespace {

using kx::testutil::catalogueTexts;
using kx::testutil::onNextModal;
using kx::testutil::visibleTexts;

struct Pages
{
    Pages()
        : settings(dir.filePath("Kestrovia.ini"), QSettings::IniFormat)
        , contacts(dir.filePath("contacts.xml"))
        , recents(dir.filePath("recents.xml"))
    {
        testApplication();
        context.settingsOverride = &settings;
        context.contactsOverride = &contacts;
        context.recentsOverride = &recents;
    }
    QTemporaryDir dir;
    QSettings settings;
    ContactStore contacts;
    RecentStore recents;
    UiContext context;
};

void answerBox(QMessageBox::StandardButton button)
{
    onNextModal<QWidget>([button](QWidget& w) {
        if (auto* box = qobject_cast<QMessageBox*>(&w))
            box->button(button)->click();
    });
}

/// Types `path` into the next file dialog and accepts it.
void chooseFileInNextDialog(const QString& path)
{
    onNextModal<QFileDialog>([path](QFileDialog& dialog) {
        if (auto* name = dialog.findChild<QLineEdit*>("fileNameEdit")) {
            name->setText(path);
            QTest::keyClick(name, Qt::Key_Return);
        }
    });
}

void selectRow(ListPage& page, int row)
{
    page.view()->selectionModel()->select(page.model()->index(row, 0),
                                          QItemSelectionModel::ClearAndSelect |
                                              QItemSelectionModel::Rows);
}

TEST(HomePage, KeypadInsertsAtTheCursorAndReplacesASelection)
{
    Pages pages;
    pages.settings.setValue("address", "bob@10.0.0.9");
    WidgetHome home(pages.context);
    EXPECT_EQ(home.addressLine()->text(), "bob@10.0.0.9");
    home.addressLine()->setText("19216811");
    home.addressLine()->setCursorPosition(3);
    home.onClicked(".");
    EXPECT_EQ(home.addressLine()->text(), "192.16811");
    home.addressLine()->setSelection(0, 3);
    home.onClicked("@");
    EXPECT_EQ(home.addressLine()->text(), "@.16811");
    // The keys read 1..9, ".", "0", "@" and each types its own text.
    QStringList typed;
    for (auto* key : home.findChildren<QPushButton*>())
        if (key != home.callButton())
            typed << key->text();
    EXPECT_EQ(typed.join(""), "123456789.0@");
}

TEST(ContactsPage, DialogChecksEditsRemovesAndTheFileKeepsEveryField)
{
    Pages pages;
    WidgetContacts page(pages.context);
    ContactDialog& dialog = *page.dialog();

    // Save with an empty name keeps the dialog open, the focus in the name; then the IP.
    const QString longName = QString("Nguyễn Thị Minh Khai ") + QString(300, 'x');
    const QString hebrew = QString::fromUtf8("שלום עולם");
    onNextModal<QWidget>([&](QWidget&) {
        dialog.ipField()->setText("10.1.2.3");
        dialog.saveButton()->click();
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_TRUE(dialog.nameField()->hasFocus() || QApplication::focusWidget() == nullptr);
        dialog.nameField()->setText(longName);
        dialog.ipField()->clear();
        dialog.saveButton()->click();
        EXPECT_TRUE(dialog.isVisible());
        dialog.ipField()->setText("alice@[::1]:1721");
        dialog.orgField()->setText(hebrew);
        dialog.saveButton()->click();
    });
    page.onAdd();
    ASSERT_EQ(pages.contacts.contacts().size(), 1);
    EXPECT_EQ(pages.contacts.contacts().at(0),
              (Contact{longName, "alice@[::1]:1721", hebrew, "", "h.323"}));
    ASSERT_EQ(page.model()->rowCount(), 1);
    EXPECT_EQ(page.model()->item(0, 0)->text(), "1");
    EXPECT_TRUE(page.model()->item(0, 2)->toolTip().contains(hebrew));

    pages.contacts.addContact("Bình", "10.0.0.2", "", "Hà Nội", "h.323");
    pages.contacts.addContact("Carol", "10.0.0.3", "", "", "h.323");
    page.UpdateData();
    ASSERT_EQ(page.model()->rowCount(), 3);

    // Editing the third contact replaces the third element.
    selectRow(page, 2);
    onNextModal<QWidget>([&](QWidget&) {
        EXPECT_EQ(dialog.nameField()->text(), "Carol");
        dialog.nameField()->setText("Caroline");
        dialog.saveButton()->click();
    });
    page.onEdit();
    EXPECT_EQ(page.editIndex(), 2);
    EXPECT_EQ(pages.contacts.contacts().at(2).name, "Caroline");
    EXPECT_EQ(page.model()->item(2, 0)->text(), "3");

    // Remove asks first: No keeps it, Yes removes it.
    selectRow(page, 1);
    answerBox(QMessageBox::No);
    page.onRemove();
    EXPECT_EQ(pages.contacts.contacts().size(), 3);
    selectRow(page, 1);
    answerBox(QMessageBox::Yes);
    page.onRemove();
    ASSERT_EQ(pages.contacts.contacts().size(), 2);
    EXPECT_EQ(page.model()->item(1, 1)->text(), "Caroline");

    // The stored file holds the same list, read back by a store of its own.
    ContactStore reread(pages.contacts.path());
    EXPECT_EQ(reread.contacts(), pages.contacts.contacts());
}

TEST(ContactsPage, ExportAndImportGoThroughTheFileAndAForeignFileChangesNothing)
{
    Pages pages;
    WidgetContacts page(pages.context);
    pages.contacts.addContact("Đức", "192.0.2.1", "Công ty", "Huế", "h.323");
    page.UpdateData();
    // Export through the page's file dialog: another store reads the same contacts from it
    // (the file's layout: store_test).
    const QString exported = pages.dir.filePath("exported.xml");
    chooseFileInNextDialog(exported);
    page.onExport();
    ContactStore other(pages.dir.filePath("other.xml"));
    ASSERT_TRUE(other.importContacts(exported));
    EXPECT_EQ(other.contacts(), pages.contacts.contacts());

    // Importing it (after the question) replaces the list with the file's.
    pages.contacts.addContact("Extra", "192.0.2.9", "", "", "h.323");
    page.UpdateData();
    ASSERT_EQ(page.model()->rowCount(), 2);
    answerBox(QMessageBox::Yes);
    chooseFileInNextDialog(exported);
    page.onImport();
    ASSERT_EQ(pages.contacts.contacts().size(), 1);
    EXPECT_EQ(page.model()->rowCount(), 1);
    EXPECT_EQ(page.model()->item(0, 1)->text(), "Đức");

    // A file that is not a contacts file leaves the list as it was, and says so.
    const QString foreign = pages.dir.filePath("foreign.xml");
    QFile bad(foreign);
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("<?xml version=\"1.0\"?><Playlist><Song/></Playlist>");
    bad.close();
    QStringList problems;
    QObject::connect(&page, &WidgetContacts::fileProblem, &page,
                     [&](const QString& text) { problems << text; });
    answerBox(QMessageBox::Yes);
    chooseFileInNextDialog(foreign);
    page.onImport();
    EXPECT_EQ(pages.contacts.contacts().size(), 1);
    EXPECT_EQ(page.model()->rowCount(), 1);
    EXPECT_FALSE(problems.isEmpty());

    // Import answered No opens no file dialog and changes nothing.
    answerBox(QMessageBox::No);
    page.onImport();
    EXPECT_EQ(pages.contacts.contacts().size(), 1);
}

TEST(HistoryPage, IconsTooltipsAndSavingACallerAsAContact)
{
    Pages pages;
    pages.recents.addRecent(
        {"Old", "10.0.0.1", "01/12/26 09:00", "3", "H.323", "outgoing", "success"});
    pages.recents.addRecent(
        {"New", "10.0.0.2", "07/12/26 10:00", "0", "H.323", "incoming", "failure"});
    WidgetHistory page(pages.context);
    page.UpdateData();
    ASSERT_EQ(page.model()->rowCount(), 2);
    EXPECT_EQ(page.model()->item(0, 1)->text(), "New");
    EXPECT_EQ(WidgetHistory::iconFor("incoming", "failure"), ":/img/left_red.png");
    EXPECT_EQ(WidgetHistory::iconFor("outgoing", "success"), ":/img/right_green.png");
    EXPECT_EQ(page.model()->item(1, 0)->toolTip().split('\n').size(), 7);
    // Its date shows in a column of its own, in the language's way, with the year in full.
    ASSERT_EQ(page.model()->columnCount(), 4);
    const QString date = page.model()->item(0, 3)->text();
    EXPECT_TRUE(date.contains("2026")) << date.toStdString();
    EXPECT_TRUE(date.contains("10:00")) << date.toStdString();
    EXPECT_TRUE(
        WidgetHistory::dateOf(pages.recents.recents().at(0), QLocale("vi_VN")).contains("2026"));
    // The names take the room the list has: wider list, wider names.
    page.show();
    page.resize(400, 400);
    QCoreApplication::processEvents();
    const int narrow = page.view()->columnWidth(1);
    page.resize(800, 400);
    QCoreApplication::processEvents();
    EXPECT_GT(page.view()->columnWidth(1), narrow + 300);

    pages.contacts.addContact("Old", "10.0.0.1", "", "", "h.323");
    selectRow(page, 1);
    onNextModal<QWidget>([&](QWidget&) {
        EXPECT_EQ(page.dialog()->ipField()->text(), "10.0.0.1");
        page.dialog()->saveButton()->click();
    });
    page.onAdd();
    // Added even though a contact with that address exists.
    EXPECT_EQ(pages.contacts.contacts().size(), 2);

    selectRow(page, 0);
    page.onRemove();
    ASSERT_EQ(page.model()->rowCount(), 1);
    answerBox(QMessageBox::Yes);
    page.onClear();
    EXPECT_EQ(page.model()->rowCount(), 0);
    EXPECT_TRUE(RecentStore(pages.recents.path()).recents().isEmpty());
}

// The About box says the version and the day of this build, not words written into it.
TEST(AboutBox, SaysTheBuildsVersionAndDay)
{
    testApplication();
    WidgetInfo info;
    QStringList labels;
    for (QLabel* label : info.findChildren<QLabel*>())
        labels << label->text();
    const QString date = QLocale::system().toString(QDate::fromString(KX_BUILD_DATE, Qt::ISODate),
                                                    QLocale::ShortFormat);
    EXPECT_TRUE(labels.join('|').contains(QString(KX_VERSION) + " ("))
        << labels.join('|').toStdString();
    EXPECT_TRUE(labels.join('|').contains(date)) << date.toStdString();
}

TEST(CallToolbarRules, LayoutPipAndDurationFollowTheirCycles)
{
    EXPECT_EQ(WidgetCall::nextLayout(2, true), 3);
    EXPECT_EQ(WidgetCall::nextLayout(2, false), 0);
    EXPECT_EQ(WidgetCall::nextLayout(3, true), 0);
    EXPECT_EQ(WidgetCall::nextLayout(7, false), 1);
    QList<int> pip = {0};
    for (int i = 0; i < 5; ++i)
        pip << WidgetSettingsCall::nextPiP(pip.last());
    EXPECT_EQ(pip, (QList<int>{0, 1, 2, 3, 4, 0}));
    EXPECT_EQ(WidgetSettingsCall::nextPiP(9), 1);
    EXPECT_EQ(WidgetCall::durationText(3723), "01:02:03");
    EXPECT_EQ(WidgetCall::durationText(360000), "100:00:00");

    voip::rtp::StreamStatistics s;
    s.timeBase = std::chrono::milliseconds(2000);
    s.rateByteCount = 16000;
    s.totalBytes = (5u << 20);
    s.frameCount = 50;
    EXPECT_EQ(WidgetStatistics::bandwidthText(s), "64 Kbps");
    EXPECT_EQ(WidgetStatistics::transferText(s), "5.0 MB");
    EXPECT_EQ(WidgetStatistics::rateText(s, true), "25 fps");
    s.frameCount = 0;
    EXPECT_EQ(WidgetStatistics::rateText(s, true), "still-picture") << "sent only when it changes";
    EXPECT_EQ(WidgetStatistics::rateText(s, false), "0 fps") << "nothing arrives";
    s.totalBytes = (1u << 20) - 1;
    s.timeBase = std::chrono::milliseconds(0);
    EXPECT_EQ(WidgetStatistics::transferText(s), "1023 KB") << "a minute of audio is not 0 MB";
    s.totalBytes = (3u << 20) / 2;
    EXPECT_EQ(WidgetStatistics::transferText(s), "1.5 MB");
    EXPECT_EQ(WidgetStatistics::bandwidthText(s), "0 Kbps");
}

// A notice over the toolbar leaves the keyboard and the mouse to the window: the next
// Ctrl+1 changes the layout again and the next click reaches its button.
TEST(CallToolbarNotice, TakesNeitherTheKeyboardNorTheMouse)
{
    Pages pages;
    MainWindow window;
    window.context() = pages.context;
    window.connectEngine();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    WidgetCall& toolbar = *window.callToolbar();
    toolbar.showLayoutNotice(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return toolbar.fade()->isVisible(); }));
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(QApplication::activeWindow(), &window);
    toolbar.showLayoutNotice(0);
    EXPECT_TRUE(toolbar.fade()->isVisible()) << "a second notice replaces the first";
    EXPECT_EQ(QApplication::activeWindow(), &window);
}

TEST(WindowInVietnamese, EveryVisibleTextIsACatalogueTextAndNoneIsEnglish)
{
    Pages pages;
    QTranslator vietnamese;
    if (!vietnamese.load(":/locale/vn.qm"))
        GTEST_SKIP() << "resource bundle not built";
    QApplication::installTranslator(&vietnamese);
    pages.contacts.addContact("An", "10.0.0.1", "", "", "h.323");
    pages.recents.addRecent(
        {"Bảo", "10.0.0.2", "07/12/26 10:00", "2", "H.323", "incoming", "success"});
    MainWindow window;
    window.context() = pages.context;
    window.connectEngine();
    window.contactsPage()->UpdateData();
    window.historyPage()->UpdateData();
    WidgetCall& toolbar = *window.callToolbar();
    toolbar.onSettings();
    toolbar.onDialpad();
    toolbar.onStatus();
    toolbar.showLayoutNotice(1);
    WidgetInfo info;
    window.incomingCallBox()->setInformativeText(QCoreApplication::translate("MainWindow", "from") +
                                                 ": Bảo");

    QStringList texts = visibleTexts(window);
    const QList<QWidget*> others = {window.contactsPage()->dialog(),
                                    window.historyPage()->dialog(),
                                    toolbar.settingsPanel(),
                                    toolbar.dialpadDialog(),
                                    toolbar.statisticsDialog(),
                                    toolbar.fade(),
                                    &info,
                                    window.incomingCallBox()};
    for (QWidget* other : others)
        texts << visibleTexts(*other);
    // The toolbar's tool tips too, the controls' and the sound state's among them.
    for (QWidget* control : toolbar.findChildren<QWidget*>())
        if (!control->toolTip().isEmpty())
            texts << control->toolTip();
    for (QMenu* menu : {&window.contactsPage()->rowMenu(), &window.contactsPage()->emptyMenu(),
                        &window.historyPage()->rowMenu(), &window.historyPage()->emptyMenu()})
        for (QAction* action : menu->actions())
            texts << action->text();
    // No label of the call settings panel is cut.
    for (QLabel* label : toolbar.settingsPanel()->findChildren<QLabel*>("labelCallSettings"))
        EXPECT_TRUE(label->wordWrap() ||
                    label->fontMetrics().horizontalAdvance(label->text()) <= label->maximumWidth())
            << "cut: " << label->text().toStdString();
    QApplication::removeTranslator(&vietnamese);

    const QSet<QString> ours = catalogueTexts("vn.ts");
    const QSet<QString> english = catalogueTexts("en.ts");
    // What the window shows that is not interface text: the data, the product, numbers.
    const QSet<QString> data = {"An",        "Bảo",   "10.0.0.1", "10.0.0.2",
                                "Kestrovia", "H.323", "h.323",    "07/12/2026 10:00"};
    int pieces = 0;
    for (const QString& text : texts) {
        // Composite texts: "caption: value", "text [shortcut]", lines, "...?".
        for (QString piece : text.split(QRegularExpression("\n|: |\\. | \\[[^\\]]*\\]"))) {
            piece = piece.trimmed();
            while (piece.endsWith('?') || piece.endsWith(':'))
                piece.chop(1);
            // "1.0.0 (text 10/12/2026)": the version, then a catalogue text with the date of
            // the build in it.
            const auto version = QRegularExpression("^\\d+\\.\\d+\\.\\d+ \\((.*)\\)$").match(piece);
            if (version.hasMatch())
                piece = version.captured(1).remove(QRegularExpression(" [0-9][0-9/.-]+$"));
            bool letters = false;
            for (QChar c : piece)
                letters = letters || c.isLetter();
            if (!letters || data.contains(piece))
                continue;
            // "2 phút": a number before a catalogue text.
            if (piece.at(0).isDigit() && ours.contains(piece.section(' ', 1)))
                continue;
            ++pieces;
            EXPECT_TRUE(ours.contains(piece)) << "not a catalogue text: \"" << piece.toStdString()
                                              << "\" in \"" << text.toStdString() << "\"";
            EXPECT_FALSE(english.contains(piece) && !ours.contains(piece))
                << "English left: " << piece.toStdString();
        }
    }
    EXPECT_GT(pieces, 60);
}

// Debian's Qt has no Vietnamese catalogue of its own: the standard buttons, the file
// dialog and the line edit's menu come from ours, by Qt's own contexts.
TEST(WindowInVietnamese, StandardButtonsAndTheFileDialogToo)
{
    testApplication();
    QTranslator qt;
    ASSERT_TRUE(qt.load(":/locale/qt_vn.qm"));
    QApplication::installTranslator(&qt);
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Save |
                           QMessageBox::Discard | QMessageBox::Cancel);
    const std::pair<QMessageBox::StandardButton, const char*> buttons[] = {
        {QMessageBox::Yes, "&Có"},
        {QMessageBox::No, "&Không"},
        {QMessageBox::Save, "Lưu"},
        {QMessageBox::Discard, "Bỏ"},
        {QMessageBox::Cancel, "Hủy"}};
    for (const auto& [which, text] : buttons)
        EXPECT_EQ(box.button(which)->text(), QString::fromUtf8(text));

    QFileDialog dialog(nullptr, QString(), QDir::tempPath());
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    QStringList labels;
    for (QLabel* label : dialog.findChildren<QLabel*>())
        labels << label->text();
    EXPECT_TRUE(labels.contains(QString::fromUtf8("Tìm trong:"))) << labels.join('|').toStdString();
    EXPECT_TRUE(labels.contains(QString::fromUtf8("&Tên tệp:"))) << labels.join('|').toStdString();
    QApplication::removeTranslator(&qt);
}

// The contacts' file dialog: its filter, and the files' types, sizes and dates, in the
// interface's language rather than the system's.
TEST(WindowInVietnamese, TheContactsFileDialogListsFilesInTheLanguage)
{
    Pages pages;
    QTranslator qt;
    QTranslator ours;
    ASSERT_TRUE(qt.load(":/locale/qt_vn.qm"));
    ASSERT_TRUE(ours.load(":/locale/vn.qm"));
    QApplication::installTranslator(&qt);
    QApplication::installTranslator(&ours);
    QTemporaryDir folder;
    QFile file(folder.filePath("a.xml"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<x/>");
    file.close();
    const QDateTime written = QFileInfo(file).lastModified();

    WidgetContacts page(pages.context);
    QStringList shown;
    QString filter;
    onNextModal<QFileDialog>([&](QFileDialog& dialog) {
        dialog.setDirectory(folder.path());
        auto* list = dialog.findChild<QTreeView*>("treeView");
        QTest::qWaitFor([&] { return list && list->model()->rowCount(list->rootIndex()) > 0; },
                        5000);
        if (list)
            for (int column = 0; column < 4; ++column)
                shown << list->model()->index(0, column, list->rootIndex()).data().toString();
        filter = dialog.selectedNameFilter();
        dialog.reject();
    });
    page.onExport();
    EXPECT_EQ(filter, QString::fromUtf8("Tệp XML (*.xml)"));
    ASSERT_EQ(shown.size(), 4);
    EXPECT_EQ(shown[0], "a.xml");
    EXPECT_EQ(shown[1], "4 byte");
    EXPECT_EQ(shown[2], QString::fromUtf8("Tệp xml"));
    EXPECT_EQ(shown[3], written.toString("dd/MM/yyyy HH:mm"));
    QApplication::removeTranslator(&ours);
    QApplication::removeTranslator(&qt);
}

} // namespace
