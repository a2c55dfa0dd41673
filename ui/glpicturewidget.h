#pragma once

#include <memory>

#include <QOpenGLFunctions>
#include <QOpenGLWidget>

class QOpenGLShaderProgram;

namespace voip {
class VideoOutput;
}

/// The display's pictures drawn by the GPU: the display thread hands over each new I420
/// picture as it is (one copy), the GUI thread uploads its three planes as textures at
/// the next paint and a shader turns them into colour while drawing, so the processor
/// neither converts nor scales. The top-left part of the picture as large as the widget
/// is drawn (the display composes its view there), as by PictureWidget.
class GlPictureWidget : public QOpenGLWidget, protected QOpenGLFunctions
{
    Q_OBJECT

public:
    explicit GlPictureWidget(QWidget* parent = nullptr);
    ~GlPictureWidget() override;

    /// What the display writes to; it may outlive the widget.
    std::shared_ptr<voip::VideoOutput> output() const;
    unsigned long long painted() const { return painted_; }

    /// Whether this session can give the widget an OpenGL context at all (asked once).
    static bool available();

protected:
    void initializeGL() override;
    void paintGL() override;

private:
    struct Shared;
    class Output;
    void upload();

    std::shared_ptr<Shared> shared_;
    std::shared_ptr<Output> output_;
    std::unique_ptr<QOpenGLShaderProgram> program_;
    unsigned textures_[3] = {0, 0, 0};
    unsigned textureWidth_ = 0;
    unsigned textureHeight_ = 0;
    bool ready_ = false;
    unsigned long long painted_ = 0;
};
