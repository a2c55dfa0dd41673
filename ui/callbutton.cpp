#include "ui/callbutton.h"

#include <QEvent>
#include <QLabel>
#include <QPropertyAnimation>
#include <QTimer>
#include <QVBoxLayout>

CallButton::CallButton(const QString& icon, const QString& hoverIcon, double scaleFactor,
                       QWidget* parent)
    : QPushButton(parent)
    , icon_(icon)
    , hoverIcon_(hoverIcon)
{
    setFlat(true);
    setIcon(QIcon(icon_));
    setIconSize(QSize(int(24 * scaleFactor), int(24 * scaleFactor)));
    setFixedSize(int(40 * scaleFactor), int(32 * scaleFactor));
    setObjectName("callButton");
}

void CallButton::setIcons(const QString& icon, const QString& hoverIcon)
{
    icon_ = icon;
    hoverIcon_ = hoverIcon;
    setIcon(QIcon(hovered_ ? hoverIcon_ : icon_));
}

bool CallButton::event(QEvent* event)
{
    if (event->type() == QEvent::Enter) {
        hovered_ = true;
        setFlat(false);
        setIcon(QIcon(hoverIcon_));
    } else if (event->type() == QEvent::Leave) {
        hovered_ = false;
        setFlat(true);
        setIcon(QIcon(icon_));
    }
    return QPushButton::event(event);
}

FadeDialog::FadeDialog(QWidget* parent)
    : QDialog(parent, Qt::ToolTip | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint)
{
    // A notice only: it takes neither the keyboard nor the mouse, so the user's next key
    // or click (hanging up, say) still goes where it was meant to.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    auto* layout = new QVBoxLayout(this);
    label_ = new QLabel();
    label_->setAlignment(Qt::AlignCenter);
    label_->setStyleSheet("QLabel{font: 10pt bold; color: white;}");
    layout->addWidget(label_);
    timer_ = new QTimer(this);
    timer_->setInterval(3000);
    connect(timer_, &QTimer::timeout, this, &FadeDialog::onTimer);
}

void FadeDialog::setText(const QString& text)
{
    label_->setText(text);
    adjustSize();
}

QString FadeDialog::text() const
{
    return label_->text();
}

void FadeDialog::open()
{
    timer_->start();
    fade(0.0, 0.8, false);
    show();
}

void FadeDialog::onTimer()
{
    timer_->stop();
    fade(0.8, 0.0, true);
}

void FadeDialog::fade(double from, double to, bool closeAtEnd)
{
    auto* animation = new QPropertyAnimation(this, "windowOpacity", this);
    animation->setDuration(500);
    animation->setEasingCurve(QEasingCurve::Linear);
    animation->setStartValue(from);
    animation->setEndValue(to);
    if (closeAtEnd)
        connect(animation, &QPropertyAnimation::finished, this, [this] {
            // A notice opened again while fading out stays.
            if (!timer_->isActive())
                accept();
        });
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}
