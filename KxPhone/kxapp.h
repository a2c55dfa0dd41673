#pragma once

#include <QApplication>
#include <QMargins>
#include <QRect>
#include <QString>

class QLocalServer;
class QSettings;
class QSharedMemory;
class QTranslator;
class QWidget;
class MainWindow;
class KxManager;
class ContactStore;
class RecentStore;

/// The application object: the one instance per user, its start-up, and the hub through
/// which every part of the program reaches the settings, the main window, the call
/// manager, the contact and recent-call stores and the screen scale factor.
///
/// Everything here runs on the GUI thread. The application owns the objects start-up
/// creates (the pointers below) and destroys them in the reverse order when it ends.
class KxApp : public QApplication
{
    Q_OBJECT

public:
    /// Constructs the application, takes the single-instance segment named `key` and, in
    /// the first instance, runs start-up. Afterwards exactly one of these holds:
    /// `instance() == this` (first instance, start-up done), `alreadyRunning` (another
    /// process runs: call `notifyRunningInstance` and end), or neither (the guard failed,
    /// a message is on standard error: end with an error code).
    KxApp(int& argc, char** argv, const QString& key);
    ~KxApp() override;

    /// The first-instance application object; null before start-up and in a second instance.
    static KxApp* instance();

    /// Second-instance hand-off: connects to the running instance's local server
    /// `serverName` (waiting up to 3000 ms), which brings its window to the front.
    void notifyRunningInstance(const QString& serverName);

    /// Writes every missing settings key with its default, in table order, and syncs.
    void loadDefaults();

    /// Main window geometry, kept in the settings "state/..." keys.
    void restoreGeometry();
    void fitToScreens();
    void saveGeometry();
    void fitRect(int x, int y, int width, int height);
    /// The union of all screens' available areas (screen 0 first).
    QRect virtualDesktop() const;

    /// The rectangle `fitRect` gives `wanted` on a desktop `desktop` whose primary screen's
    /// available area is `primary`: at least 640 x 480 and at most the desktop; kept in
    /// place when its top 50 pixel rows show at least 80 x 20 pixels on the desktop,
    /// otherwise centred on the primary screen.
    static QRect fittedRect(const QRect& wanted, const QRect& desktop, const QRect& primary);

    /// A new parentless row widget: a horizontal box layout with `alignment` and `margins`
    /// holding a label with `text` and fixed width `labelWidth` (object name `labelName`
    /// when not empty), followed by `field` when not null. The caller's layout takes it.
    static QWidget* createLabeledRow(const QString& text, QWidget* field, const QString& labelName,
                                     int labelWidth, const QMargins& margins,
                                     Qt::Alignment alignment);

    /// Where the single-instance segment and local server named `name` live: in the user's
    /// runtime folder (XDG_RUNTIME_DIR, private to the user), so that each user of a
    /// machine has their own instance; the bare name when there is no such folder.
    static QString instanceAddress(const QString& name);

    /// Qt's code for the program's `language` setting ("vn" is Qt's "vi"), whose "qtbase_"
    /// catalogue translates Qt's standard buttons; empty for a language the program lacks.
    static QString qtLanguageFor(const QString& language);

    /// The trace level `startTrace` uses for the stored `trace/level` value: below 1
    /// (also an unreadable value) gives 4.
    static int traceLevelFor(const QVariant& stored);

    QLocalServer* localServer = nullptr;
    QSettings* settings = nullptr;
    QSharedMemory* sharedMemory = nullptr;
    QTranslator* translator = nullptr;
    MainWindow* mainWindow = nullptr;
    KxManager* manager = nullptr;
    ContactStore* contacts = nullptr;
    RecentStore* recents = nullptr;
    bool alreadyRunning = false;
    double scaleFactor = 1.0;

public slots:
    /// Places a call to `dest` on the GUI thread (retries and redirections); does nothing
    /// when `dest` is empty or there is no call manager.
    void DialForward(QString dest);
    /// Starts the engine trace from the `trace/...` settings.
    void startTrace();

private:
    bool takeInstanceSegment(const QString& key);
    bool runningInstanceAnswers(const QString& key);
    /// Makes the segment under a new key (the key file replaced, so another inode) when
    /// the key names a segment this user may not use; false when none could be made.
    bool freshSegmentKey();
    void startUp(const QString& key);
    void installTranslations();

    static KxApp* self;
};
