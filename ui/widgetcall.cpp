#include "ui/widgetcall.h"

#include <iostream>

#include <QAction>
#include <QCoreApplication>
#include <QDockWidget>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QSettings>
#include <QSlider>
#include <QStyleOption>
#include <QTimer>

#include "KxPhone/kxdefaults.h"
#include "KxPhone/kxmanager.h"
#include "ui/callbutton.h"
#include "ui/elidedlabel.h"
#include "ui/mainwindow.h"
#include "ui/uicontext.h"
#include "ui/widgetcam.h"
#include "ui/widgetdialpad.h"
#include "ui/widgetfecc.h"
#include "ui/widgetsettingscall.h"
#include "ui/widgetstatistics.h"
#include "voip/core/call.h"
#include "voip/device/soundchannel.h"

namespace {

QString withShortcut(const QString& text, const QAction* action)
{
    return text + " [" + action->shortcut().toString(QKeySequence::NativeText) + "]";
}

} // namespace

WidgetCall::WidgetCall(const UiContext& context, MainWindow& window, QWidget* parent)
    : QWidget(parent)
    , context_(context)
    , window_(window)
{
    const double scale = context_.scaleFactor();
    setObjectName("widgetCall");
    setFixedHeight(int(32 * scale));
    // The toolbar's tool tips take its style too: light text, or they would be dark on dark.
    setStyleSheet("* { background: rgba(16,34,43,0.7); }"
                  "QToolTip { color: white; background: rgb(16,34,43);"
                  " border: 1px solid rgb(117,189,209); }");

    layoutAction_ = new QAction(this);
    layoutAction_->setShortcut(QKeySequence("Ctrl+1"));
    connect(layoutAction_, &QAction::triggered, this, &WidgetCall::onLayout);
    window_.addAction(layoutAction_);
    fullScreenAction_ = new QAction(this);
    // F11 everywhere, and whatever else the desktop binds to full screen.
    QList<QKeySequence> fullScreenKeys{QKeySequence(Qt::Key_F11)};
    for (const QKeySequence& key : QKeySequence::keyBindings(QKeySequence::FullScreen))
        if (!fullScreenKeys.contains(key))
            fullScreenKeys << key;
    fullScreenAction_->setShortcuts(fullScreenKeys);
    connect(fullScreenAction_, &QAction::triggered, this, &WidgetCall::onFullScreen);
    window_.addAction(fullScreenAction_);
    // Escape leaves full screen; it takes the key only while the window is full screen.
    leaveFullScreenAction_ = new QAction(this);
    leaveFullScreenAction_->setShortcut(QKeySequence(Qt::Key_Escape));
    leaveFullScreenAction_->setEnabled(false);
    connect(leaveFullScreenAction_, &QAction::triggered, this, [this] {
        if (window_.isFullScreen())
            onFullScreen();
    });
    window_.addAction(leaveFullScreenAction_);
    pipAction_ = new QAction(this);
    pipAction_->setShortcut(QKeySequence("Ctrl+2"));
    window_.addAction(pipAction_);

    auto* layout = new QHBoxLayout(this);
    layout->setSpacing(5);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setAlignment(Qt::AlignCenter);
    const auto button = [&](const char* icon, const char* hover, void (WidgetCall::*slot)()) {
        auto* b = new CallButton(icon, hover, scale);
        connect(b, &QPushButton::clicked, this, slot);
        layout->addWidget(b);
        return b;
    };
    const auto slider = [&](void (WidgetCall::*slot)(int)) {
        auto* s = new QSlider(Qt::Horizontal);
        s->setRange(0, 100);
        s->setFixedWidth(int(40 * scale));
        connect(s, &QSlider::valueChanged, this, slot);
        layout->addWidget(s);
        return s;
    };
    end_ = button(":/img/end.png", ":/img/end.png", &WidgetCall::onEndCall);
    camera_ = button(":/img/camera.png", ":/img/camera-hover.png", &WidgetCall::onCamera);
    microMute_ = button(":/img/micro.png", ":/img/micro-mute-hover.png", &WidgetCall::onMicroMute);
    microVolume_ = slider(&WidgetCall::onMicroVolume);
    speakerMute_ =
        button(":/img/speaker.png", ":/img/speaker-mute-hover.png", &WidgetCall::onSpeakerMute);
    speakerVolume_ = slider(&WidgetCall::onSpeakerVolume);
    microMute_->setEnabled(false);
    speakerMute_->setEnabled(false);

    security_ = new QLabel();
    security_->setObjectName("labelCallSecurity");
    security_->hide();
    layout->addWidget(security_);
    party_ = new ElidedLabel();
    party_->setObjectName("labelCallParty");
    party_->setMaximumWidth(int(220 * scale));
    layout->addWidget(party_);
    duration_ = new QLabel();
    duration_->setFixedWidth(120);
    duration_->setAlignment(Qt::AlignCenter);
    duration_->setObjectName("labelDuration");
    layout->addWidget(duration_);
    shareState_ = new ElidedLabel();
    shareState_->setObjectName("labelShareState");
    shareState_->setMaximumWidth(int(260 * scale));
    shareState_->hide();
    layout->addWidget(shareState_);
    soundState_ = new ElidedLabel();
    soundState_->setObjectName("labelSoundState");
    soundState_->setMaximumWidth(int(200 * scale));
    soundState_->hide();
    layout->addWidget(soundState_);

    settings_ =
        button(":/img/call-settings.png", ":/img/call-settings-hover.png", &WidgetCall::onSettings);
    fullScreen_ =
        button(":/img/fullscreen.png", ":/img/fullscreen-hover.png", &WidgetCall::onFullScreen);
    layout_ = button(":/img/layout.png", ":/img/layout-hover.png", &WidgetCall::onLayout);
    dialpad_ = button(":/img/dialpad.png", ":/img/dialpad-hover.png", &WidgetCall::onDialpad);
    fecc_ = button(":/img/fecc.png", ":/img/fecc-hover.png", &WidgetCall::onFecc);
    status_ = button(":/img/status.png", ":/img/status.png", &WidgetCall::onStatus);

    durationTimer_ = new QTimer(this);
    durationTimer_->setInterval(1000);
    connect(durationTimer_, &QTimer::timeout, this, &WidgetCall::onTimerDuration);

    fade_ = new FadeDialog(this);
    fade_->setObjectName("settingsCall");
    connect(this, &WidgetCall::signalShowFade, this, &WidgetCall::onShowFade);

    // The panel exists from the start: its shortcut works before it is first opened.
    makeSettingsPanel();
    setTexts();
}

void WidgetCall::makeSettingsPanel()
{
    delete settingsPanel_;
    settingsPanel_ = new WidgetSettingsCall(context_, window_, this, Qt::Popup);
    connect(pipAction_, &QAction::triggered, settingsPanel_, &WidgetSettingsCall::onPiPShortcut);
}

void WidgetCall::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        retranslate();
}

void WidgetCall::setTexts()
{
    layoutAction_->setText(tr("change-layout"));
    layoutAction_->setStatusTip(tr("change-layout-tip"));
    fullScreenAction_->setText(tr("full-screen"));
    fullScreenAction_->setStatusTip(tr("full-screen-tip"));
    pipAction_->setText(QCoreApplication::translate("WidgetSettingsCall", "change-pip"));
    pipAction_->setStatusTip(QCoreApplication::translate("WidgetSettingsCall", "change-pip-tip"));
    end_->setToolTip(tr("end-call"));
    camera_->setToolTip(tr("toggle-camera"));
    microMute_->setToolTip(tr("mute-micro"));
    microVolume_->setToolTip(tr("micro-volume"));
    speakerMute_->setToolTip(tr("mute-speaker"));
    speakerVolume_->setToolTip(tr("speaker-volume"));
    settings_->setToolTip(tr("settings"));
    fullScreen_->setToolTip(withShortcut(tr("full-screen"), fullScreenAction_));
    layout_->setToolTip(withShortcut(tr("toggle-layout"), layoutAction_));
    dialpad_->setToolTip(tr("dial-pad"));
    fecc_->setToolTip(tr("fecc"));
    status_->setToolTip(tr("call-status"));
}

void WidgetCall::retranslate()
{
    setTexts();
    // The popups are made again in the new language: now for the settings panel (its
    // shortcut must keep working), on their next opening for the others.  An open one
    // stays as it is until it closes.
    if (!settingsPanel_->isVisible())
        makeSettingsPanel();
    const auto renew = [](auto*& popup) {
        if (popup && !popup->isVisible()) {
            delete popup;
            popup = nullptr;
        }
    };
    renew(dialpadDialog_);
    renew(statisticsDialog_);
    renew(feccDialog_);
    KxManager* manager = context_.manager();
    if (manager && manager->currentCall())
        UpdateData();
}

void WidgetCall::windowStateChanged()
{
    leaveFullScreenAction_->setEnabled(window_.isFullScreen());
    if (window_.isFullScreen())
        fullScreen_->setIcons(":/img/restore.png", ":/img/restore-hover.png");
    else
        fullScreen_->setIcons(":/img/fullscreen.png", ":/img/fullscreen-hover.png");
}

void WidgetCall::paintEvent(QPaintEvent*)
{
    // Lets the style sheet paint the toolbar's background.
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}

void WidgetCall::UpdateData()
{
    std::cout << "Update Data for Call" << std::endl;
    windowStateChanged();
    if (window_.videoInputOpen())
        camera_->setIcons(":/img/camera.png", ":/img/camera-hover.png");
    else
        camera_->setIcons(":/img/camera-stop.png", ":/img/camera-stop-hover.png");

    KxManager* manager = context_.manager();
    const auto call = manager ? manager->currentCall() : nullptr;
    // Told for as long as it lasts: a share held back stays so until the user chooses.
    const QString held = manager ? manager->sharePaused() : QString();
    shareState_->setText(held);
    shareState_->setToolTip(held);
    shareState_->setVisible(!held.isEmpty());
    showSecurity();
    if (!call) {
        party_->clear();
        soundState_->hide();
        for (QWidget* control : std::initializer_list<QWidget*>{microMute_, speakerMute_,
                                                                microVolume_, speakerVolume_})
            control->setEnabled(false);
        if (settingsPanel_->isVisible())
            settingsPanel_->close();
        if (statisticsDialog_) {
            statisticsDialog_->startUpdates();
            if (statisticsDialog_->isVisible())
                statisticsDialog_->close();
        }
        if (dialpadDialog_ && dialpadDialog_->isVisible())
            dialpadDialog_->close();
        if (feccDialog_ && feccDialog_->isVisible())
            feccDialog_->close();
        return;
    }
    const auto network = call->networkConnection();
    QString party = QString::fromStdString(network ? network->remotePartyName() : std::string());
    if (party.isEmpty() && network)
        party = QString::fromStdString(network->remotePartyAddress());
    party_->setText(party);
    party_->setToolTip(party);
    duration_->setToolTip(tr("call") + ": " + party);
    const auto refresh = [](const std::shared_ptr<voip::SoundChannel>& channel, CallButton* mute,
                            QSlider* volume, const char* icon, const char* hover,
                            const char* mutedIcon, const char* mutedHover) {
        if (!channel) {
            mute->setEnabled(false);
            volume->setEnabled(false);
            return;
        }
        const auto level = channel->volume();
        const auto muted = channel->mute();
        const bool isMuted = muted && muted.value();
        mute->setEnabled(true);
        const QSignalBlocker quiet(volume);
        if (level)
            volume->setValue(int(level.value()));
        if (isMuted)
            mute->setIcons(mutedIcon, mutedHover);
        else
            mute->setIcons(icon, hover);
        volume->setEnabled(!isMuted);
    };
    refresh(manager->recordChannel(), microMute_, microVolume_, ":/img/micro.png",
            ":/img/micro-mute-hover.png", ":/img/micro-mute.png", ":/img/micro-hover.png");
    refresh(manager->playChannel(), speakerMute_, speakerVolume_, ":/img/speaker.png",
            ":/img/speaker-mute-hover.png", ":/img/speaker-mute.png", ":/img/speaker-hover.png");
    // A device that could not be opened: said for the whole call, and by the greyed
    // controls' tips.
    const auto missing = manager->soundMissing();
    QStringList why;
    if (missing.microphone)
        why << tr("no-microphone-tip");
    if (missing.loudspeaker)
        why << tr("no-loudspeaker-tip");
    soundState_->setText(why.isEmpty() ? QString() : tr("no-sound-state"));
    soundState_->setToolTip(why.join('\n'));
    soundState_->setVisible(!why.isEmpty());
    microMute_->setToolTip(missing.microphone ? tr("no-microphone-tip") : tr("mute-micro"));
    microVolume_->setToolTip(missing.microphone ? tr("no-microphone-tip") : tr("micro-volume"));
    speakerMute_->setToolTip(missing.loudspeaker ? tr("no-loudspeaker-tip") : tr("mute-speaker"));
    speakerVolume_->setToolTip(missing.loudspeaker ? tr("no-loudspeaker-tip")
                                                   : tr("speaker-volume"));
    if (!durationTimer_->isActive())
        durationTimer_->start();
}

QString WidgetCall::durationText(qint64 seconds)
{
    const auto two = [](qint64 value) { return QString("%1").arg(value, 2, 10, QChar('0')); };
    return two(seconds / 3600) + ":" + two((seconds / 60) % 60) + ":" + two(seconds % 60);
}

namespace {

/// A padlock `size` pixels high: green and shut, or amber with its shackle lifted aside.
QPixmap padlock(bool closed, int size)
{
    QPixmap picture(size, size);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor colour = closed ? QColor(0x43, 0xa0, 0x47) : QColor(0xe6, 0x9a, 0x28);
    painter.setPen(QPen(colour, size / 9.0, Qt::SolidLine, Qt::RoundCap));
    const qreal width = size * 0.46;
    QRectF shackle((size - width) / 2, size * 0.08, width, size * 0.56);
    if (!closed)
        shackle.translate(size * 0.2, -size * 0.06);
    painter.drawArc(shackle, 0, 180 * 16);
    const qreal middle = shackle.center().y();
    painter.drawLine(QPointF(shackle.left(), middle), QPointF(shackle.left(), size * 0.48));
    if (closed)
        painter.drawLine(QPointF(shackle.right(), middle), QPointF(shackle.right(), size * 0.48));
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawRoundedRect(QRectF(size * 0.16, size * 0.45, size * 0.68, size * 0.47),
                            size * 0.08, size * 0.08);
    return picture;
}

} // namespace

void WidgetCall::showSecurity()
{
    KxManager* manager = context_.manager();
    const auto security = manager ? manager->callSecurity() : KxManager::CallSecurity{};
    if (!security.known) {
        security_->hide();
        return;
    }
    if (!security_->isVisible() || security_->property("encrypted") != security.encrypted) {
        security_->setPixmap(padlock(security.encrypted, std::max(16, duration_->height())));
        security_->setProperty("encrypted", security.encrypted);
    }
    security_->setToolTip(security.tip);
    security_->show();
}

void WidgetCall::onTimerDuration()
{
    KxManager* manager = context_.manager();
    const auto call = manager ? manager->currentCall() : nullptr;
    if (!call) {
        durationTimer_->stop();
        duration_->clear();
        firstTicks_ = true;
        ticks_ = 0;
        return;
    }
    showSecurity();
    // From the answer: the ringing before it is no part of the call's length.
    const auto connected = manager->connectedFor();
    duration_->setText(durationText(connected ? connected->count() : 0));
    if (!firstTicks_)
        return;
    // The far end hears of the microphone's state again 5 and 10 s into the call, in
    // case it missed the first indication.
    if (++ticks_ >= 10)
        firstTicks_ = false;
    if (ticks_ % 5 == 0) {
        if (auto channel = manager->recordChannel()) {
            const auto muted = channel->mute();
            manager->sendMuteIndication(muted && muted.value());
        }
    }
}

void WidgetCall::onMicroMute()
{
    KxManager* manager = context_.manager();
    auto channel = manager && manager->currentCall() ? manager->recordChannel() : nullptr;
    if (!channel)
        return;
    const auto muted = channel->mute();
    const bool mute = !(muted && muted.value());
    if (!channel->setMute(mute))
        std::cout << "Muted Microphone failed" << std::endl;
    manager->sendMuteIndication(mute);
    UpdateData();
}

void WidgetCall::onSpeakerMute()
{
    KxManager* manager = context_.manager();
    auto channel = manager && manager->currentCall() ? manager->playChannel() : nullptr;
    if (!channel)
        return;
    const auto muted = channel->mute();
    if (!channel->setMute(!(muted && muted.value())))
        std::cout << "Muted Speaker failed!" << std::endl;
    UpdateData();
}

void WidgetCall::onMicroVolume(int value)
{
    KxManager* manager = context_.manager();
    auto channel = manager && manager->currentCall() ? manager->recordChannel() : nullptr;
    if (channel && !channel->setVolume(unsigned(value)))
        std::cout << "Set microphone volume failed!" << std::endl;
}

void WidgetCall::onSpeakerVolume(int value)
{
    KxManager* manager = context_.manager();
    auto channel = manager && manager->currentCall() ? manager->playChannel() : nullptr;
    if (channel && !channel->setVolume(unsigned(value)))
        std::cout << "Set speaker volume failed!" << std::endl;
}

void WidgetCall::onEndCall()
{
    QMessageBox box;
    box.setIcon(QMessageBox::Question);
    box.setIconPixmap(QPixmap(":/img/help.png"));
    box.setText(tr("end-call"));
    box.setInformativeText(tr("are-you-sure") + "?");
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    if (box.exec() != QMessageBox::Yes)
        return;
    if (KxManager* manager = context_.manager())
        manager->hangUp();
}

void WidgetCall::onFullScreen()
{
    if (window_.isFullScreen())
        window_.showNormal();
    else
        window_.showFullScreen();
    KxManager* manager = context_.manager();
    if (manager && manager->currentCall())
        UpdateData();
}

int WidgetCall::nextLayout(int current, bool presenting)
{
    int next = current < 0 || current > 3 ? 1 : (current == 3 ? 0 : current + 1);
    if (next == 3 && !presenting)
        next = 0;
    return next;
}

void WidgetCall::onLayout()
{
    KxManager* manager = context_.manager();
    QSettings& settings = context_.settings();
    const int next = nextLayout(kxdefaults::read(settings, kxdefaults::CallLayout),
                                manager && manager->presentationActive());
    kxdefaults::write(settings, kxdefaults::CallLayout, next);
    window_.applyLayout();
}

void WidgetCall::showLayoutNotice(int layout)
{
    QString name;
    switch (layout) {
    case 1:
        name = tr("remote-full");
        break;
    case 2:
        name = tr("local-full");
        break;
    case 3:
        name = tr("content-full");
        break;
    default:
        name = tr("side-by-side");
        break;
    }
    emit signalShowFade(tr("layout") + ": " + name);
}

void WidgetCall::onShowFade(QString text)
{
    fade_->setText(text);
    fade_->open();
    // Over the picture beside the toolbar, and always inside the window: a maximized
    // window leaves no room outside it.
    const bool bottom = kxdefaults::read(context_.settings(), kxdefaults::CallLocation) == 1;
    const QPoint centre = mapToGlobal(QPoint(width() / 2, bottom ? 0 : height()));
    QPoint at(centre.x() - fade_->width() / 2,
              bottom ? centre.y() - fade_->height() - 5 : centre.y() + 5);
    fade_->move(insideWindow(*fade_, at));
}

QPoint WidgetCall::insideWindow(const QWidget& popup, QPoint at) const
{
    const QRect inside(window()->mapToGlobal(QPoint()), window()->size());
    at.setX(std::clamp(at.x(), inside.left(),
                       std::max(inside.left(), inside.right() + 1 - popup.width())));
    at.setY(std::clamp(at.y(), inside.top(),
                       std::max(inside.top(), inside.bottom() + 1 - popup.height())));
    return at;
}

void WidgetCall::placePopup(QWidget* popup, QWidget* anchor, bool centred)
{
    const QPoint g = anchor->mapToGlobal(QPoint(anchor->width() / 2, 0));
    const bool bottom = kxdefaults::read(context_.settings(), kxdefaults::CallLocation) == 1;
    const QPoint toolbarTop = mapToGlobal(QPoint(0, 0));
    const int x = centred ? g.x() - popup->width() / 2 : g.x();
    const int y = bottom ? g.y() - popup->height() - 5 : toolbarTop.y() + height() + 5;
    // Inside the window: a panel of a button near the edge does not stick out past it.
    popup->move(insideWindow(*popup, QPoint(x, y)));
}

void WidgetCall::onSettings()
{
    settingsPanel_->UpdateData();
    settingsPanel_->show();
    settingsPanel_->adjustSize();
    placePopup(settingsPanel_, settings_, true);
}

void WidgetCall::onDialpad()
{
    if (!dialpadDialog_)
        dialpadDialog_ = new WidgetDialpad(context_, this, Qt::Popup);
    dialpadDialog_->clearText();
    dialpadDialog_->show();
    dialpadDialog_->adjustSize();
    placePopup(dialpadDialog_, dialpad_, true);
}

void WidgetCall::onStatus()
{
    if (!statisticsDialog_)
        statisticsDialog_ = new WidgetStatistics(context_, this, Qt::Popup);
    statisticsDialog_->startUpdates();
    statisticsDialog_->show();
    statisticsDialog_->adjustSize();
    placePopup(statisticsDialog_, this, false);
}

void WidgetCall::onCamera()
{
    UpdateData();
    WidgetCam* cam = window_.cameraDialog();
    if (!cam)
        return;
    cam->UpdateData();
    cam->show();
    cam->adjustSize();
    // Left edge at the button's, bottom edge 5 pixels above its top, wherever the toolbar.
    const QPoint corner = camera_->mapToGlobal(QPoint(0, 0));
    cam->move(corner.x(), corner.y() - cam->height() - 5);
}

void WidgetCall::onFecc()
{
    if (!feccDialog_)
        feccDialog_ = new WidgetFecc(context_, this, Qt::Popup);
    feccDialog_->checkRemote();
    feccDialog_->show();
    feccDialog_->adjustSize();
    placePopup(feccDialog_, fecc_, true);
}
