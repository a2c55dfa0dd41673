#pragma once

#include <mutex>

#include <QMetaObject>
#include <QWidget>

#include "voip/device/videoframe.h"

/// What the display's thread hands a widget that draws its pictures: the latest picture
/// under a lock, and one repaint asked of the widget at a time, posted only while the
/// widget lives (its destructor calls forget; a widget deleted after a post takes its
/// posted events with it).
template <typename Picture> struct PictureHandoff
{
    std::mutex mutex;
    QWidget* widget = nullptr;
    Picture latest{};
    bool fresh = false;
    bool repaintAsked = false;

    /// With `mutex` held, once `latest` has been replaced.
    void askRepaint()
    {
        fresh = true;
        if (widget && !repaintAsked) {
            repaintAsked = true;
            QMetaObject::invokeMethod(widget, "update", Qt::QueuedConnection);
        }
    }
    void forget()
    {
        std::lock_guard lock(mutex);
        widget = nullptr;
    }
};

/// Whether a picture handed over can be drawn: a sane size, and as many octets as I420
/// of that size has.
inline bool drawablePicture(const voip::VideoFrame& frame)
{
    return frame.width >= 2 && frame.height >= 2 && frame.width <= 8192 && frame.height <= 8192 &&
           frame.data.size() == voip::VideoFrame::sizeFor(frame.width, frame.height);
}
