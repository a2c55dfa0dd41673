#include "ui/mainwindow.h"

#include <iostream>
#include <utility>

#include <QAction>
#include <QApplication>
#include <QBrush>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDockWidget>
#include <QEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QPalette>
#include <QPixmap>
#include <QSettings>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include "KxPhone/kxapp.h"
#include "KxPhone/kxdefaults.h"
#include "KxPhone/kxmanager.h"
#include "ui/callbutton.h"
#include "ui/notifier.h"
#include "ui/videowidget.h"
#include "ui/widgetcam.h"
#include "ui/widgetcall.h"
#include "ui/widgetcalling.h"
#include "ui/widgetcontacts.h"
#include "ui/widgethistory.h"
#include "ui/widgethome.h"
#include "ui/widgetinfo.h"
#include "ui/widgetsettings.h"

DockButton::DockButton(const QIcon& icon, const QString& text, double scaleFactor, QWidget* parent)
    : QPushButton(icon, text, parent)
{
    setFlat(true);
    const int side = int(24 * scaleFactor);
    setIconSize(QSize(side, side));
    setObjectName("dockButton");
}

bool DockButton::event(QEvent* event)
{
    if (event->type() == QEvent::Enter)
        setFlat(false);
    else if (event->type() == QEvent::Leave)
        setFlat(true);
    return QPushButton::event(event);
}

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
{
    setObjectName("MainWindow");
    setWindowTitle("Kestrovia");

    const QPixmap background(":/img/bg.png");
    if (!background.isNull()) {
        QPalette windowPalette = palette();
        windowPalette.setBrush(QPalette::Window, QBrush(background));
        setPalette(windowPalette);
    }

    // The display's output window sits in the middle, once the display runs.
    video_ = new VideoWidget(context_, this);
    videoFrame_ = video_;
    videoFrame_->setObjectName("videoFrame");
    videoFrame_->installEventFilter(this);
    setCentralWidget(videoFrame_);
    notifier_ = new Notifier(this);
}

MainWindow::~MainWindow() = default;

void MainWindow::connectEngine()
{
    buildHomeDock();
    buildCallDock();
    if (QSystemTrayIcon::isSystemTrayAvailable())
        buildTray();

    connect(this, &MainWindow::signalShowMain, this, &MainWindow::onShowMain);
    connect(this, &MainWindow::signalShowCall, this, &MainWindow::onShowCall);
    connect(this, &MainWindow::signalShowWindow, this, &MainWindow::onShowWindow);
    connect(this, &MainWindow::signalUpdateCall, this, &MainWindow::onUpdateCall);
    connect(this, &MainWindow::signalIncomingCall, this, &MainWindow::onIncomingCall);

    incomingBox_.setIconPixmap(
        QPixmap(":/img/call.png").scaled(32, 32, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    answerButton_ = incomingBox_.addButton(QString(), QMessageBox::YesRole);
    declineButton_ = incomingBox_.addButton(QString(), QMessageBox::NoRole);
    incomingBox_.setDefaultButton(answerButton_);
    setTexts();
}

void MainWindow::follow(const KxManagerSignals& events)
{
    connect(&events, &KxManagerSignals::showMain, this, &MainWindow::signalShowMain);
    connect(&events, &KxManagerSignals::showCall, this, &MainWindow::signalShowCall);
    connect(&events, &KxManagerSignals::showWindow, this, &MainWindow::signalShowWindow);
    connect(&events, &KxManagerSignals::updateCall, this, &MainWindow::signalUpdateCall);
    connect(&events, &KxManagerSignals::incomingCall, this, &MainWindow::signalIncomingCall);
    connect(&events, &KxManagerSignals::callArriving, this, [this] {
        if (!isVisible())
            emit signalShowWindow();
    });
    connect(&events, &KxManagerSignals::calling, this, &MainWindow::showCalling);
    connect(&events, &KxManagerSignals::ringing, this, &MainWindow::showRinging);
    connect(&events, &KxManagerSignals::callEnded, this, &MainWindow::showCallEnded);
    connect(&events, &KxManagerSignals::missedCall, this, &MainWindow::showMissedCall);
    connect(&events, &KxManagerSignals::layoutShown, this, &MainWindow::announceLayout);
    // The display may have started before the window was laid out: it hears the view's
    // size now.
    connect(&events, &KxManagerSignals::videoOutputReady, video_, &VideoWidget::refit);
    connect(&events, &KxManagerSignals::notice, this, &MainWindow::showNotice);
}

void MainWindow::buildHomeDock()
{
    const double scale = context_.scaleFactor();
    homeDock_ = new QDockWidget(this);
    homeDock_->setObjectName("homeDock");
    homeDock_->setFeatures(QDockWidget::DockWidgetMovable);
    homeDock_->setAllowedAreas(Qt::LeftDockWidgetArea | Qt::RightDockWidgetArea);

    auto* content = new QWidget();
    auto* layout = new QVBoxLayout(content);
    tabs_ = new QTabWidget();
    tabs_->setObjectName("mainTab");
    tabs_->tabBar()->setObjectName("mainTabBar");
    tabs_->setIconSize(QSize(int(24 * scale), int(24 * scale)));
    tabs_->setStyleSheet("QTabBar::tab:disabled{width: 22px;color: transparent;background: "
                         "transparent;}");
    home_ = new WidgetHome(context_);
    contacts_ = new WidgetContacts(context_);
    history_ = new WidgetHistory(context_);
    tabs_->addTab(home_, QIcon(":/img/home.png"), QString());
    tabs_->addTab(new QWidget(), QString());
    tabs_->addTab(contacts_, QIcon(":/img/contacts.png"), QString());
    tabs_->addTab(new QWidget(), QString());
    tabs_->addTab(history_, QIcon(":/img/history.png"), QString());
    tabs_->setTabEnabled(1, false);
    tabs_->setTabEnabled(3, false);
    connect(tabs_, &QTabWidget::currentChanged, this, &MainWindow::onTab);
    layout->addWidget(tabs_);
    calling_ = new WidgetCalling(context_);
    layout->addWidget(calling_);

    // A call picked on the contacts or history page that cannot be placed is explained
    // where the user types addresses.
    const auto showRefusal = [this](const QString& reason) {
        tabs_->setCurrentIndex(0);
        home_->showMessage(reason);
    };
    connect(contacts_, &ListPage::callRefused, this, showRefusal);
    connect(history_, &ListPage::callRefused, this, showRefusal);
    connect(contacts_, &WidgetContacts::fileProblem, this, &MainWindow::showProblem);

    auto* buttons = new QWidget();
    auto* row = new QHBoxLayout(buttons);
    row->setSpacing(20);
    row->setContentsMargins(0, 0, 0, 6);
    settingsButton_ = new DockButton(QIcon(":/img/settings.png"), QString(), scale);
    infoButton_ = new DockButton(QIcon(":/img/info.png"), QString(), scale);
    cameraButton_ = new DockButton(QIcon(":/img/webcam.png"), QString(), scale);
    connect(settingsButton_, &QPushButton::clicked, this, &MainWindow::onSettings);
    connect(infoButton_, &QPushButton::clicked, this, &MainWindow::onInfo);
    connect(cameraButton_, &QPushButton::clicked, this, &MainWindow::onCam);
    cam_ = std::make_unique<WidgetCam>(context_, *this, nullptr, Qt::Popup);
    row->addWidget(settingsButton_);
    row->addWidget(infoButton_);
    row->addWidget(cameraButton_);
    layout->addWidget(buttons);

    homeDock_->setWidget(content);
    addDockWidget(Qt::LeftDockWidgetArea, homeDock_);
}

void MainWindow::buildCallDock()
{
    callDock_ = new QDockWidget(this);
    callDock_->setObjectName("callDock");
    callDock_->setFeatures(QDockWidget::DockWidgetMovable |
                           QDockWidget::DockWidgetVerticalTitleBar);
    callDock_->setAllowedAreas(Qt::TopDockWidgetArea | Qt::BottomDockWidgetArea);
    callDock_->setTitleBarWidget(new QWidget());
    callToolbar_ = new WidgetCall(context_, *this);
    callDock_->setWidget(callToolbar_);
    const bool bottom = kxdefaults::read(context_.settings(), kxdefaults::CallLocation) == 1;
    addDockWidget(bottom ? Qt::BottomDockWidgetArea : Qt::TopDockWidgetArea, callDock_);
    callDock_->hide();
    callDock_->installEventFilter(this);
    autoHideTimer_.setInterval(5000);
    connect(&autoHideTimer_, &QTimer::timeout, this, &MainWindow::onTimer);
    pointerWatch_.setInterval(150);
    connect(&pointerWatch_, &QTimer::timeout, this, &MainWindow::watchPointer);
}

void MainWindow::showProblem(const QString& text)
{
    auto* box = new QMessageBox(QMessageBox::Warning, "Kestrovia", text, QMessageBox::Ok, this);
    box->setObjectName("problemBox");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void MainWindow::setAutoHide(bool on)
{
    videoFrame_->setMouseTracking(on);
    if (on)
        autoHideTimer_.start();
    else
        autoHideTimer_.stop();
    pointerWatch_.stop();
    callDock_->show();
}

void MainWindow::watchPointer()
{
    if (!callDock_->isHidden() || !homeDock_->isHidden()) {
        pointerWatch_.stop();
        return;
    }
    const QPoint pointer = QCursor::pos();
    if (pointer == lastPointer_)
        return;
    lastPointer_ = pointer;
    if (!frameGeometry().contains(pointer))
        return;
    pointerWatch_.stop();
    callDock_->show();
    if (autoHideTimer_.isActive())
        autoHideTimer_.start();
}

void MainWindow::placeCallDock(int location)
{
    removeDockWidget(callDock_);
    addDockWidget(location == 1 ? Qt::BottomDockWidgetArea : Qt::TopDockWidgetArea, callDock_);
    callDock_->show();
}

void MainWindow::applyLayout()
{
    KxManager* manager = context_.manager();
    announceLayout(manager ? manager->applyLayout()
                           : kxdefaults::read(context_.settings(), kxdefaults::CallLayout));
}

void MainWindow::announceLayout(int layout)
{
    // The notice belongs to the toolbar, which shows during calls only.
    if (callToolbar_ && callDock_ && !callDock_->isHidden())
        callToolbar_->showLayoutNotice(layout);
}

bool MainWindow::videoInputOpen() const
{
    KxManager* manager = context_.manager();
    return manager && manager->inputOpen();
}

void MainWindow::showNotice(const QString& text)
{
    if (callToolbar_ && homeDock_->isHidden()) {
        // In the call view: a toolbar hidden by auto-hide comes back to carry it.
        if (callDock_->isHidden()) {
            callDock_->show();
            if (autoHideTimer_.isActive())
                autoHideTimer_.start();
        }
        emit callToolbar_->signalShowFade(text);
        return;
    }
    KxManager* manager = context_.manager();
    if (callToolbar_ && manager && manager->inCall()) {
        // The call view is about to open (the engine tells before the window has
        // switched): the notice waits for it rather than going to a page being left.
        pendingNotice_ = text;
        return;
    }
    if (home_)
        home_->showMessage(text);
}

void MainWindow::showCalling(const QString& who)
{
    if (!calling_)
        return;
    home_->showMessage(QString());
    calling_->showCalling(who);
}

void MainWindow::showRinging()
{
    if (calling_ && calling_->isVisibleTo(this))
        calling_->showRinging();
}

void MainWindow::showCallEnded(const QString& text)
{
    if (calling_)
        calling_->showOutcome(text);
}

void MainWindow::showMissedCall(const QString& text)
{
    // During a call the toolbar says it; otherwise the place that shows calls.
    if (callDock_ && !callDock_->isHidden())
        showNotice(text);
    else
        showCallEnded(text);
    if (isHidden() || isMinimized() || !isActiveWindow())
        notifier_->notify("Kestrovia", text, 10000);
}

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (KxManager* manager = context_.manager())
        manager->setWindowVisible(true);
}

void MainWindow::hideEvent(QHideEvent* event)
{
    QMainWindow::hideEvent(event);
    if (KxManager* manager = context_.manager())
        manager->setWindowVisible(false);
}

void MainWindow::onTimer()
{
    if (!kxdefaults::read(context_.settings(), kxdefaults::CallAutoHide)) {
        videoFrame_->setMouseTracking(false);
        autoHideTimer_.stop();
        pointerWatch_.stop();
        return;
    }
    const QRect toolbar(callToolbar_->mapToGlobal(QPoint(0, 0)), callToolbar_->size());
    if (!toolbar.contains(QCursor::pos()) && !callDock_->isHidden()) {
        callDock_->hide();
        // The picture is another program's window inside ours (it takes the pointer's
        // motion), so the pointer itself is watched for the move that brings the toolbar
        // back.
        lastPointer_ = QCursor::pos();
        pointerWatch_.start();
    }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    // The toolbar hidden in the call view leaves its place to nothing: the picture stays
    // where it was rather than growing and shrinking as the toolbar comes and goes.
    if (watched == callDock_ && video_ &&
        (event->type() == QEvent::Hide || event->type() == QEvent::Show)) {
        video_->holdPlace(event->type() == QEvent::Hide && homeDock_->isHidden());
    }
    // Moving the mouse over the video during a call brings the hidden toolbar back and
    // restarts the auto-hide timer.
    if (watched == videoFrame_ && event->type() == QEvent::MouseMove && callDock_ &&
        homeDock_->isHidden()) {
        if (callDock_->isHidden())
            callDock_->show();
        if (autoHideTimer_.isActive())
            autoHideTimer_.start();
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::onSettings()
{
    if (!settings_) {
        settings_ = std::make_unique<WidgetSettings>(context_);
        // The dialog the language was just chosen in opens again at once, in it, on the
        // same page (after the signal's sender is done).
        connect(settings_.get(), &WidgetSettings::languageApplied, this, [this] {
            QTimer::singleShot(0, this, [this] {
                if (!settings_)
                    return;
                const int page = settings_->tabs()->currentIndex();
                const bool open = settings_->isVisible();
                // Deleted once back in the event loop: the old dialog may still be inside
                // one of its own slots (Apply processes events).
                WidgetSettings* old = settings_.release();
                old->hide();
                old->deleteLater();
                if (!open)
                    return;
                onSettings();
                settings_->tabs()->setCurrentIndex(page);
            });
        });
    }
    settings_->open();
}

void MainWindow::onInfo()
{
    if (!info_)
        info_ =
            std::make_unique<WidgetInfo>(nullptr, Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    if (isHidden())
        show();
    info_->openModal();
}

void MainWindow::onCam()
{
    cam_->UpdateData();
    cam_->show();
    cam_->adjustSize();
    // Left edge at the camera button's, bottom edge 6 pixels above its top.
    const QPoint corner = cameraButton_->mapToGlobal(QPoint(0, 0));
    cam_->move(corner.x(), corner.y() - cam_->height() - 6);
}

void MainWindow::onShowMain()
{
    // The calling state ends with the call; what comes after it is the call's outcome.
    if (calling_ && !calling_->outcomeLabel()->isVisibleTo(calling_))
        calling_->hide();
    pendingNotice_.clear();
    // "A call is in progress", said when Call was pressed during one, is over with it.
    if (home_ && home_->messageLabel()->text() ==
                     QCoreApplication::translate("KxManager", "call-in-progress"))
        home_->showMessage(QString());
    callDock_->hide();
    video_->holdPlace(false);
    // The call's notices (its layout, its sound) go with it.
    if (callToolbar_)
        callToolbar_->fade()->close();
    homeDock_->show();
    if (incomingBoxOpen_)
        incomingBox_.done(QMessageBox::Cancel);
    emit signalUpdateCall();
    videoFrame_->setMouseTracking(false);
    autoHideTimer_.stop();
    pointerWatch_.stop();
    // The list shows the call that has just ended.
    if (tabs_->currentIndex() == 4)
        history_->UpdateData();
}

void MainWindow::onShowCall()
{
    if (calling_)
        calling_->hide();
    homeDock_->hide();
    callDock_->show();
    emit signalUpdateCall();
    if (!pendingNotice_.isEmpty())
        emit callToolbar_->signalShowFade(std::exchange(pendingNotice_, QString()));
    if (kxdefaults::read(context_.settings(), kxdefaults::CallAutoHide)) {
        std::cout << "Auto Hide is on!" << std::endl;
        videoFrame_->setMouseTracking(true);
        autoHideTimer_.start();
    } else {
        videoFrame_->setMouseTracking(false);
        autoHideTimer_.stop();
        pointerWatch_.stop();
    }
}

void MainWindow::onUpdateCall()
{
    callToolbar_->UpdateData();
    if (trayHangUp_) {
        KxManager* manager = context_.manager();
        trayHangUp_->setEnabled(manager && manager->currentCall());
    }
}

void MainWindow::onIncomingCall(QString name, bool clear)
{
    KxManager* manager = context_.manager();
    if (!manager || incomingBoxOpen_)
        return;
    incomingBox_.setInformativeText(tr("from") + ": " + name +
                                    (clear ? "\n" + tr("call-will-be-clear") : QString()));
    // The prompt shows over the window; a window in the tray or minimised is announced.
    if (isHidden() || isMinimized())
        notifier_->notify(tr("incoming-call"), tr("from") + ": " + name, 5000);
    incomingBoxOpen_ = true;
    incomingBox_.exec();
    incomingBoxOpen_ = false;
    if (incomingBox_.clickedButton() == answerButton_)
        manager->acceptCall();
    else
        manager->rejectCall();
}

void MainWindow::onTab()
{
    if (tabs_->currentIndex() == 2)
        contacts_->UpdateData();
    else if (tabs_->currentIndex() == 4)
        history_->UpdateData();
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    // The pages beside the picture grow with the window: a quarter of it, at least their
    // own width.
    if (homeDock_ && !homeDock_->isHidden())
        resizeDocks({homeDock_}, {std::max(homeDock_->minimumSizeHint().width(), width() / 4)},
                    Qt::Horizontal);
}

void MainWindow::moveEvent(QMoveEvent* event)
{
    QMainWindow::moveEvent(event);
    if (KxApp* app = KxApp::instance(); app && app->mainWindow == this)
        app->saveGeometry();
}

void MainWindow::setTexts()
{
    if (!homeDock_)
        return; // not built yet (connectEngine)
    incomingBox_.setText(tr("incoming-call"));
    answerButton_->setText(tr("answer"));
    declineButton_->setText(tr("decline"));
    settingsButton_->setToolTip(tr("settings"));
    infoButton_->setToolTip(tr("info"));
    cameraButton_->setToolTip(tr("display-camera"));
    tabs_->setTabToolTip(0, QCoreApplication::translate("WidgetHome", "dial-pad"));
    tabs_->setTabToolTip(2, QCoreApplication::translate("WidgetContacts", "contacts"));
    tabs_->setTabToolTip(4, QCoreApplication::translate("WidgetHistory", "history"));
    if (tray_) {
        trayShow_->setText(tr("show"));
        trayHangUp_->setText(QCoreApplication::translate("WidgetCall", "end-call"));
        traySettings_->setText(tr("settings"));
        trayInfo_->setText(tr("info"));
        trayExit_->setText(tr("exit"));
    }
}

void MainWindow::retranslate()
{
    setTexts();
    if (!homeDock_)
        return;
    // Windows of their own are made again in the new language when next opened (the
    // settings dialog the language was chosen in, at once: see onSettings).
    if (info_ && !info_->isVisible())
        info_.reset();
    if (!cam_->isVisible())
        cam_ = std::make_unique<WidgetCam>(context_, *this, nullptr, Qt::Popup);
    if (settings_ && !settings_->isVisible())
        settings_.reset();
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        retranslate();
    if (event->type() != QEvent::WindowStateChange)
        return;
    if (callToolbar_)
        callToolbar_->windowStateChanged();
    if (KxApp* app = KxApp::instance(); app && app->mainWindow == this)
        app->saveGeometry();
}
