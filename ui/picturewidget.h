#pragma once

#include <memory>

#include <QImage>
#include <QWidget>

namespace voip {
class VideoOutput;
}

/// The display's pictures drawn by Qt itself, for sessions where the display's own X11
/// window cannot be embedded (a Wayland session, Qt's offscreen platform). The display
/// thread turns each new picture into RGB (libyuv) and asks for a repaint; the GUI thread
/// draws the latest at its next paint, the top-left part of the picture as large as the
/// widget (the display composes its view there). Pictures that come faster than the
/// window paints are dropped, never queued.
class PictureWidget : public QWidget
{
    Q_OBJECT

public:
    explicit PictureWidget(QWidget* parent = nullptr);
    ~PictureWidget() override;

    /// What the display writes to; it may outlive the widget (then pictures go nowhere).
    std::shared_ptr<voip::VideoOutput> output() const;
    /// The latest picture handed over (a copy), null before the first.
    QImage picture() const;
    /// Pictures painted so far.
    unsigned long long painted() const { return painted_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Shared;
    class Output;
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<Output> output_;
    unsigned long long painted_ = 0;
};
