#pragma once

#include <QDialog>
#include <QIcon>
#include <QPushButton>

/// The flat icon button of the in-call toolbar: it shows its hover icon, raised, while the
/// mouse is over it.
class CallButton : public QPushButton
{
    Q_OBJECT

public:
    CallButton(const QString& icon, const QString& hoverIcon, double scaleFactor,
               QWidget* parent = nullptr);

    /// Changes both pictures (a toggled state), keeping whether the mouse is over it.
    void setIcons(const QString& icon, const QString& hoverIcon);
    const QString& iconPath() const { return icon_; }
    const QString& hoverIconPath() const { return hoverIcon_; }

protected:
    bool event(QEvent* event) override;

private:
    QString icon_;
    QString hoverIcon_;
    bool hovered_ = false;
};

/// A short notice that fades in above the toolbar, stays three seconds and fades out.
class FadeDialog : public QDialog
{
    Q_OBJECT

public:
    explicit FadeDialog(QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const;
    /// Opens the notice (again), restarting its three seconds.
    void open() override;

public slots:
    void onTimer();

private:
    void fade(double from, double to, bool closeAtEnd);

    class QLabel* label_ = nullptr;
    class QTimer* timer_ = nullptr;
};
