#pragma once

#include <QDialog>
#include <QList>
#include <QPushButton>

class QLineEdit;
struct UiContext;

/// A flat key of the dialpad that is raised while the mouse is over it.
class DialpadButton : public QPushButton
{
    Q_OBJECT

public:
    explicit DialpadButton(const QString& text, QWidget* parent = nullptr);

protected:
    bool event(QEvent* event) override;
};

/// The in-call dialpad: keys that go to the far end as they are pressed, and a line for
/// typed strings that goes with Send (or Enter).
class WidgetDialpad : public QDialog
{
    Q_OBJECT

public:
    WidgetDialpad(const UiContext& context, QWidget* parent = nullptr,
                  Qt::WindowFlags flags = Qt::WindowFlags());

    void clearText();
    QLineEdit* textLine() const { return textLine_; }
    const QList<DialpadButton*>& keys() const { return keys_; }
    DialpadButton* sendButton() const { return sendButton_; }

public slots:
    void onButtonClicked();
    void onTextInput();

protected:
    void showEvent(QShowEvent* event) override;

private:
    const UiContext& context_;
    QLineEdit* textLine_ = nullptr;
    QList<DialpadButton*> keys_;
    DialpadButton* sendButton_ = nullptr;
    QString sentKeys_; ///< the keys sent since the dialpad opened, newest last
};
