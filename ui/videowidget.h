#pragma once

#include <memory>
#include <optional>

#include <QMargins>
#include <QWidget>

#include "ui/uicontext.h"

class QFrame;
namespace voip {
class VideoOutput;
}

/// Where the display's output shows: a frame ("frameVideo", with a 3-pixel border) holding
/// the widget that Qt draws the pictures in, kept at the largest 16:9 size that fits and
/// centred.
class VideoWidget : public QWidget
{
    Q_OBJECT

public:
    explicit VideoWidget(UiContext& context, QWidget* parent = nullptr);

    /// The display's output started: the pictures take the view's size now.
    void refit();
    /// Shows the display's pictures drawn by Qt and gives what the display writes to; the
    /// same output on every call.
    /// Drawn by the GPU when the session gives an OpenGL context (unless the environment
    /// says KX_VIDEO_DRAWING=software), else by Qt's own painting.
    std::shared_ptr<voip::VideoOutput> showPictures();
    /// The widget that draws them (a GlPictureWidget or a PictureWidget), or null.
    QWidget* pictures() const { return pictures_; }
    QFrame* frame() const { return frame_; }
    QWidget* container() const { return container_; }
    /// Keeps the picture in the area this widget has now, in the window, however the
    /// widget grows (a toolbar hiding beside it), until told otherwise.
    void holdPlace(bool hold);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    void fit();
    void centre();
    /// Where the picture may go: the whole widget, or the part of it that holds its place.
    QRect area() const;

    UiContext& context_;
    QFrame* frame_ = nullptr;
    QWidget* container_ = nullptr;
    QWidget* pictures_ = nullptr;
    std::shared_ptr<voip::VideoOutput> picturesOutput_;
    std::optional<QRect> held_;    // in the window's coordinates, until the widget grows
    std::optional<QMargins> kept_; // then what it grew by, kept free as the window resizes
};
