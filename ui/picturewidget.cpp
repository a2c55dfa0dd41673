#include "ui/picturewidget.h"

#include <libyuv/convert_argb.h>

#include <QPainter>

#include "ui/picturehandoff.h"
#include "voip/device/videooutput.h"

struct PictureWidget::Shared : PictureHandoff<QImage>
{
};

class PictureWidget::Output final : public voip::VideoOutput
{
public:
    explicit Output(std::shared_ptr<Shared> shared)
        : shared_(std::move(shared))
    {}

    void showFrame(const voip::VideoFrame& frame) override
    {
        if (!drawablePicture(frame))
            return;
        // Converted here, on the display's thread, into a picture of our own; the one the
        // GUI thread may be drawing is swapped, not written.
        if (converted_.width() != int(frame.width) || converted_.height() != int(frame.height))
            converted_ = QImage(int(frame.width), int(frame.height), QImage::Format_RGB32);
        else
            converted_.detach();
        libyuv::I420ToARGB(frame.plane(0), int(frame.stride(0)), frame.plane(1),
                           int(frame.stride(1)), frame.plane(2), int(frame.stride(2)),
                           converted_.bits(), int(converted_.bytesPerLine()), int(frame.width),
                           int(frame.height));
        std::lock_guard lock(shared_->mutex);
        std::swap(shared_->latest, converted_);
        shared_->askRepaint();
    }

private:
    std::shared_ptr<Shared> shared_;
    QImage converted_;
};

PictureWidget::PictureWidget(QWidget* parent)
    : QWidget(parent)
    , shared_(std::make_shared<Shared>())
{
    setObjectName("pictureWidget");
    setAttribute(Qt::WA_OpaquePaintEvent);
    shared_->widget = this;
    output_ = std::make_shared<Output>(shared_);
}

PictureWidget::~PictureWidget()
{
    shared_->forget();
}

std::shared_ptr<voip::VideoOutput> PictureWidget::output() const
{
    return output_;
}

QImage PictureWidget::picture() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->latest.copy();
}

void PictureWidget::paintEvent(QPaintEvent*)
{
    QImage picture;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->repaintAsked = false;
        picture = shared_->latest; // shared, not copied: the display swaps in a new one
    }
    QPainter painter(this);
    if (picture.isNull()) {
        painter.fillRect(rect(), Qt::black);
        return;
    }
    // The display composes its view in the picture's top-left part, at the widget's size.
    const QRect shown = rect().intersected(picture.rect());
    painter.drawImage(shown.topLeft(), picture, shown);
    if (shown != rect()) {
        const QRegion rest = QRegion(rect()) - QRegion(shown);
        for (const QRect& part : rest)
            painter.fillRect(part, Qt::black);
    }
    ++painted_;
}
