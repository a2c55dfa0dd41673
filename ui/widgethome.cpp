#include "ui/widgethome.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalMapper>
#include <QVBoxLayout>

#include "KxPhone/kxdefaults.h"
#include "KxPhone/kxmanager.h"
#include "ui/elidedlabel.h"
#include "ui/uicontext.h"

WidgetHome::WidgetHome(const UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context)
{
    auto* layout = new QVBoxLayout(this);
    layout->setAlignment(Qt::AlignTop);

    title_ = new QLabel();
    title_->setAlignment(Qt::AlignCenter);
    title_->setObjectName("labelDockTitle");
    layout->addWidget(title_);

    address_ = new QLineEdit();
    address_->setAlignment(Qt::AlignCenter);
    address_->setText(kxdefaults::read(context_.settings(), kxdefaults::Address));
    connect(address_, &QLineEdit::returnPressed, this, &WidgetHome::onCall);
    layout->addWidget(address_);

    keys_ = new QSignalMapper(this);
    const QStringList rows[] = {{"1", "2", "3"}, {"4", "5", "6"}, {"7", "8", "9"}, {".", "0", "@"}};
    for (const QStringList& labels : rows) {
        auto* row = new QWidget();
        auto* rowLayout = new QHBoxLayout(row);
        rowLayout->setSpacing(10);
        rowLayout->setContentsMargins(0, 0, 0, 0);
        for (const QString& label : labels) {
            auto* key = new QPushButton(label);
            connect(key, &QPushButton::clicked, keys_, qOverload<>(&QSignalMapper::map));
            keys_->setMapping(key, label);
            rowLayout->addWidget(key);
        }
        layout->addWidget(row);
    }
    connect(keys_, &QSignalMapper::mappedString, this, &WidgetHome::onClicked);

    call_ = new QPushButton();
    call_->setObjectName("buttonCall");
    connect(call_, &QPushButton::clicked, this, &WidgetHome::onCall);
    layout->addWidget(call_);

    // Below the Call button: a message appearing must not push the keypad or the button
    // under the pointer.
    message_ = new ElidedLabel(3);
    message_->setObjectName("labelDialError");
    message_->setAlignment(Qt::AlignCenter);
    message_->hide();
    layout->addWidget(message_);
    setTexts();
}

void WidgetHome::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::LanguageChange) {
        setTexts();
        // What the manager said here, in the new language.
        if (KxManager* manager = context_.manager(); manager && !message_->text().isEmpty())
            showMessage(manager->sayAgain(message_->text()));
    }
}

void WidgetHome::setTexts()
{
    title_->setText(tr("dial-pad"));
    address_->setPlaceholderText(tr("enter-address"));
    call_->setText(tr("call"));
}

void WidgetHome::onClicked(QString value)
{
    address_->insert(value);
}

void WidgetHome::onCall()
{
    KxManager* manager = context_.manager();
    if (!manager)
        return;
    showMessage(manager->placeCall(address_->text(), true));
}

void WidgetHome::showMessage(const QString& text)
{
    message_->setText(text);
    message_->setToolTip(text);
    message_->setVisible(!text.isEmpty());
}
