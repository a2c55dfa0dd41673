#pragma once

#include <QWidget>

class ElidedLabel;
class QLabel;
class QPushButton;
class QToolButton;
struct UiContext;

/// The call being placed: who is called, whether it rings yet, and a button that
/// cancels it.  Shown by the main window from the moment a call is placed until it is
/// answered; when a call ends without being answered (or ends at all), the same place
/// tells why, until the user closes it or places the next call.
class WidgetCalling : public QWidget
{
    Q_OBJECT

public:
    WidgetCalling(const UiContext& context, QWidget* parent = nullptr);

    /// A call to `who` is being set up.
    void showCalling(const QString& who);
    /// The far end rings.
    void showRinging();
    /// How the last call ended.
    void showOutcome(const QString& text);

    QLabel* whoLabel() const { return who_; }
    QLabel* stateLabel() const { return state_; }
    QPushButton* cancelButton() const { return cancel_; }
    QLabel* outcomeLabel() const;
    QToolButton* closeButton() const { return close_; }

public slots:
    /// Clears the call being placed at once.
    void onCancel();

protected:
    void changeEvent(QEvent* event) override;

private:
    void retranslate();

    const UiContext& context_;
    QWidget* placing_ = nullptr; // who, the state and cancel
    QWidget* ended_ = nullptr;   // the outcome and close
    QLabel* who_ = nullptr;
    QLabel* state_ = nullptr;
    QPushButton* cancel_ = nullptr;
    ElidedLabel* outcome_ = nullptr;
    QToolButton* close_ = nullptr;
    QString name_;
    bool ringing_ = false;
};
