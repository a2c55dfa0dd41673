#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QSignalMapper;
struct UiContext;

/// The home page: the address line, its keypad and the Call button.  A call the manager
/// refuses (a bad address, a call already up) leaves a message below the Call button.
class WidgetHome : public QWidget
{
    Q_OBJECT

public:
    WidgetHome(const UiContext& context, QWidget* parent = nullptr);

    QLineEdit* addressLine() const { return address_; }
    QPushButton* callButton() const { return call_; }
    /// The message of the last refused call; empty (and hidden) once a call is placed.  It
    /// sits below the Call button, so the keypad never moves.
    QLabel* messageLabel() const { return message_; }
    /// Shows `text` below the Call button (hides the message when empty).
    void showMessage(const QString& text);

public slots:
    void onClicked(QString value);
    void onCall();

protected:
    void changeEvent(QEvent* event) override;

private:
    /// The title, the address line's hint and the Call button, in the present language.
    void setTexts();

    const UiContext& context_;
    QLabel* title_ = nullptr;
    QLineEdit* address_ = nullptr;
    QLabel* message_ = nullptr;
    QPushButton* call_ = nullptr;
    QSignalMapper* keys_ = nullptr;
};
