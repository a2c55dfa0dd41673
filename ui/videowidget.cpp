#include "ui/videowidget.h"

#include <iostream>

#include <QFrame>
#include <QResizeEvent>

#include "KxPhone/kxmanager.h"
#include "ui/glpicturewidget.h"
#include "ui/picturewidget.h"

VideoWidget::VideoWidget(UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context)
{
    setObjectName("videoWidget");
    frame_ = new QFrame(this);
    frame_->setObjectName("frameVideo");
    frame_->setStyleSheet("QFrame#frameVideo{border: 3px solid rgba(16,34,43,0.7);}");
    setContentsMargins(0, 0, 0, 0);
}

void VideoWidget::refit()
{
    if (container_)
        fit();
}

std::shared_ptr<voip::VideoOutput> VideoWidget::showPictures()
{
    if (!pictures_) {
        // OpenGL where a GPU renders it: through Mesa's processor renderers a call costs
        // ten times Qt's own painting (117 % of a core against 9.5 %), so those are taken
        // only when asked for (KX_VIDEO_DRAWING=opengl).
        const QByteArray asked = qgetenv("KX_VIDEO_DRAWING");
        QString why = GlPictureWidget::notTried(asked);
        if (why.isEmpty()) {
            const QString renderer = GlPictureWidget::renderer();
            if (renderer.isEmpty())
                why = "no OpenGL context";
            else if (asked != "opengl" && GlPictureWidget::drawsOnProcessor(renderer))
                why = "OpenGL is drawn by the processor: " + renderer;
        }
        if (why.isEmpty()) {
            auto* gl = new GlPictureWidget(frame_);
            picturesOutput_ = gl->output();
            pictures_ = gl;
            std::cout << "Video drawing: OpenGL (" << GlPictureWidget::renderer().toStdString()
                      << ")" << std::endl;
        } else {
            auto* painted = new PictureWidget(frame_);
            picturesOutput_ = painted->output();
            pictures_ = painted;
            std::cout << "Video drawing: software (" << why.toStdString() << ")" << std::endl;
        }
        // The mouse over the video brings the in-call toolbar back (the window watches).
        pictures_->setMouseTracking(true);
        container_ = pictures_;
        fit();
        container_->show();
    }
    return picturesOutput_;
}

void VideoWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (held_ && !kept_) {
        // The first growth is the toolbar's place: kept free from now on, so that a
        // window resized meanwhile still gets a picture to its measure.
        const QRect now = area();
        kept_ =
            QMargins(now.left(), now.top(), width() - 1 - now.right(), height() - 1 - now.bottom());
    }
    fit();
}

void VideoWidget::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    centre();
}

void VideoWidget::holdPlace(bool hold)
{
    if (hold == held_.has_value())
        return;
    kept_.reset();
    if (hold)
        held_ = QRect(mapTo(window(), QPoint()), size());
    else
        held_.reset();
    fit();
}

QRect VideoWidget::area() const
{
    if (kept_)
        return rect().marginsRemoved(*kept_);
    if (!held_)
        return rect();
    // Where the held area lies in this widget now, within it.
    return QRect(held_->topLeft() - mapTo(window(), QPoint()), held_->size()).intersected(rect());
}

void VideoWidget::fit()
{
    const QRect room = area();
    const auto [width, height] = KxDisplay::fitOutputSize(
        unsigned(std::max(0, room.width() - 10)), unsigned(std::max(0, room.height() - 10)));
    if (container_) {
        // Told every time: the manager may not have existed when the size last changed.
        if (KxManager* manager = context_.manager())
            manager->resizeOutput(width, height);
        if (container_->width() != int(width) || container_->height() != int(height))
            container_->resize(int(width), int(height));
    }
    frame_->resize(int(width) + 6, int(height) + 6);
    centre();
}

void VideoWidget::centre()
{
    const QRect room = area();
    frame_->move(room.left() + std::max(0, (room.width() - frame_->width()) / 2),
                 room.top() + std::max(0, (room.height() - frame_->height()) / 2));
    if (container_)
        container_->move(3, 3);
}
