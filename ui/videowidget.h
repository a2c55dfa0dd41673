#pragma once

#include <memory>

#include <QWidget>

#include "ui/uicontext.h"

class QFrame;
class PictureWidget;
namespace voip {
class VideoOutput;
}

/// Where the display's output shows: a frame ("frameVideo", with a 3-pixel border) holding
/// the display's native window, kept at the largest 16:9 size that fits and centred.  The
/// display's own thread draws into that window: nothing of the video passes through the
/// GUI thread.  Where no native window can be embedded (Wayland, offscreen), the frame
/// holds a PictureWidget that Qt draws instead.
class VideoWidget : public QWidget
{
    Q_OBJECT

public:
    explicit VideoWidget(UiContext& context, QWidget* parent = nullptr);

    /// Puts the native window `window` inside the frame; false when this platform cannot
    /// embed one (then the frame stays empty).
    bool embed(unsigned long window);
    /// Shows the display's pictures drawn by Qt (where no native window can be embedded)
    /// and gives what the display writes to; the same output on every call.
    std::shared_ptr<voip::VideoOutput> showPictures();
    PictureWidget* pictures() const { return pictures_; }
    QFrame* frame() const { return frame_; }
    QWidget* container() const { return container_; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    void fit();
    void centre();

    UiContext& context_;
    QFrame* frame_ = nullptr;
    QWidget* container_ = nullptr;
    PictureWidget* pictures_ = nullptr;
};
