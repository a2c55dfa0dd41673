#include "ui/glpicturewidget.h"

#include <cstring>
#include <iostream>
#include <vector>

#include <QDir>
#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLShaderProgram>

#include "ui/picturehandoff.h"
#include "voip/device/videooutput.h"

namespace {

const char* const VertexShader = R"(
attribute vec2 position;
attribute vec2 coordinate;
varying vec2 at;
void main()
{
    at = coordinate;
    gl_Position = vec4(position, 0.0, 1.0);
}
)";

// Video-range BT.601, as the display's pictures are (libyuv's and x264's default).
const char* const FragmentShader = R"(
#ifdef GL_ES
precision mediump float;
#endif
uniform sampler2D planeY;
uniform sampler2D planeU;
uniform sampler2D planeV;
varying vec2 at;
void main()
{
    float y = 1.16438 * (texture2D(planeY, at).r - 0.0625);
    float u = texture2D(planeU, at).r - 0.5;
    float v = texture2D(planeV, at).r - 0.5;
    gl_FragColor = vec4(y + 1.59603 * v, y - 0.39176 * u - 0.81297 * v, y + 2.01723 * u, 1.0);
}
)";

} // namespace

struct GlPictureWidget::Shared : PictureHandoff<voip::VideoScene>
{
};

class GlPictureWidget::Output final : public voip::VideoOutput
{
public:
    explicit Output(std::shared_ptr<Shared> shared)
        : shared_(std::move(shared))
    {}

    bool drawsScenes() const override { return true; }

    void showScene(const voip::VideoScene& scene) override
    {
        if (scene.width == 0 || scene.height == 0)
            return;
        for (const auto& layer : scene.layers)
            if (!layer.picture || !drawablePicture(*layer.picture) || layer.partWidth == 0 ||
                layer.partHeight == 0 || layer.partX + layer.partWidth > layer.picture->width ||
                layer.partY + layer.partHeight > layer.picture->height)
                return;
        // The pictures are shared, not copied: the display never writes one it handed over.
        std::lock_guard lock(shared_->mutex);
        shared_->latest = scene;
        shared_->askRepaint();
    }

    void showFrame(const voip::VideoFrame& frame) override
    {
        if (!drawablePicture(frame))
            return;
        const auto picture = std::make_shared<const voip::VideoFrame>(frame);
        showScene({frame.width,
                   frame.height,
                   {{picture, 0, 0, frame.width, frame.height, 0, 0, frame.width, frame.height}}});
    }

private:
    std::shared_ptr<Shared> shared_;
};

GlPictureWidget::GlPictureWidget(QWidget* parent)
    : QOpenGLWidget(parent)
    , shared_(std::make_shared<Shared>())
{
    setObjectName("glPictureWidget");
    shared_->widget = this;
    output_ = std::make_shared<Output>(shared_);
}

GlPictureWidget::~GlPictureWidget()
{
    shared_->forget();
    if (ready_ && context()) {
        makeCurrent();
        for (auto& slot : slots_)
            glDeleteTextures(3, slot.textures);
        program_.reset();
        doneCurrent();
    }
}

bool GlPictureWidget::available()
{
    return !renderer().isEmpty();
}

QString GlPictureWidget::renderer()
{
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return {};
    static const QString name = [] {
        QOpenGLContext context;
        if (!context.create())
            return QString();
        QOffscreenSurface surface;
        surface.setFormat(context.format());
        surface.create();
        if (!surface.isValid() || !context.makeCurrent(&surface))
            return QString();
        const auto* text =
            reinterpret_cast<const char*>(context.functions()->glGetString(GL_RENDERER));
        QString result = text && *text ? QString::fromUtf8(text) : QStringLiteral("unnamed");
        context.doneCurrent();
        return result;
    }();
    return name;
}

bool GlPictureWidget::drawsOnProcessor(const QString& renderer)
{
    for (const char* name : {"llvmpipe", "softpipe", "Software Rasterizer", "swrast"})
        if (renderer.contains(QLatin1String(name), Qt::CaseInsensitive))
            return true;
    return false;
}

bool GlPictureWidget::gpuPresent()
{
    const QDir nodes(QStringLiteral("/dev/dri"), QStringLiteral("renderD*"), QDir::Name,
                     QDir::System | QDir::Files);
    return !nodes.entryList().isEmpty();
}

QString GlPictureWidget::notTried(const QByteArray& asked)
{
    if (asked == "software")
        return QStringLiteral("KX_VIDEO_DRAWING=software");
    if (asked != "opengl" && !gpuPresent())
        return QStringLiteral("no GPU"); // and no GL driver loaded to find that out
    return {};
}

std::shared_ptr<voip::VideoOutput> GlPictureWidget::output() const
{
    return output_;
}

void GlPictureWidget::initializeGL()
{
    initializeOpenGLFunctions();
    // A context made again (the widget moved to another window) starts with no textures.
    slots_.clear();
    program_ = std::make_unique<QOpenGLShaderProgram>();
    const bool built = program_->addShaderFromSourceCode(QOpenGLShader::Vertex, VertexShader) &&
                       program_->addShaderFromSourceCode(QOpenGLShader::Fragment, FragmentShader);
    program_->bindAttributeLocation("position", 0);
    program_->bindAttributeLocation("coordinate", 1);
    if (!built || !program_->link()) {
        std::cerr << "Video drawing: the shader did not build: " << program_->log().toStdString()
                  << std::endl;
        program_.reset();
        return;
    }
    ready_ = true;
}

void GlPictureWidget::upload(Slot& slot, const std::shared_ptr<const voip::VideoFrame>& picture)
{
    if (slot.picture == picture)
        return; // the same picture as the last paint: on the GPU already
    if (slot.textures[0] == 0) {
        glGenTextures(3, slot.textures);
        for (unsigned texture : slot.textures) {
            glBindTexture(GL_TEXTURE_2D, texture);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        }
    }
    const voip::VideoFrame& frame = *picture;
    const bool resized = frame.width != slot.width || frame.height != slot.height;
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    for (int plane = 0; plane < 3; ++plane) {
        glBindTexture(GL_TEXTURE_2D, slot.textures[plane]);
        const int width = int(frame.stride(plane));
        const int height = int(frame.planeHeight(plane));
        if (resized)
            glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, width, height, 0, GL_LUMINANCE,
                         GL_UNSIGNED_BYTE, frame.plane(plane));
        else
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, GL_LUMINANCE,
                            GL_UNSIGNED_BYTE, frame.plane(plane));
    }
    slot.width = frame.width;
    slot.height = frame.height;
    slot.picture = picture;
    ++uploads_;
}

void GlPictureWidget::paintGL()
{
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    if (!ready_ || !program_)
        return;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->repaintAsked = false;
        if (shared_->fresh) {
            shared_->fresh = false;
            scene_ = shared_->latest;
        }
    }
    if (scene_.layers.empty() || width() <= 0 || height() <= 0)
        return;
    if (slots_.size() < scene_.layers.size())
        slots_.resize(scene_.layers.size());

    program_->bind();
    program_->setUniformValue("planeY", 0);
    program_->setUniformValue("planeU", 1);
    program_->setUniformValue("planeV", 2);
    program_->enableAttributeArray(0);
    program_->enableAttributeArray(1);
    // The canvas stretched over the whole widget; each layer over its rectangle of it.
    const float canvasWidth = float(scene_.width);
    const float canvasHeight = float(scene_.height);
    for (std::size_t index = 0; index < scene_.layers.size(); ++index) {
        const voip::VideoLayer& layer = scene_.layers[index];
        Slot& slot = slots_[index];
        upload(slot, layer.picture);
        const float left = -1.0f + 2.0f * float(layer.x) / canvasWidth;
        const float right = -1.0f + 2.0f * float(layer.x + layer.width) / canvasWidth;
        const float top = 1.0f - 2.0f * float(layer.y) / canvasHeight;
        const float bottom = 1.0f - 2.0f * float(layer.y + layer.height) / canvasHeight;
        const float s0 = float(layer.partX) / float(slot.width);
        const float s1 = float(layer.partX + layer.partWidth) / float(slot.width);
        const float t0 = float(layer.partY) / float(slot.height);
        const float t1 = float(layer.partY + layer.partHeight) / float(slot.height);
        const GLfloat positions[] = {left, top, right, top, left, bottom, right, bottom};
        const GLfloat coordinates[] = {s0, t0, s1, t0, s0, t1, s1, t1};
        for (int plane = 0; plane < 3; ++plane) {
            glActiveTexture(GL_TEXTURE0 + unsigned(plane));
            glBindTexture(GL_TEXTURE_2D, slot.textures[plane]);
        }
        program_->setAttributeArray(0, GL_FLOAT, positions, 2);
        program_->setAttributeArray(1, GL_FLOAT, coordinates, 2);
        glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    }
    program_->disableAttributeArray(0);
    program_->disableAttributeArray(1);
    program_->release();
    glActiveTexture(GL_TEXTURE0);
    // Slots past this scene's layers let their pictures go.
    for (std::size_t index = scene_.layers.size(); index < slots_.size(); ++index)
        slots_[index].picture.reset();
    ++painted_;
}
