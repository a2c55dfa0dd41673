#pragma once

#include <memory>
#include <vector>

#include <QOpenGLFunctions>
#include <QOpenGLWidget>

#include "voip/device/videooutput.h"

class QOpenGLShaderProgram;

/// The display's pictures put together and drawn by the GPU: the display thread hands
/// over a scene (the background, the far end's and the local picture, each with its place
/// on the canvas), sharing its pictures without a copy; at the next paint the GUI thread
/// uploads the three planes of each picture that changed as textures, and a shader turns
/// them into colour while drawing each at its place, scaled by the GPU. So the processor
/// neither composes, converts nor scales for the view; a still picture is uploaded once.
class GlPictureWidget : public QOpenGLWidget, protected QOpenGLFunctions
{
    Q_OBJECT

public:
    explicit GlPictureWidget(QWidget* parent = nullptr);
    ~GlPictureWidget() override;

    /// What the display writes to; it may outlive the widget.
    std::shared_ptr<voip::VideoOutput> output() const;
    unsigned long long painted() const { return painted_; }
    /// Pictures uploaded to the GPU so far.
    unsigned long long uploads() const { return uploads_; }

    /// Whether this session can give the widget an OpenGL context at all (asked once).
    static bool available();
    /// What draws for OpenGL here (its GL_RENDERER), empty without a context (asked once).
    static QString renderer();
    /// Whether a renderer is one of Mesa's that draw on the processor (llvmpipe, softpipe,
    /// swrast): drawing video through it costs several times what Qt's own painting does.
    static bool drawsOnProcessor(const QString& renderer);
    /// Whether the machine has a GPU to render with (a DRM render node).
    static bool gpuPresent();
    /// Why OpenGL is not even tried for the drawing `asked` for (KX_VIDEO_DRAWING): asked
    /// for software, or no GPU unless OpenGL itself is asked for; empty when it may be.
    /// Known before Qt starts, so that no GL driver is loaded where it would not be used.
    static QString notTried(const QByteArray& asked);

protected:
    void initializeGL() override;
    void paintGL() override;

private:
    struct Shared;
    class Output;
    /// The textures of one layer, and the picture they hold.
    struct Slot
    {
        unsigned textures[3] = {0, 0, 0};
        unsigned width = 0;
        unsigned height = 0;
        std::shared_ptr<const voip::VideoFrame> picture;
    };
    void upload(Slot& slot, const std::shared_ptr<const voip::VideoFrame>& picture);

    std::shared_ptr<Shared> shared_;
    std::shared_ptr<Output> output_;
    std::unique_ptr<QOpenGLShaderProgram> program_;
    std::vector<Slot> slots_;
    voip::VideoScene scene_; // the scene painted last
    bool ready_ = false;
    unsigned long long painted_ = 0;
    unsigned long long uploads_ = 0;
};
