#include "ui/widgetfecc.h"

#include <iostream>

#include <QEvent>
#include <QHBoxLayout>
#include <QTimer>
#include <QVBoxLayout>

#include "KxPhone/kxmanager.h"
#include "voip/h224/h224handler.h"

FeccButton::FeccButton(const QString& icon, double scaleFactor, QWidget* parent)
    : QPushButton(QIcon(icon), QString(), parent)
{
    setObjectName("buttonFecc");
    setFlat(true);
    const int side = int(20 * scaleFactor);
    setIconSize(QSize(side, side));
}

bool FeccButton::event(QEvent* event)
{
    if (event->type() == QEvent::Enter)
        setFlat(false);
    else if (event->type() == QEvent::Leave)
        setFlat(true);
    return QPushButton::event(event);
}

WidgetFecc::WidgetFecc(const UiContext& context, QWidget* parent, Qt::WindowFlags flags)
    : QDialog(parent, flags)
    , context_(context)
{
    setObjectName("fecc");
    setWindowOpacity(0.5);
    const double scale = context_.scaleFactor();
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(0);
    layout->setContentsMargins(5, 5, 5, 5);
    auto make = [&](const char* icon, void (WidgetFecc::*slot)()) {
        auto* button = new FeccButton(icon, scale);
        connect(button, &QPushButton::pressed, this, slot);
        connect(button, &QPushButton::released, this, &WidgetFecc::onRelease);
        return button;
    };
    up_ = make(":/img/up.png", &WidgetFecc::onUp);
    down_ = make(":/img/down.png", &WidgetFecc::onDown);
    left_ = make(":/img/left.png", &WidgetFecc::onLeft);
    right_ = make(":/img/right.png", &WidgetFecc::onRight);
    in_ = make(":/img/in.png", &WidgetFecc::onIn);
    out_ = make(":/img/out.png", &WidgetFecc::onOut);
    auto pair = [](QWidget* first, QWidget* second) {
        auto* row = new QWidget();
        auto* box = new QHBoxLayout(row);
        box->setSpacing(0);
        box->setContentsMargins(0, 0, 0, 0);
        box->addWidget(first);
        box->addWidget(second);
        return row;
    };
    layout->addWidget(up_, 0, Qt::AlignHCenter);
    layout->addWidget(pair(left_, right_));
    layout->addWidget(down_, 0, Qt::AlignHCenter);
    layout->addWidget(pair(out_, in_));
}

void WidgetFecc::checkRemote()
{
    KxManager* manager = context_.manager();
    if (!manager || !manager->h224SendOpen() || !manager->h224ReceiveOpen())
        return;
    auto fecc = manager->feccHandler();
    auto h224 = manager->h224Handler();
    if (!fecc || !h224)
        return;
    if (!fecc->remoteClientSeen()) {
        std::cout << "No remote FECC client" << std::endl;
        h224->sendClientListCommand();
    }
    if (!fecc->remoteCapabilitiesReceived()) {
        std::cout << "No remote FECC caps" << std::endl;
        h224->sendExtraCapabilitiesCommand();
    }
}

void WidgetFecc::start(voip::h224::ActionType type, int direction)
{
    KxManager* manager = context_.manager();
    if (!manager || !manager->h224SendOpen())
        return;
    auto fecc = manager->feccHandler();
    if (!fecc)
        return;
    voip::h224::CameraMove move;
    move[type] = std::int8_t(direction);
    moving_ = fecc->startAction(move);
    started_ = std::chrono::steady_clock::now();
}

void WidgetFecc::onRelease()
{
    if (!moving_)
        return;
    moving_ = false;
    // A quick click still moves for the shortest move.
    const auto held = std::chrono::steady_clock::now() - started_;
    const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(ShortestMove - held);
    KxManager* manager = context_.manager();
    auto fecc = manager ? manager->feccHandler() : nullptr;
    if (!fecc)
        return;
    if (rest.count() > 0)
        QTimer::singleShot(int(rest.count()), this, [fecc] { fecc->stopAction(); });
    else
        fecc->stopAction();
}

void WidgetFecc::onUp()
{
    start(voip::h224::ActionType::Tilt, +1);
}

void WidgetFecc::onDown()
{
    start(voip::h224::ActionType::Tilt, -1);
}

void WidgetFecc::onLeft()
{
    start(voip::h224::ActionType::Pan, +1);
}

void WidgetFecc::onRight()
{
    start(voip::h224::ActionType::Pan, -1);
}

void WidgetFecc::onIn()
{
    start(voip::h224::ActionType::Zoom, +1);
}

void WidgetFecc::onOut()
{
    start(voip::h224::ActionType::Zoom, -1);
}
