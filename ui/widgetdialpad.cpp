#include "ui/widgetdialpad.h"

#include <QEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QVBoxLayout>

#include "KxPhone/kxmanager.h"
#include "ui/uicontext.h"

DialpadButton::DialpadButton(const QString& text, QWidget* parent)
    : QPushButton(text, parent)
{
    setObjectName("buttonDialpad");
    setFlat(true);
}

bool DialpadButton::event(QEvent* event)
{
    if (event->type() == QEvent::HoverEnter || event->type() == QEvent::Enter)
        setFlat(false);
    else if (event->type() == QEvent::HoverLeave || event->type() == QEvent::Leave)
        setFlat(true);
    return QPushButton::event(event);
}

WidgetDialpad::WidgetDialpad(const UiContext& context, QWidget* parent, Qt::WindowFlags flags)
    : QDialog(parent, flags)
    , context_(context)
{
    setObjectName("dialpad");
    setWindowOpacity(0.5);
    setFixedWidth(3 * QFontMetrics(font()).horizontalAdvance("12345678"));
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(0);
    layout->setContentsMargins(5, 5, 5, 5);

    textLine_ = new QLineEdit();
    textLine_->setAlignment(Qt::AlignCenter);
    layout->addWidget(textLine_);

    // A telephone's keys: conference systems end a number or a PIN with # and use *.
    const QStringList labels = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "*", "0", "#"};
    QHBoxLayout* rowLayout = nullptr;
    for (int k = 0; k < labels.size(); ++k) {
        if (k % 3 == 0) {
            auto* row = new QWidget();
            rowLayout = new QHBoxLayout(row);
            rowLayout->setSpacing(10);
            rowLayout->setContentsMargins(0, 0, 0, 0);
            layout->addWidget(row);
        }
        auto* key = new DialpadButton(labels[k]);
        key->setAutoDefault(false);
        key->setDefault(false);
        connect(key, &QPushButton::clicked, this, &WidgetDialpad::onButtonClicked);
        rowLayout->addWidget(key);
        keys_ << key;
    }

    sendButton_ = new DialpadButton(tr("send"));
    sendButton_->setDefault(true);
    connect(sendButton_, &QPushButton::clicked, this, &WidgetDialpad::onTextInput);
    layout->addWidget(sendButton_);
}

void WidgetDialpad::clearText()
{
    textLine_->clear();
    sentKeys_.clear();
    textLine_->setPlaceholderText(QString());
}

void WidgetDialpad::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // Typing goes straight into the line, without a click first.
    textLine_->setFocus(Qt::PopupFocusReason);
}

void WidgetDialpad::onButtonClicked()
{
    auto* key = qobject_cast<QPushButton*>(sender());
    if (!key)
        return;
    // Each key goes at once, as a telephone's does; what went shows faintly in the line.
    if (KxManager* manager = context_.manager())
        manager->sendUserInput(key->text());
    sentKeys_ = (sentKeys_ + key->text()).right(24);
    textLine_->setPlaceholderText(sentKeys_);
    textLine_->setFocus(Qt::OtherFocusReason);
}

void WidgetDialpad::onTextInput()
{
    if (textLine_->text().isEmpty())
        return;
    if (KxManager* manager = context_.manager())
        manager->sendUserInput(textLine_->text());
    textLine_->clear();
}
