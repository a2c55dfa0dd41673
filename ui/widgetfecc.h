#pragma once

#include <chrono>

#include <QDialog>
#include <QPushButton>

#include "ui/uicontext.h"
#include "voip/h224/h281.h"

/// An icon button of the camera control dialog: flat until the mouse is over it.
class FeccButton : public QPushButton
{
    Q_OBJECT

public:
    FeccButton(const QString& icon, double scaleFactor, QWidget* parent = nullptr);

protected:
    bool event(QEvent* event) override;
};

/// Steers the far end's camera over H.224/H.281: pressing a button starts moving the
/// camera that way, releasing it stops the move (a click is a short move).  A popup of the
/// in-call toolbar, created once.  GUI thread.
class WidgetFecc : public QDialog
{
    Q_OBJECT

public:
    WidgetFecc(const UiContext& context, QWidget* parent = nullptr,
               Qt::WindowFlags flags = Qt::Popup);

    /// Asks the far end for its camera control client and capabilities when they are not
    /// known yet; the toolbar calls it each time it opens the dialog.
    void checkRemote();

    FeccButton* upButton() const { return up_; }
    FeccButton* downButton() const { return down_; }
    FeccButton* leftButton() const { return left_; }
    FeccButton* rightButton() const { return right_; }
    FeccButton* inButton() const { return in_; }
    FeccButton* outButton() const { return out_; }

    /// The shortest move a click makes.
    static constexpr std::chrono::milliseconds ShortestMove{10};

public slots:
    void onUp();
    void onDown();
    void onLeft();
    void onRight();
    void onIn();
    void onOut();
    /// A button let go: the move it started stops.
    void onRelease();

private:
    void start(voip::h224::ActionType type, int direction);

    UiContext context_;
    FeccButton* up_ = nullptr;
    FeccButton* down_ = nullptr;
    FeccButton* left_ = nullptr;
    FeccButton* right_ = nullptr;
    FeccButton* in_ = nullptr;
    FeccButton* out_ = nullptr;
    bool moving_ = false;
    std::chrono::steady_clock::time_point started_;
};
