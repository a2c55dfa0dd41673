#include "ui/glpicturewidget.h"

#include <cstring>
#include <iostream>
#include <vector>

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

struct GlPictureWidget::Shared : PictureHandoff<voip::VideoFrame>
{
};

class GlPictureWidget::Output final : public voip::VideoOutput
{
public:
    explicit Output(std::shared_ptr<Shared> shared)
        : shared_(std::move(shared))
    {}

    void showFrame(const voip::VideoFrame& frame) override
    {
        if (!drawablePicture(frame))
            return;
        std::lock_guard lock(shared_->mutex);
        shared_->latest.width = frame.width;
        shared_->latest.height = frame.height;
        shared_->latest.data.assign(frame.data.begin(), frame.data.end());
        shared_->askRepaint();
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
        glDeleteTextures(3, textures_);
        program_.reset();
        doneCurrent();
    }
}

bool GlPictureWidget::available()
{
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return false;
    static const bool usable = [] {
        QOpenGLContext context;
        if (!context.create())
            return false;
        QOffscreenSurface surface;
        surface.setFormat(context.format());
        surface.create();
        return surface.isValid() && context.makeCurrent(&surface);
    }();
    return usable;
}

std::shared_ptr<voip::VideoOutput> GlPictureWidget::output() const
{
    return output_;
}

void GlPictureWidget::initializeGL()
{
    initializeOpenGLFunctions();
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
    glGenTextures(3, textures_);
    for (unsigned texture : textures_) {
        glBindTexture(GL_TEXTURE_2D, texture);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    }
    textureWidth_ = textureHeight_ = 0;
    ready_ = true;
}

void GlPictureWidget::upload()
{
    std::lock_guard lock(shared_->mutex);
    shared_->repaintAsked = false;
    if (!shared_->fresh)
        return;
    shared_->fresh = false;
    const voip::VideoFrame& frame = shared_->latest;
    const bool resized = frame.width != textureWidth_ || frame.height != textureHeight_;
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    for (int plane = 0; plane < 3; ++plane) {
        glBindTexture(GL_TEXTURE_2D, textures_[plane]);
        const int width = int(frame.stride(plane));
        const int height = int(frame.planeHeight(plane));
        if (resized)
            glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, width, height, 0, GL_LUMINANCE,
                         GL_UNSIGNED_BYTE, frame.plane(plane));
        else
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, GL_LUMINANCE,
                            GL_UNSIGNED_BYTE, frame.plane(plane));
    }
    textureWidth_ = frame.width;
    textureHeight_ = frame.height;
}

void GlPictureWidget::paintGL()
{
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    if (!ready_ || !program_)
        return;
    upload();
    if (textureWidth_ == 0 || width() <= 0 || height() <= 0)
        return;
    // The picture's top-left part, pixel for pixel, as far as the widget reaches.
    const float shownWidth = float(std::min<unsigned>(unsigned(width()), textureWidth_));
    const float shownHeight = float(std::min<unsigned>(unsigned(height()), textureHeight_));
    const float right = -1.0f + 2.0f * shownWidth / float(width());
    const float bottom = 1.0f - 2.0f * shownHeight / float(height());
    const float s = shownWidth / float(textureWidth_);
    const float t = shownHeight / float(textureHeight_);
    const GLfloat positions[] = {-1.0f, 1.0f, right, 1.0f, -1.0f, bottom, right, bottom};
    const GLfloat coordinates[] = {0.0f, 0.0f, s, 0.0f, 0.0f, t, s, t};

    program_->bind();
    for (int plane = 0; plane < 3; ++plane) {
        glActiveTexture(GL_TEXTURE0 + unsigned(plane));
        glBindTexture(GL_TEXTURE_2D, textures_[plane]);
    }
    program_->setUniformValue("planeY", 0);
    program_->setUniformValue("planeU", 1);
    program_->setUniformValue("planeV", 2);
    program_->enableAttributeArray(0);
    program_->enableAttributeArray(1);
    program_->setAttributeArray(0, GL_FLOAT, positions, 2);
    program_->setAttributeArray(1, GL_FLOAT, coordinates, 2);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    program_->disableAttributeArray(0);
    program_->disableAttributeArray(1);
    program_->release();
    glActiveTexture(GL_TEXTURE0);
    ++painted_;
}
