#include "KxPhone/kxdisplay.h"

#include <algorithm>
#include <cstring>

#include <libyuv/convert.h>
#include <libyuv/scale.h>

#include <QImage>

#include "voip/base/trace.h"

namespace {

/// The three planes of an I420 picture held in a plain buffer.
struct Planes
{
    std::uint8_t* y;
    std::uint8_t* u;
    std::uint8_t* v;
    unsigned strideY;
    unsigned strideUV;
};

Planes planesOf(std::uint8_t* data, unsigned width, unsigned height)
{
    const unsigned strideUV = (width + 1) / 2;
    const std::size_t luma = std::size_t(width) * height;
    const std::size_t chroma = std::size_t(strideUV) * ((height + 1) / 2);
    return {data, data + luma, data + luma + chroma, width, strideUV};
}

std::size_t sizeOf(unsigned width, unsigned height)
{
    return voip::VideoFrame::sizeFor(width, height);
}

/// Copies the part of one plane that both pictures have, source from (sx, sy) to
/// destination at (dx, dy), `columns` x `rows`.
void copyPlane(const std::uint8_t* source, unsigned sourceStride, unsigned sx, unsigned sy,
               std::uint8_t* destination, unsigned destinationStride, unsigned dx, unsigned dy,
               unsigned columns, unsigned rows)
{
    for (unsigned row = 0; row < rows; ++row)
        std::memcpy(destination + std::size_t(dy + row) * destinationStride + dx,
                    source + std::size_t(sy + row) * sourceStride + sx, columns);
}

/// The middle of the source over the middle of the destination, unscaled: a larger source
/// loses equal strips, a smaller one sits centred on black.
void copyCentred(const std::uint8_t* source, unsigned sourceWidth, unsigned sourceHeight,
                 std::uint8_t* destination, unsigned destinationWidth, unsigned destinationHeight)
{
    const auto from = planesOf(const_cast<std::uint8_t*>(source), sourceWidth, sourceHeight);
    const auto to = planesOf(destination, destinationWidth, destinationHeight);
    if (sourceWidth < destinationWidth || sourceHeight < destinationHeight) {
        std::memset(to.y, 16, std::size_t(destinationWidth) * destinationHeight);
        std::memset(to.u, 128, std::size_t(to.strideUV) * ((destinationHeight + 1) / 2) * 2);
    }
    // Even offsets, so that the chroma planes move by whole samples.
    auto offsets = [](unsigned source, unsigned destination) {
        const unsigned half = (std::max(source, destination) - std::min(source, destination)) / 2;
        const unsigned even = half & ~1u;
        return source > destination ? std::pair{even, 0u} : std::pair{0u, even};
    };
    const auto [sx, dx] = offsets(sourceWidth, destinationWidth);
    const auto [sy, dy] = offsets(sourceHeight, destinationHeight);
    const unsigned columns = std::min(sourceWidth, destinationWidth);
    const unsigned rows = std::min(sourceHeight, destinationHeight);
    copyPlane(from.y, from.strideY, sx, sy, to.y, to.strideY, dx, dy, columns, rows);
    copyPlane(from.u, from.strideUV, sx / 2, sy / 2, to.u, to.strideUV, dx / 2, dy / 2,
              (columns + 1) / 2, (rows + 1) / 2);
    copyPlane(from.v, from.strideUV, sx / 2, sy / 2, to.v, to.strideUV, dx / 2, dy / 2,
              (columns + 1) / 2, (rows + 1) / 2);
}

/// Near-black grey (red, green and blue 10) in video-range YUV.
constexpr std::uint8_t GreyY = 25;
constexpr std::uint8_t GreyUV = 128;

void fillGrey(std::vector<std::uint8_t>& picture, unsigned width, unsigned height)
{
    picture.assign(sizeOf(width, height), GreyUV);
    std::fill(picture.begin(), picture.begin() + std::ptrdiff_t(std::size_t(width) * height),
              GreyY);
}

std::shared_ptr<const voip::VideoFrame> sharedPicture(const std::uint8_t* data, unsigned width,
                                                      unsigned height)
{
    auto picture = std::make_shared<voip::VideoFrame>();
    picture->width = width;
    picture->height = height;
    picture->data.assign(data, data + sizeOf(width, height));
    return picture;
}

std::shared_ptr<const voip::VideoFrame> greyPicture(unsigned width, unsigned height)
{
    auto picture = std::make_shared<voip::VideoFrame>();
    picture->width = width;
    picture->height = height;
    fillGrey(picture->data, width, height);
    return picture;
}

} // namespace

// --- the layout ---

KxLayout KxLayout::make(int layout, int pip, bool presentationActive, const KxLayout& previous)
{
    static constexpr unsigned PipWidth = 256, PipHeight = 144;
    KxRect pipRect;
    switch (pip) {
    case 1:
        pipRect = {1024, 10, PipWidth, PipHeight};
        break;
    case 2:
        pipRect = {1024, 566, PipWidth, PipHeight};
        break;
    case 3:
        pipRect = {0, 566, PipWidth, PipHeight};
        break;
    case 4:
        pipRect = {0, 10, PipWidth, PipHeight};
        break;
    default:
        break;
    }
    if (layout < 0 || layout > 3)
        layout = 0;
    if (layout == 3 && !presentationActive)
        layout = 1;
    KxLayout result = previous;
    result.number = layout;
    const KxRect full{0, 0, 1280, 720};
    switch (layout) {
    case 0:
        result.local = {8, 120, 628, 480};
        result.remote = {644, 120, 628, 480};
        result.first = Picture::Remote;
        result.second = Picture::Local;
        break;
    case 1:
        result.local = pipRect;
        result.remote = full;
        result.first = Picture::Remote;
        result.second = Picture::Local;
        break;
    case 2:
        result.local = full;
        result.remote = pipRect;
        result.first = Picture::Local;
        result.second = Picture::Remote;
        break;
    case 3:
        result.remote = pipRect;
        result.content = full;
        result.first = Picture::Content;
        result.second = Picture::Remote;
        break;
    }
    return result;
}

// --- picture helpers ---

void KxDisplay::scaleI420(const std::uint8_t* source, std::uint8_t* destination,
                          unsigned sourceWidth, unsigned sourceHeight, unsigned destinationWidth,
                          unsigned destinationHeight, int filter)
{
    if (!source || !destination || sourceWidth == 0 || sourceHeight == 0 || destinationWidth == 0 ||
        destinationHeight == 0)
        return;
    if (sourceWidth == destinationWidth && sourceHeight == destinationHeight) {
        std::memcpy(destination, source, sizeOf(sourceWidth, sourceHeight));
        return;
    }
    const auto from = planesOf(const_cast<std::uint8_t*>(source), sourceWidth, sourceHeight);
    const auto to = planesOf(destination, destinationWidth, destinationHeight);
    libyuv::I420Scale(from.y, int(from.strideY), from.u, int(from.strideUV), from.v,
                      int(from.strideUV), int(sourceWidth), int(sourceHeight), to.y,
                      int(to.strideY), to.u, int(to.strideUV), to.v, int(to.strideUV),
                      int(destinationWidth), int(destinationHeight),
                      static_cast<libyuv::FilterMode>(std::clamp(filter, 0, 3)));
}

void KxDisplay::scaleToFill(const std::uint8_t* source, std::uint8_t* destination,
                            unsigned sourceWidth, unsigned sourceHeight, unsigned destinationWidth,
                            unsigned destinationHeight, int filter)
{
    if (!source || !destination || sourceWidth == 0 || sourceHeight == 0 || destinationWidth == 0 ||
        destinationHeight == 0)
        return;
    if (sourceWidth == destinationWidth && sourceHeight == destinationHeight) {
        scaleI420(source, destination, sourceWidth, sourceHeight, destinationWidth,
                  destinationHeight, filter);
        return;
    }
    // Shapes compared to the hundredth.
    const unsigned a = 100 * sourceWidth / sourceHeight;
    const unsigned b = 100 * destinationWidth / destinationHeight;
    if (a == b) {
        scaleI420(source, destination, sourceWidth, sourceHeight, destinationWidth,
                  destinationHeight, filter);
        return;
    }
    if (sourceHeight == destinationHeight) {
        copyCentred(source, sourceWidth, sourceHeight, destination, destinationWidth,
                    destinationHeight);
        return;
    }
    // Scale the middle part of the source that has the destination's shape: the same as
    // scaling to cover and cropping, without the second picture and copy.
    const KxRect part = coverPart(sourceWidth, sourceHeight, destinationWidth, destinationHeight);
    const unsigned x = part.x, y = part.y, cropWidth = part.width, cropHeight = part.height;
    const auto from = planesOf(const_cast<std::uint8_t*>(source), sourceWidth, sourceHeight);
    const auto to = planesOf(destination, destinationWidth, destinationHeight);
    const std::size_t lumaAt = std::size_t(y) * from.strideY + x;
    const std::size_t chromaAt = std::size_t(y / 2) * from.strideUV + x / 2;
    libyuv::I420Scale(from.y + lumaAt, int(from.strideY), from.u + chromaAt, int(from.strideUV),
                      from.v + chromaAt, int(from.strideUV), int(cropWidth), int(cropHeight), to.y,
                      int(to.strideY), to.u, int(to.strideUV), to.v, int(to.strideUV),
                      int(destinationWidth), int(destinationHeight),
                      static_cast<libyuv::FilterMode>(std::clamp(filter, 0, 3)));
}

KxRect KxDisplay::fitPart(unsigned sourceWidth, unsigned sourceHeight, unsigned destinationWidth,
                          unsigned destinationHeight)
{
    if (sourceWidth == 0 || sourceHeight == 0 || destinationWidth < 2 || destinationHeight < 2)
        return {0, 0, destinationWidth, destinationHeight};
    unsigned width = destinationWidth, height = destinationHeight;
    if (std::uint64_t(destinationWidth) * sourceHeight > std::uint64_t(sourceWidth) * destinationHeight)
        width = unsigned(std::uint64_t(sourceWidth) * destinationHeight / sourceHeight);
    else
        height = unsigned(std::uint64_t(sourceHeight) * destinationWidth / sourceWidth);
    width = std::clamp(width & ~1u, 2u, destinationWidth & ~1u);
    height = std::clamp(height & ~1u, 2u, destinationHeight & ~1u);
    return {((destinationWidth - width) / 2) & ~1u, ((destinationHeight - height) / 2) & ~1u,
            width, height};
}

void KxDisplay::scaleToFit(const std::uint8_t* source, std::uint8_t* destination,
                           unsigned sourceWidth, unsigned sourceHeight, unsigned destinationWidth,
                           unsigned destinationHeight, int filter)
{
    if (!source || !destination || sourceWidth == 0 || sourceHeight == 0 || destinationWidth == 0 ||
        destinationHeight == 0)
        return;
    const KxRect part = fitPart(sourceWidth, sourceHeight, destinationWidth, destinationHeight);
    const auto to = planesOf(destination, destinationWidth, destinationHeight);
    if (part.width != destinationWidth || part.height != destinationHeight) {
        std::memset(to.y, 16, std::size_t(destinationWidth) * destinationHeight);
        std::memset(to.u, 128, std::size_t(to.strideUV) * ((destinationHeight + 1) / 2) * 2);
    }
    const auto from = planesOf(const_cast<std::uint8_t*>(source), sourceWidth, sourceHeight);
    const std::size_t lumaAt = std::size_t(part.y) * to.strideY + part.x;
    const std::size_t chromaAt = std::size_t(part.y / 2) * to.strideUV + part.x / 2;
    libyuv::I420Scale(from.y, int(from.strideY), from.u, int(from.strideUV), from.v,
                      int(from.strideUV), int(sourceWidth), int(sourceHeight), to.y + lumaAt,
                      int(to.strideY), to.u + chromaAt, int(to.strideUV), to.v + chromaAt,
                      int(to.strideUV), int(part.width), int(part.height),
                      static_cast<libyuv::FilterMode>(std::clamp(filter, 0, 3)));
}

KxRect KxDisplay::coverPart(unsigned sourceWidth, unsigned sourceHeight,
                            unsigned destinationWidth, unsigned destinationHeight)
{
    if (sourceWidth < 2 || sourceHeight < 2 || destinationWidth == 0 || destinationHeight == 0)
        return {0, 0, sourceWidth, sourceHeight};
    unsigned cropWidth = sourceWidth, cropHeight = sourceHeight;
    // Which of the two is wider, compared without rounding.
    if (std::uint64_t(destinationWidth) * sourceHeight > std::uint64_t(sourceWidth) * destinationHeight)
        cropHeight = unsigned(std::uint64_t(sourceWidth) * destinationHeight / destinationWidth);
    else
        cropWidth = unsigned(std::uint64_t(sourceHeight) * destinationWidth / destinationHeight);
    cropWidth = std::clamp(cropWidth & ~1u, 2u, sourceWidth & ~1u);
    cropHeight = std::clamp(cropHeight & ~1u, 2u, sourceHeight & ~1u);
    return {((sourceWidth - cropWidth) / 2) & ~1u, ((sourceHeight - cropHeight) / 2) & ~1u,
            cropWidth, cropHeight};
}

void KxDisplay::copyRect(const std::uint8_t* source, unsigned sourceWidth, unsigned sourceHeight,
                         std::uint8_t* destination, unsigned destinationWidth,
                         unsigned destinationHeight, unsigned x, unsigned y)
{
    if (!source || !destination || x >= destinationWidth || y >= destinationHeight)
        return;
    const auto from = planesOf(const_cast<std::uint8_t*>(source), sourceWidth, sourceHeight);
    const auto to = planesOf(destination, destinationWidth, destinationHeight);
    x &= ~1u;
    y &= ~1u;
    const unsigned columns = std::min(sourceWidth, destinationWidth - x);
    const unsigned rows = std::min(sourceHeight, destinationHeight - y);
    copyPlane(from.y, from.strideY, 0, 0, to.y, to.strideY, x, y, columns, rows);
    const unsigned chromaColumns = std::min((columns + 1) / 2, to.strideUV - x / 2);
    const unsigned chromaRows = std::min((rows + 1) / 2, (destinationHeight + 1) / 2 - y / 2);
    copyPlane(from.u, from.strideUV, 0, 0, to.u, to.strideUV, x / 2, y / 2, chromaColumns,
              chromaRows);
    copyPlane(from.v, from.strideUV, 0, 0, to.v, to.strideUV, x / 2, y / 2, chromaColumns,
              chromaRows);
}

void KxDisplay::rgbToI420(const std::uint8_t* rgb, std::uint8_t* destination, int bytesPerPixel,
                          bool blueFirst, unsigned width, unsigned height, bool flip)
{
    if (!rgb || !destination || width == 0 || height == 0 ||
        (bytesPerPixel != 3 && bytesPerPixel != 4))
        return;
    const auto to = planesOf(destination, width, height);
    const int stride = int(width) * bytesPerPixel;
    // A negative height reads the rows bottom-up.
    const int rows = flip ? -int(height) : int(height);
    using Convert = int (*)(const std::uint8_t*, int, std::uint8_t*, int, std::uint8_t*, int,
                            std::uint8_t*, int, int, int);
    // libyuv names formats by their order in a 32-bit word: ARGB is B, G, R, A in memory.
    const Convert convert = bytesPerPixel == 4
                                ? (blueFirst ? libyuv::ARGBToI420 : libyuv::ABGRToI420)
                                : (blueFirst ? libyuv::RGB24ToI420 : libyuv::RAWToI420);
    convert(rgb, stride, to.y, int(to.strideY), to.u, int(to.strideUV), to.v, int(to.strideUV),
            int(width), rows);
}

std::pair<unsigned, unsigned> KxDisplay::fitOutputSize(unsigned width, unsigned height)
{
    const unsigned n = std::min(width / 32, height / 18);
    return {32 * n, 18 * n};
}

std::vector<std::uint8_t> KxDisplay::pictureOf(const QImage& image, unsigned width, unsigned height)
{
    std::vector<std::uint8_t> picture;
    fillGrey(picture, width, height);
    if (image.isNull() || width == 0 || height == 0)
        return picture;
    const QImage scaled =
        image.scaled(int(width), int(height), Qt::IgnoreAspectRatio, Qt::FastTransformation)
            .convertToFormat(QImage::Format_RGB32);
    // RGB32 is a 32-bit word 0xffRRGGBB: blue first in memory on this little-endian machine.
    if (scaled.bytesPerLine() == int(width) * 4)
        rgbToI420(scaled.constBits(), picture.data(), 4, true, width, height, false);
    return picture;
}

// --- the loop ---

KxDisplay::KxDisplay(Hooks hooks)
    : hooks_(std::move(hooks))
{}

KxDisplay::~KxDisplay()
{
    stop();
}

void KxDisplay::start(std::shared_ptr<voip::VideoOutput> output, unsigned outputWidth,
                      unsigned outputHeight, std::vector<std::uint8_t> background,
                      std::vector<std::uint8_t> noInput)
{
    stop();
    output_ = std::move(output);
    outputWidth_ = std::max(32u, outputWidth);
    outputHeight_ = std::max(18u, outputHeight);
    const std::size_t size = sizeOf(outputWidth_, outputHeight_);
    background_ = std::move(background);
    noInput_ = std::move(noInput);
    if (background_.size() != size)
        fillGrey(background_, outputWidth_, outputHeight_);
    if (noInput_.size() != size)
        fillGrey(noInput_, outputWidth_, outputHeight_);
    scenes_ = output_ && output_->drawsScenes();
    backgroundPicture_ = sharedPicture(background_.data(), outputWidth_, outputHeight_);
    noInputPicture_ = sharedPicture(noInput_.data(), outputWidth_, outputHeight_);
    localPicture_ = noInputPicture_;
    scene_ = {CanvasWidth, CanvasHeight, {}};
    {
        std::lock_guard lock(displayMutex_);
        viewWidth_ = outputWidth_;
        viewHeight_ = outputHeight_;
        view_.assign(size, 0);
        sceneReady_ = false;
        display_ = voip::VideoFrame::black(outputWidth_, outputHeight_);
        local_ = noInput_;
        localIsNoInput_ = true;
        localWidth_ = outputWidth_;
        localHeight_ = outputHeight_;
        layoutChanged_ = true;
        dirty_ = true;
    }
    stop_ = false;
    thread_ = std::thread([this] { run(); });
}

void KxDisplay::stop()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(sleepMutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

KxLayout KxDisplay::applyLayout(int layout, int pip, bool presentationActive)
{
    std::lock_guard lock(displayMutex_);
    layout_ = KxLayout::make(layout, pip, presentationActive, layout_);
    layoutChanged_ = true;
    return layout_;
}

KxLayout KxDisplay::layout() const
{
    std::lock_guard lock(displayMutex_);
    return layout_;
}

bool KxDisplay::resizeOutput(unsigned width, unsigned height)
{
    std::lock_guard lock(displayMutex_);
    if ((width == viewWidth_ && height == viewHeight_) || width > outputWidth_ ||
        height > outputHeight_ || width < 2 || height < 2)
        return false;
    viewWidth_ = width & ~1u;
    viewHeight_ = height & ~1u;
    view_.assign(sizeOf(viewWidth_, viewHeight_), 0);
    dirty_ = true;
    sceneReady_ = false;
    return true;
}

std::pair<unsigned, unsigned> KxDisplay::viewSize() const
{
    std::lock_guard lock(displayMutex_);
    return {viewWidth_, viewHeight_};
}

void KxDisplay::resetVideoFrames(unsigned outgoingWidth, unsigned outgoingHeight)
{
    {
        std::lock_guard lock(outgoingMutex_);
        outgoingWidth_ = outgoingWidth & ~1u;
        outgoingHeight_ = outgoingHeight & ~1u;
        fillGrey(outgoing_, outgoingWidth_, outgoingHeight_);
        outgoingFresh_ = true;
        ++outgoingSerial_;
    }
    auto grey = greyPicture(CanvasWidth, CanvasHeight);
    {
        std::lock_guard lock(remoteMutex_);
        remote_ = grey;
        remoteFresh_ = true;
        remoteReceived_ = false;
    }
    {
        std::lock_guard lock(contentMutex_);
        content_ = grey;
        contentFresh_ = true;
    }
    std::lock_guard lock(displayMutex_);
    layoutChanged_ = true;
}

void KxDisplay::setOutgoingSize(unsigned width, unsigned height)
{
    std::lock_guard lock(outgoingMutex_);
    width &= ~1u;
    height &= ~1u;
    if (width == outgoingWidth_ && height == outgoingHeight_)
        return;
    outgoingWidth_ = width;
    outgoingHeight_ = height;
    fillGrey(outgoing_, width, height);
    outgoingFresh_ = true;
    ++outgoingSerial_;
}

void KxDisplay::readOutgoing(voip::VideoFrame& picture)
{
    std::lock_guard lock(outgoingMutex_);
    // The picture the reader already holds is not copied again.
    if (picture.serial == outgoingSerial_ && picture.width == outgoingWidth_ &&
        picture.height == outgoingHeight_ && picture.data.size() == outgoing_.size())
        return;
    picture.width = outgoingWidth_;
    picture.height = outgoingHeight_;
    picture.data = outgoing_;
    picture.serial = outgoingSerial_;
}

void KxDisplay::writeReceived(const voip::VideoFrame& picture, bool content)
{
    if (picture.width < 2 || picture.height < 2 || picture.width > 4096 || picture.height > 4096 ||
        picture.data.size() != sizeOf(picture.width, picture.height))
        return;
    // A picture of its own (the one copy), made before the lock is taken.
    auto copy = sharedPicture(picture.data.data(), picture.width, picture.height);
    std::mutex& mutex = content ? contentMutex_ : remoteMutex_;
    std::lock_guard lock(mutex);
    (content ? content_ : remote_) = std::move(copy);
    (content ? contentFresh_ : remoteFresh_) = true;
    if (!content)
        remoteReceived_ = true;
}

std::pair<unsigned, unsigned> KxDisplay::outgoingSize() const
{
    std::lock_guard lock(outgoingMutex_);
    return {outgoingWidth_, outgoingHeight_};
}

std::pair<unsigned, unsigned> KxDisplay::remoteSize() const
{
    std::lock_guard lock(remoteMutex_);
    if (!remoteReceived_ || !remote_)
        return {0, 0};
    return {remote_->width, remote_->height};
}

std::vector<double> KxDisplay::composeTimes() const
{
    std::lock_guard lock(timesMutex_);
    return composeTimes_;
}

void KxDisplay::run()
{
    voip::Trace::setThreadName("Thread Display");
    auto next = std::chrono::steady_clock::now();
    while (!stop_) {
        const bool call = hooks_.callActive && hooks_.callActive();
        if (!call && hooks_.windowHidden && hooks_.windowHidden() && active_) {
            active_ = false;
            if (hooks_.goingIdle)
                hooks_.goingIdle();
        }
        if (active_) {
            const auto began = std::chrono::steady_clock::now();
            const bool changed = compose();
            const double took =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began)
                    .count();
            if (changed) {
                std::lock_guard lock(timesMutex_);
                if (composeTimes_.size() >= 256)
                    composeTimes_.erase(composeTimes_.begin());
                composeTimes_.push_back(took);
            }
            // The output copies the picture for its own thread, or keeps the scene's
            // pictures (never written again); no lock is held here.
            if (output_ && changed) {
                if (scenes_)
                    output_->showScene(scene_);
                else
                    output_->showFrame(display_);
            }
            ++loops_;
        } else {
            std::lock_guard lock(displayMutex_);
            dirty_ = true; // shown again, it draws again
            sceneReady_ = false;
        }
        // Every 33 ms, catching up after a late loop but never with a burst.
        next += LoopInterval;
        const auto now = std::chrono::steady_clock::now();
        if (next < now - 3 * LoopInterval)
            next = now;
        std::unique_lock lock(sleepMutex_);
        wake_.wait_until(lock, next, [this] { return stop_.load(); });
    }
}

void KxDisplay::prepareOutgoing()
{
    std::lock_guard outgoing(outgoingMutex_);
    if (outgoingWidth_ == 0 || outgoingHeight_ == 0)
        return;
    outgoing_.resize(sizeOf(outgoingWidth_, outgoingHeight_));
    scaleToFill(local_.data(), outgoing_.data(), localWidth_, localHeight_, outgoingWidth_,
                outgoingHeight_);
    ++outgoingSerial_;
}

KxDisplay::SharedPicture KxDisplay::farPicture(KxLayout::Picture which) const
{
    if (which == KxLayout::Picture::Content) {
        std::lock_guard lock(contentMutex_);
        return content_;
    }
    std::lock_guard lock(remoteMutex_);
    return remote_;
}

void KxDisplay::buildScene(bool call, bool localChanged)
{
    if (localChanged)
        localPicture_ = localIsNoInput_ ? noInputPicture_
                                        : sharedPicture(local_.data(), localWidth_, localHeight_);
    auto layer = [](const SharedPicture& picture, const KxRect& rect) {
        const KxRect part = coverPart(picture->width, picture->height, rect.width, rect.height);
        return voip::VideoLayer{picture,   part.x, part.y,     part.width, part.height,
                                rect.x,    rect.y, rect.width, rect.height};
    };
    // A picture shown whole: its bars, then the whole picture over the part it fits.
    auto fitted = [this](const SharedPicture& picture, const KxRect& rect) {
        if (!blackPicture_) {
            auto black = std::make_shared<voip::VideoFrame>();
            black->width = black->height = 2;
            black->data = {16, 16, 16, 16, 128, 128};
            blackPicture_ = black;
        }
        scene_.layers.push_back(
            {blackPicture_, 0, 0, 2, 2, rect.x, rect.y, rect.width, rect.height});
        const KxRect part = fitPart(picture->width, picture->height, rect.width, rect.height);
        scene_.layers.push_back({picture, 0, 0, picture->width, picture->height,
                                 rect.x + part.x, rect.y + part.y, part.width, part.height});
    };
    const KxRect canvas{0, 0, CanvasWidth, CanvasHeight};
    scene_.layers.clear();
    if (!call) {
        scene_.layers.push_back(layer(localPicture_, canvas));
        return;
    }
    // The picture the encoder reads is made on this thread whatever draws the view.
    if (localChanged)
        prepareOutgoing();
    scene_.layers.push_back(layer(backgroundPicture_, canvas));
    for (const auto which : {layout_.first, layout_.second}) {
        const KxRect& rect = which == KxLayout::Picture::Local    ? layout_.local
                             : which == KxLayout::Picture::Remote ? layout_.remote
                                                                  : layout_.content;
        const SharedPicture picture = which == KxLayout::Picture::Local ? localPicture_
                                                                        : farPicture(which);
        if (rect.drawable() && picture && layout_.fits(which))
            fitted(picture, rect);
        else if (rect.drawable() && picture)
            scene_.layers.push_back(layer(picture, rect));
    }
}

KxRect KxDisplay::toView(const KxRect& rect) const
{
    if (!rect.drawable())
        return {};
    // Edges mapped, then even, so that neighbours stay neighbours and chroma lines up.
    auto x = [&](unsigned at) {
        return unsigned(std::uint64_t(at) * viewWidth_ / CanvasWidth) & ~1u;
    };
    auto y = [&](unsigned at) {
        return unsigned(std::uint64_t(at) * viewHeight_ / CanvasHeight) & ~1u;
    };
    const unsigned left = x(rect.x), top = y(rect.y);
    const unsigned right = std::min(x(rect.x + rect.width), viewWidth_);
    const unsigned bottom = std::min(y(rect.y + rect.height), viewHeight_);
    if (right <= left + 1 || bottom <= top + 1)
        return {};
    return {left, top, right - left, bottom - top};
}

bool KxDisplay::compose()
{
    std::lock_guard lock(displayMutex_);
    if (layoutChanged_) {
        // One picture of the background between layouts.
        if (scenes_)
            scene_.layers = {{backgroundPicture_, 0, 0, outputWidth_, outputHeight_, 0, 0,
                              CanvasWidth, CanvasHeight}};
        else
            display_.data = background_;
        sceneReady_ = false;
        layoutChanged_ = false;
        dirty_ = true;
        return true;
    }
    const LocalPicture grabbed =
        hooks_.grabLocal ? hooks_.grabLocal(local_, localWidth_, localHeight_) : LocalPicture::None;
    const bool call = hooks_.callActive && hooks_.callActive();
    // Only what changed is drawn again: a still picture (no source, an audio call) costs
    // the loop nothing until something new comes.
    bool changed = dirty_ || call != composedInCall_ || grabbed == LocalPicture::New;
    // The picture sent is made again only when the local picture changed (not for each
    // picture of the far end).
    bool localChanged = dirty_ || call != composedInCall_ || grabbed == LocalPicture::New;
    if (grabbed != LocalPicture::None)
        localIsNoInput_ = false;
    if ((grabbed == LocalPicture::None && !localIsNoInput_) ||
        local_.size() != sizeOf(localWidth_, localHeight_)) {
        local_ = noInput_;
        localWidth_ = outputWidth_;
        localHeight_ = outputHeight_;
        localIsNoInput_ = true;
        changed = true;
        localChanged = true;
    }
    if (call) {
        for (auto [mutex, fresh] : {std::pair{&remoteMutex_, &remoteFresh_},
                                    {&contentMutex_, &contentFresh_},
                                    {&outgoingMutex_, &outgoingFresh_}}) {
            std::lock_guard lock(*mutex);
            changed = changed || *fresh;
            localChanged = localChanged || (fresh == &outgoingFresh_ && *fresh);
            *fresh = false;
        }
    }
    if (!changed)
        return false;
    dirty_ = false;
    composedInCall_ = call;
    if (scenes_) {
        buildScene(call, localChanged);
        return true;
    }
    const bool viewIsOutput = viewWidth_ == outputWidth_ && viewHeight_ == outputHeight_;
    if (!call) {
        sceneReady_ = false; // the call's background is drawn again after this
        // The view straight into the output picture when it fills it.
        scaleToFill(local_.data(), viewIsOutput ? display_.data.data() : view_.data(), localWidth_,
                    localHeight_, viewWidth_, viewHeight_);
        if (viewIsOutput)
            return true;
    } else {
        if (localChanged)
            prepareOutgoing();
        // The pictures go straight to the view's size: each scaled once, from its own size
        // to its place in the view.  The background behind them is drawn once per layout
        // or view size; a picture that covers the whole view is scaled straight into it,
        // the others into their own buffers, then copied into place.
        std::uint8_t* target = viewIsOutput ? display_.data.data() : view_.data();
        if (!sceneReady_) {
            scaleI420(background_.data(), target, outputWidth_, outputHeight_, viewWidth_,
                      viewHeight_);
            sceneReady_ = true;
        }
        auto place = [&](KxLayout::Picture picture) {
            const KxRect rect = toView(picture == KxLayout::Picture::Local    ? layout_.local
                                       : picture == KxLayout::Picture::Remote ? layout_.remote
                                                                              : layout_.content);
            if (!rect.drawable())
                return;
            const bool whole = rect.width == viewWidth_ && rect.height == viewHeight_;
            auto& scaled = picture == KxLayout::Picture::Local    ? localScaled_
                           : picture == KxLayout::Picture::Remote ? remoteScaled_
                                                                  : contentScaled_;
            if (!whole)
                scaled.resize(sizeOf(rect.width, rect.height));
            std::uint8_t* into = whole ? target : scaled.data();
            const auto scale = layout_.fits(picture) ? scaleToFit : scaleToFill;
            if (picture == KxLayout::Picture::Local) {
                scale(local_.data(), into, localWidth_, localHeight_, rect.width, rect.height, 3);
            } else {
                // Held while it is read: the far end's next picture replaces, never writes it.
                const SharedPicture far = farPicture(picture);
                if (far)
                    scale(far->data.data(), into, far->width, far->height, rect.width,
                          rect.height, 3);
            }
            if (!whole)
                copyRect(scaled.data(), rect.width, rect.height, target, viewWidth_, viewHeight_,
                         rect.x, rect.y);
        };
        place(layout_.first);
        place(layout_.second);
        if (viewIsOutput)
            return true;
    }
    copyRect(view_.data(), viewWidth_, viewHeight_, display_.data.data(), outputWidth_,
             outputHeight_, 0, 0);
    return true;
}
