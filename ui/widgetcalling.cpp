#include "ui/widgetcalling.h"

#include <QEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "KxPhone/kxmanager.h"
#include "ui/elidedlabel.h"
#include "ui/uicontext.h"

QLabel* WidgetCalling::outcomeLabel() const
{
    return outcome_;
}

WidgetCalling::WidgetCalling(const UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context)
{
    setObjectName("widgetCalling");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 6, 0, 6);
    // Compact, so that the window does not grow for it: who on one line, then the state and
    // the cancel button side by side; the outcome in three lines, six when it needs them, beside
    // its close cross. Long names and outcomes must not widen the dock: they are cut, and the whole
    // text is the tip.
    placing_ = new QWidget();
    auto* placing = new QVBoxLayout(placing_);
    placing->setContentsMargins(0, 0, 0, 0);
    who_ = new ElidedLabel(1);
    who_->setObjectName("labelCallingWho");
    who_->setAlignment(Qt::AlignCenter);
    placing->addWidget(who_);
    auto* stateRow = new QHBoxLayout();
    state_ = new QLabel();
    state_->setObjectName("labelCallingState");
    state_->setAlignment(Qt::AlignCenter);
    cancel_ = new QPushButton();
    cancel_->setObjectName("buttonCancelCall");
    cancel_->setIcon(QIcon(":/img/end.png"));
    connect(cancel_, &QPushButton::clicked, this, &WidgetCalling::onCancel);
    stateRow->addWidget(state_, 1);
    stateRow->addWidget(cancel_);
    placing->addLayout(stateRow);
    layout->addWidget(placing_);

    ended_ = new QWidget();
    auto* ended = new QHBoxLayout(ended_);
    ended->setContentsMargins(0, 0, 0, 0);
    outcome_ = new ElidedLabel(3, nullptr, 6);
    outcome_->setObjectName("labelCallOutcome");
    outcome_->setAlignment(Qt::AlignCenter);
    // A small closing cross, so that the outcome has the width.
    close_ = new QToolButton();
    close_->setObjectName("buttonCloseOutcome");
    close_->setText(QString(QChar(0x00D7)));
    close_->setAutoRaise(true);
    connect(close_, &QToolButton::clicked, this, &QWidget::hide);
    ended->addWidget(outcome_, 1);
    ended->addWidget(close_);
    layout->addWidget(ended_);
    retranslate();
    hide();
}

void WidgetCalling::showCalling(const QString& who)
{
    name_ = who;
    ringing_ = false;
    retranslate();
    ended_->hide();
    placing_->show();
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
    placing_->hide();
    ended_->show();
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
    who_->setText(text);
    who_->setToolTip(text);
    state_->setText(ringing_ ? tr("ringing") : tr("connecting"));
    cancel_->setText(tr("cancel-call"));
    close_->setToolTip(tr("close"));
    close_->setAccessibleName(tr("close"));
    // The outcome of the last call, in the new language.
    if (KxManager* manager = context_.manager(); manager && !outcome_->text().isEmpty()) {
        const QString text = manager->sayAgain(outcome_->text());
        outcome_->setText(text);
        outcome_->setToolTip(text);
    }
}
