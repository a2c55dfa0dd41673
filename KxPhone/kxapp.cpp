#include "KxPhone/kxapp.h"

#include <iostream>

#include <fcntl.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocalServer>
#include <QLocalSocket>
#include <QScreen>
#include <QSettings>
#include <QSharedMemory>
#include <QStandardPaths>
#include <QStyleFactory>
#include <QThread>
#include <QTimer>

#include "KxPhone/kxdefaults.h"
#include "KxPhone/kxmanager.h"
#include "KxPhone/platform/autostart.h"
#include "storage/contactstore.h"
#include "storage/recentstore.h"
#include "ui/language.h"
#include "ui/mainwindow.h"
#include "ui/videowidget.h"
#include "voip/base/trace.h"

KxApp* KxApp::self = nullptr;

namespace {

// How long a start that found the segment waits for the owner's local server: long
// enough for an instance that is still starting up to begin listening.
constexpr int serverProbeMs = 2000;

void printLine(const QString& text)
{
    std::cout << text.toStdString() << std::endl;
}

/// What the call manager works with: the application's stores, the window listening to
/// it and the window's pictures as its output.
KxManager::Context managerContext(KxApp& app)
{
    KxManager::Context context;
    context.settings = app.settings;
    context.contacts = app.contacts;
    context.recents = app.recents;
    context.forwardTarget = &app;
    MainWindow* window = app.mainWindow;
    context.listen = [window](const KxManagerSignals& events) { window->follow(events); };
    // Qt draws the pictures, by the GPU where it can (else by its own painting), in every
    // session.
    printLine("Video drawn by Qt on the " + QGuiApplication::platformName() + " platform");
    context.videoOutput = [window](unsigned, unsigned) {
        return window->videoWidget()->showPictures();
    };
    return context;
}

} // namespace

KxApp::KxApp(int& argc, char** argv, const QString& key)
    : QApplication(argc, argv)
{
    // Boxes and dialogs without a title of their own are the product's, not "kxphone".
    setApplicationDisplayName("Kestrovia");
    if (self) {
        std::cerr << "Kestrovia is already running!" << std::endl;
        return;
    }
    sharedMemory = new QSharedMemory();
    // A native key, so that the segment carries no System V lock semaphore (nothing here
    // locks it) and lives under the user's own runtime folder.
    sharedMemory->setNativeKey(instanceAddress(key) + ".instance");
    if (!takeInstanceSegment(key))
        return;
    self = this;
    startUp(key);
}

KxApp::~KxApp()
{
    // What start-up made goes in the reverse order.  Each pointer is cleared before its
    // object goes, so that whatever still asks the application (a widget torn down after
    // the manager) finds nothing rather than a dead object.
    auto destroy = [](auto*& object) {
        auto* gone = object;
        object = nullptr;
        delete gone;
    };
    if (manager) {
        // The display's loop stops first; the calls end within 2 s, and the manager
        // unregisters from its gatekeeper.
        manager->stopVideo();
        manager->shutDown(std::chrono::seconds(2));
    }
    destroy(manager);
    voip::Trace::close();
    if (localServer)
        localServer->close();
    destroy(localServer);
    destroy(mainWindow);
    destroy(recents);
    destroy(contacts);
    destroy(settings); // writes what is not on disk yet
    // On Unix the segment outlives the process unless it is released, and every later start
    // would first have to probe for a dead instance.
    destroy(sharedMemory);
}

QString KxApp::instanceAddress(const QString& name)
{
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime.isEmpty() ? name : runtime + "/" + name;
}

KxApp* KxApp::instance()
{
    return self;
}

bool KxApp::takeInstanceSegment(const QString& key)
{
    alreadyRunning = false;
    if (!sharedMemory->attach(QSharedMemory::ReadWrite)) {
        if (sharedMemory->create(8, QSharedMemory::ReadWrite))
            return true;
        // The segment's key comes from its file's inode: a file made afresh (a new runtime
        // folder) can name a segment that an instance killed elsewhere left behind.  With the
        // file in place now, attach to it (by a new handle: a failed create leaves the old
        // one unusable) and see whether anyone answers.
        const bool taken = sharedMemory->error() == QSharedMemory::AlreadyExists;
        const QString nativeKey = sharedMemory->nativeKey();
        delete sharedMemory;
        sharedMemory = new QSharedMemory();
        sharedMemory->setNativeKey(nativeKey);
        if (!taken) {
            std::cerr << "Failed to create shared memory" << std::endl;
            return false;
        }
        if (!sharedMemory->attach(QSharedMemory::ReadWrite)) {
            // Not ours to attach: another user's, left by a crash. Ours can always be
            // attached, so no instance of ours uses this key: take a key of our own.
            if (freshSegmentKey())
                return true;
            std::cerr << "Failed to create shared memory" << std::endl;
            return false;
        }
    }
    if (runningInstanceAnswers(key)) {
        alreadyRunning = true;
        return false;
    }
    // Nobody answers: the segment was left by a process that ended without detaching (a
    // crash). Detaching the last attachment removes it, so it can be made afresh.
    sharedMemory->detach();
    if (sharedMemory->create(8, QSharedMemory::ReadWrite))
        return true;
    // Still there: a live process holds it (e.g. one still starting up).
    if (sharedMemory->attach(QSharedMemory::ReadWrite)) {
        alreadyRunning = true;
        return false;
    }
    std::cerr << "Failed to create shared memory" << std::endl;
    return false;
}

bool KxApp::freshSegmentKey()
{
    const QString path = sharedMemory->nativeKey();
    const QByteArray encoded = QFile::encodeName(path);
    const QByteArray fresh = encoded + ".new";
    for (int attempt = 0; attempt < 4; ++attempt) {
        // A file made beside the key file and renamed over it has another inode, so the
        // key made from it is another one.
        const int fd = ::open(fresh.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0)
            return false;
        ::close(fd);
        if (::rename(fresh.constData(), encoded.constData()) != 0) {
            ::unlink(fresh.constData());
            return false;
        }
        delete sharedMemory;
        sharedMemory = new QSharedMemory();
        sharedMemory->setNativeKey(path);
        if (sharedMemory->create(8, QSharedMemory::ReadWrite))
            return true;
        if (sharedMemory->error() != QSharedMemory::AlreadyExists)
            return false;
    }
    return false;
}

bool KxApp::runningInstanceAnswers(const QString& key)
{
    const QDeadlineTimer deadline(serverProbeMs);
    do {
        QLocalSocket socket;
        socket.connectToServer(instanceAddress(key), QIODevice::WriteOnly);
        if (socket.waitForConnected(int(qMin<qint64>(deadline.remainingTime(), 500)))) {
            socket.disconnectFromServer();
            return true;
        }
        QThread::msleep(100);
    } while (!deadline.hasExpired());
    return false;
}

void KxApp::startUp(const QString& key)
{
    printLine("Starting Kestrovia");

    QFile styleSheet(":/css/main.css");
    if (styleSheet.open(QIODevice::ReadOnly | QIODevice::Text)) {
        setStyle(QStyleFactory::create("Fusion"));
        setStyleSheet(QString::fromUtf8(styleSheet.readAll()));
        styleSheet.close();
    }

    // The window the outside screen-capture filter follows; a value from an earlier run
    // would make it follow a window that no longer exists.
    {
        QSettings captureFilter(QSettings::IniFormat, QSettings::UserScope,
                                "screen-capture-recorder", "screen-capture-recorder");
        if (captureFilter.contains("hwnd_to_track"))
            captureFilter.remove("hwnd_to_track");
    }

    const QScreen* primary = QGuiApplication::primaryScreen();
    scaleFactor = primary ? primary->logicalDotsPerInch() / 96.0 : 1.0;
    printLine("Scale factor: " + QString::number(scaleFactor));

    settings = new QSettings(QSettings::IniFormat, QSettings::UserScope, "Kestrovia", "Kestrovia");
    loadDefaults();
    // Start at log-on follows the setting from the first start, not from its first save.
    if (const QString error =
            kxautostart::follow(kxdefaults::read(*settings, kxdefaults::AutoStart),
                                QCoreApplication::applicationFilePath());
        !error.isEmpty())
        printLine("Cannot write the start-at-log-on entry: " + error);

    installTranslations();

    contacts = new ContactStore();
    recents = new RecentStore();

    mainWindow = new MainWindow();
    mainWindow->connectEngine();
    restoreGeometry();
    if (!mainWindow->isVisible())
        mainWindow->show();

    localServer = new QLocalServer();
    // We hold the segment, so a socket file of that name is left over from a crash and
    // would make listen() fail.
    QLocalServer::removeServer(instanceAddress(key));
    localServer->listen(instanceAddress(key));
    connect(localServer, &QLocalServer::newConnection, mainWindow, &MainWindow::onShowWindow);
    // The connection itself is the message; closing it keeps the pending queue from
    // filling up, after which the server would stop announcing later starts.
    connect(localServer, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = localServer->nextPendingConnection()) {
            socket->abort();
            socket->deleteLater();
        }
    });

    manager = new KxManager(managerContext(*this));

    fitToScreens();

    QTimer::singleShot(0, this, &KxApp::startTrace);
}

void KxApp::installTranslations()
{
    // As stored: a language the program does not know means no catalogue, not the default.
    translator = kxlanguage::apply(settings->value(kxdefaults::Language.name).toString());
}

QString KxApp::qtLanguageFor(const QString& language)
{
    return kxlanguage::qtLanguageFor(language);
}

void KxApp::notifyRunningInstance(const QString& serverName)
{
    if (!alreadyRunning)
        return;
    QLocalSocket socket;
    socket.connectToServer(instanceAddress(serverName), QIODevice::WriteOnly);
    if (socket.waitForConnected(3000))
        socket.disconnectFromServer();
}

void KxApp::loadDefaults()
{
    kxdefaults::writeMissing(*settings);
}

void KxApp::DialForward(QString dest)
{
    // The call manager places the call once it exists; until then there is nothing to do.
    if (!manager || dest.isEmpty())
        return;
    printLine("DialForward " + dest);
    manager->placeCall(dest, false);
}

int KxApp::traceLevelFor(const QVariant& stored)
{
    const int level = stored.toInt();
    return level < 1 ? 4 : level;
}

void KxApp::startTrace()
{
    if (!kxdefaults::read(*settings, kxdefaults::TraceEnable))
        return;
    const int level = traceLevelFor(settings->value(kxdefaults::TraceLevel.name));
    const QString file = QDir::tempPath() + "/kestrovia_trace.log";
    const auto status =
        voip::Trace::initialise(level, QFile::encodeName(file).toStdString(),
                                voip::TraceDateAndTime | voip::TraceThread |
                                    voip::TraceFileAndLine | voip::TraceRotateDaily);
    if (!status) {
        std::cerr << "Trace: " << status.error << std::endl;
        return;
    }
    VOIP_TRACE(1, "PTRACE enabled level=" << level << " file=" << file.toStdString());
}

QWidget* KxApp::createLabeledRow(const QString& text, QWidget* field, const QString& labelName,
                                 int labelWidth, const QMargins& margins, Qt::Alignment alignment)
{
    auto* row = new QWidget();
    auto* layout = new QHBoxLayout(row);
    layout->setAlignment(alignment);
    layout->setContentsMargins(margins);
    auto* label = new QLabel(text);
    label->setFixedWidth(labelWidth);
    // A label longer than the column (a longer language) goes on two lines, not cut.
    if (label->fontMetrics().horizontalAdvance(text) > labelWidth)
        label->setWordWrap(true);
    if (!labelName.isEmpty())
        label->setObjectName(labelName);
    layout->addWidget(label);
    if (field)
        layout->addWidget(field);
    return row;
}

QRect KxApp::virtualDesktop() const
{
    QRect desktop;
    for (const QScreen* screen : QGuiApplication::screens())
        desktop = desktop.united(screen->availableGeometry());
    return desktop;
}

QRect KxApp::fittedRect(const QRect& wanted, const QRect& desktop, const QRect& primary)
{
    int x = wanted.x();
    int y = wanted.y();
    int width = qMax(wanted.width(), 640);
    int height = qMax(wanted.height(), 480);
    if (desktop.width() >= 1)
        width = qMin(width, desktop.width());
    if (desktop.height() >= 1)
        height = qMin(height, desktop.height());

    const QRect titleStrip = QRect(x, y, width, 50).intersected(desktop);
    if (titleStrip.width() >= 80 && titleStrip.height() >= 20)
        return QRect(x, y, width, height);
    if (primary.isEmpty())
        return QRect(x, y, width, height);

    width = qMin(width, primary.width());
    height = qMin(height, primary.height());
    x = primary.x() + (primary.width() - width) / 2;
    y = primary.y() + (primary.height() - height) / 2;
    x = qMax(x, primary.left());
    y = qMax(y, primary.top());
    x = qMin(x, primary.x() + primary.width() - width);
    y = qMin(y, primary.y() + primary.height() - height);
    return QRect(x, y, width, height);
}

void KxApp::fitRect(int x, int y, int width, int height)
{
    const QScreen* primary = QGuiApplication::primaryScreen();
    const QRect fitted = fittedRect(QRect(x, y, width, height), virtualDesktop(),
                                    primary ? primary->availableGeometry() : QRect());
    mainWindow->move(fitted.topLeft());
    mainWindow->resize(fitted.size());
}

void KxApp::restoreGeometry()
{
    const int height = kxdefaults::read(*settings, kxdefaults::StateHeight);
    const int width = kxdefaults::read(*settings, kxdefaults::StateWidth);
    const int y = kxdefaults::read(*settings, kxdefaults::StateY);
    const int x = kxdefaults::read(*settings, kxdefaults::StateX);
    fitRect(x, y, width, height);
    if (kxdefaults::read(*settings, kxdefaults::StateMaximized))
        mainWindow->showMaximized();
}

void KxApp::fitToScreens()
{
    if (mainWindow->isMaximized()) {
        const QRect titleStrip = QRect(mainWindow->x(), mainWindow->y(), mainWindow->width(), 50)
                                     .intersected(virtualDesktop());
        if (titleStrip.width() >= 80 && titleStrip.height() >= 20)
            return;
        mainWindow->showNormal();
        const QRect normal = mainWindow->normalGeometry();
        fitRect(normal.x(), normal.y(), normal.width(), normal.height());
        mainWindow->showMaximized();
        return;
    }
    fitRect(mainWindow->x(), mainWindow->y(), mainWindow->width(), mainWindow->height());
}

void KxApp::saveGeometry()
{
    if (!mainWindow || !settings || !mainWindow->isVisible() || mainWindow->isMinimized())
        return;
    const bool maximized = mainWindow->isMaximized();
    kxdefaults::write(*settings, kxdefaults::StateMaximized, maximized);
    if (!maximized) {
        kxdefaults::write(*settings, kxdefaults::StateX, mainWindow->x());
        kxdefaults::write(*settings, kxdefaults::StateY, mainWindow->y());
        kxdefaults::write(*settings, kxdefaults::StateWidth, mainWindow->width());
        kxdefaults::write(*settings, kxdefaults::StateHeight, mainWindow->height());
    }
    settings->sync();
}
