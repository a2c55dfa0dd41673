#include "ui/widgetcalling.h"

#include <QEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "KxPhone/kxmanager.h"
#include "ui/uicontext.h"

WidgetCalling::WidgetCalling(const UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context)
{
    setObjectName("widgetCalling");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 6, 0, 6);
    who_ = new QLabel();
    who_->setObjectName("labelCallingWho");
    who_->setAlignment(Qt::AlignCenter);
    // A long name must not widen the dock: it is cut, and the whole of it is the tip.
    who_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    state_ = new QLabel();
    state_->setObjectName("labelCallingState");
    state_->setAlignment(Qt::AlignCenter);
    cancel_ = new QPushButton();
    cancel_->setObjectName("buttonCancelCall");
    cancel_->setIcon(QIcon(":/img/end.png"));
    connect(cancel_, &QPushButton::clicked, this, &WidgetCalling::onCancel);
    outcome_ = new QLabel();
    outcome_->setObjectName("labelCallOutcome");
    outcome_->setAlignment(Qt::AlignCenter);
    outcome_->setWordWrap(true);
    outcome_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    close_ = new QPushButton();
    close_->setObjectName("buttonCloseOutcome");
    connect(close_, &QPushButton::clicked, this, &QWidget::hide);
    layout->addWidget(who_);
    layout->addWidget(state_);
    layout->addWidget(cancel_);
    layout->addWidget(outcome_);
    layout->addWidget(close_);
    retranslate();
    hide();
}

void WidgetCalling::showCalling(const QString& who)
{
    name_ = who;
    ringing_ = false;
    retranslate();
    for (QWidget* part : {static_cast<QWidget*>(who_), static_cast<QWidget*>(state_),
                          static_cast<QWidget*>(cancel_)})
        part->show();
    outcome_->hide();
    close_->hide();
    show();
}

void WidgetCalling::showRinging()
{
    ringing_ = true;
    retranslate();
}

void WidgetCalling::showOutcome(const QString& text)
{
    outcome_->setText(text);
    outcome_->setToolTip(text);
    for (QWidget* part : {static_cast<QWidget*>(who_), static_cast<QWidget*>(state_),
                          static_cast<QWidget*>(cancel_)})
        part->hide();
    outcome_->show();
    close_->show();
    show();
}

void WidgetCalling::onCancel()
{
    hide();
    if (KxManager* manager = context_.manager())
        manager->hangUp();
}

void WidgetCalling::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        retranslate();
}

void WidgetCalling::retranslate()
{
    const QString text = name_.isEmpty() ? QString() : tr("calling").arg(name_);
    const int width = std::max(who_->width(), 160);
    who_->setText(who_->fontMetrics().elidedText(text, Qt::ElideMiddle, width));
    who_->setToolTip(text);
    state_->setText(ringing_ ? tr("ringing") : tr("connecting"));
    cancel_->setText(tr("cancel-call"));
    close_->setText(tr("close"));
}
