#include "voip/device/video_v4l2.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>

#include <libv4l2.h>
#include <libyuv/convert.h>
#include <libyuv/planar_functions.h>

#include "voip/base/trace.h"

namespace voip {

namespace {

// Bounds on what a driver may list, so that a faulty one cannot keep us enumerating.
constexpr unsigned MaxFormats = 64;
constexpr unsigned MaxSizes = 128;
constexpr unsigned MaxRates = 32;
constexpr unsigned MaxWidth = 4096;
constexpr unsigned MaxHeight = 2304;
constexpr unsigned BufferCount = 4;
/// Pictures in a row that cannot be converted before the camera counts as failed.
constexpr unsigned MaxBadFrames = 30;

/// The pixel formats we convert, best first.
constexpr std::uint32_t TakenFormats[] = {V4L2_PIX_FMT_YUV420, V4L2_PIX_FMT_YUYV,
                                          V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_JPEG};

int formatRank(std::uint32_t fourcc)
{
    const auto* found = std::find(std::begin(TakenFormats), std::end(TakenFormats), fourcc);
    return found == std::end(TakenFormats) ? -1 : int(found - std::begin(TakenFormats));
}

/// The formats a colour format name stands for; empty for any.
std::vector<std::uint32_t> fourccsOf(const std::string& colourFormat)
{
    if (colourFormat == "YUV420P")
        return {V4L2_PIX_FMT_YUV420};
    if (colourFormat == "YUY2")
        return {V4L2_PIX_FMT_YUYV};
    if (colourFormat == "MJPEG")
        return {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_JPEG};
    return {};
}

std::string fourccName(std::uint32_t fourcc)
{
    std::string name;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = char((fourcc >> shift) & 0xFF);
        name += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return name;
}

std::string errorText(int error)
{
    return std::strerror(error);
}


class RealV4l2System final : public V4l2System
{
public:
    int open(const std::string& path) override
    {
        return v4l2_open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    int close(int fd) override { return v4l2_close(fd); }
    int ioctl(int fd, unsigned long request, void* argument) override
    {
        return v4l2_ioctl(fd, request, argument);
    }
    void* map(int fd, std::size_t length, off_t offset) override
    {
        void* address = v4l2_mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
        return address == MAP_FAILED ? nullptr : address;
    }
    int unmap(void* address, std::size_t length) override { return v4l2_munmap(address, length); }
    int waitReadable(int fd, int timeoutMs) override
    {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeoutMs);
        if (ready < 0)
            return errno == EINTR ? 0 : -1;
        if (ready == 0)
            return 0;
        return (p.revents & (POLLERR | POLLHUP | POLLNVAL)) ? -1 : 1;
    }
    std::vector<std::string> devicePaths() override
    {
        std::vector<std::string> paths;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("video", 0) == 0)
                paths.push_back(entry.path().string());
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    }
};

std::string cardName(const v4l2_capability& capability)
{
    const auto* card = reinterpret_cast<const char*>(capability.card);
    return std::string(card, strnlen(card, sizeof capability.card));
}

/// True for a device that captures video by streaming.
bool streamsVideo(const v4l2_capability& capability)
{
    const std::uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS)
                                   ? capability.device_caps
                                   : capability.capabilities;
    return (caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING);
}

std::vector<unsigned> frameRates(V4l2System& system, int fd, std::uint32_t fourcc, unsigned width,
                                 unsigned height)
{
    std::vector<unsigned> rates;
    for (unsigned index = 0; index < MaxRates; ++index) {
        v4l2_frmivalenum interval{};
        interval.index = index;
        interval.pixel_format = fourcc;
        interval.width = width;
        interval.height = height;
        if (xioctl(system, fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) != 0)
            break;
        if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            const auto& d = interval.discrete;
            if (d.numerator > 0 && d.denominator / d.numerator >= 1)
                rates.push_back(std::min(240u, d.denominator / d.numerator));
        } else {
            // A range: its fastest and slowest ends are what the dialog offers.
            const auto& s = interval.stepwise;
            if (s.min.numerator > 0 && s.min.denominator / s.min.numerator >= 1)
                rates.push_back(std::min(240u, s.min.denominator / s.min.numerator));
            if (s.max.numerator > 0 && s.max.denominator / s.max.numerator >= 1)
                rates.push_back(std::min(240u, s.max.denominator / s.max.numerator));
            break;
        }
    }
    std::sort(rates.rbegin(), rates.rend());
    rates.erase(std::unique(rates.begin(), rates.end()), rates.end());
    return rates;
}

std::vector<V4l2FrameSize> frameSizes(V4l2System& system, int fd, std::uint32_t fourcc)
{
    std::vector<V4l2FrameSize> sizes;
    auto add = [&](unsigned width, unsigned height) {
        if (width < 16 || height < 16 || width > MaxWidth || height > MaxHeight || width % 2 ||
            height % 2)
            return;
        sizes.push_back({width, height, frameRates(system, fd, fourcc, width, height)});
    };
    for (unsigned index = 0; index < MaxSizes; ++index) {
        v4l2_frmsizeenum size{};
        size.index = index;
        size.pixel_format = fourcc;
        if (xioctl(system, fd, VIDIOC_ENUM_FRAMESIZES, &size) != 0)
            break;
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            add(size.discrete.width, size.discrete.height);
            continue;
        }
        // A range: the usual sizes that fall inside it.
        const auto& s = size.stepwise;
        static constexpr std::pair<unsigned, unsigned> common[] = {
            {320, 240},  {352, 288},  {640, 360},   {640, 480},   {800, 600},
            {960, 540},  {1024, 768}, {1280, 720},  {1280, 960},  {1600, 900},
            {1920, 1080}};
        for (const auto& [width, height] : common) {
            const bool fits = width >= s.min_width && width <= s.max_width &&
                              height >= s.min_height && height <= s.max_height &&
                              (s.step_width <= 1 || (width - s.min_width) % s.step_width == 0) &&
                              (s.step_height <= 1 || (height - s.min_height) % s.step_height == 0);
            if (fits)
                add(width, height);
        }
        break;
    }
    std::sort(sizes.begin(), sizes.end(), [](const auto& a, const auto& b) {
        return std::uint64_t(a.width) * a.height < std::uint64_t(b.width) * b.height;
    });
    return sizes;
}

std::vector<V4l2Format> takenFormats(V4l2System& system, int fd)
{
    std::vector<V4l2Format> formats;
    for (unsigned index = 0; index < MaxFormats; ++index) {
        v4l2_fmtdesc description{};
        description.index = index;
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(system, fd, VIDIOC_ENUM_FMT, &description) != 0)
            break;
        // What libv4l2 makes up by converting is left out: we convert ourselves.
        if ((description.flags & V4L2_FMT_FLAG_EMULATED) ||
            formatRank(description.pixelformat) < 0)
            continue;
        formats.push_back({description.pixelformat, fourccName(description.pixelformat),
                           frameSizes(system, fd, description.pixelformat)});
    }
    std::sort(formats.begin(), formats.end(), [](const auto& a, const auto& b) {
        return formatRank(a.fourcc) < formatRank(b.fourcc);
    });
    return formats;
}

/// How well a camera size serves the size asked for: 0 the same, 1 larger (scaled down),
/// 2 smaller; then the smaller the difference the better.
std::pair<int, std::uint64_t> sizeFit(const V4l2FrameSize& size, unsigned width, unsigned height)
{
    const std::uint64_t area = std::uint64_t(size.width) * size.height;
    const std::uint64_t wanted = std::uint64_t(width) * height;
    if (size.width == width && size.height == height)
        return {0, 0};
    if (size.width >= width && size.height >= height)
        return {1, area - wanted};
    return {2, wanted > area ? wanted - area : 0};
}

} // namespace

int xioctl(V4l2System& system, int fd, unsigned long request, void* argument)
{
    int result = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        result = system.ioctl(fd, request, argument);
        if (result != -1 || errno != EINTR)
            break;
    }
    return result;
}

V4l2System& V4l2System::real()
{
    static RealV4l2System system;
    return system;
}

std::vector<V4l2Device> listV4l2Devices(V4l2System& system)
{
    std::vector<V4l2Device> devices;
    for (const auto& path : system.devicePaths()) {
        const int fd = system.open(path);
        if (fd < 0)
            continue;
        v4l2_capability capability{};
        if (xioctl(system, fd, VIDIOC_QUERYCAP, &capability) == 0 && streamsVideo(capability))
            devices.push_back({path, cardName(capability), takenFormats(system, fd)});
        system.close(fd);
    }
    return devices;
}

MediaResult<std::string> findV4l2Device(const std::string& device, V4l2System& system)
{
    if (!device.empty() && device[0] == '/')
        return device;
    const auto devices = listV4l2Devices(system);
    const auto found = std::find_if(devices.begin(), devices.end(), [&](const auto& camera) {
        return device.empty() || camera.name == device;
    });
    if (found == devices.end())
        return MediaFailure{MediaError::NotFound, device.empty()
                                                      ? "V4L2: no camera"
                                                      : "V4L2: no camera named \"" + device + "\""};
    return found->path;
}

V4l2VideoInput::V4l2VideoInput(V4l2System& system)
    : system_(system)
{}

V4l2VideoInput::~V4l2VideoInput()
{
    close();
}

MediaStatus V4l2VideoInput::fail(const std::string& message)
{
    close();
    return MediaFailure{MediaError::DeviceFailure, "V4L2: " + message};
}

MediaStatus V4l2VideoInput::open(const VideoInputParams& params)
{
    close();
    if (params.width < 16 || params.height < 16 || params.width > MaxWidth ||
        params.height > MaxHeight || params.width % 2 || params.height % 2 ||
        params.frameRate < 1 || params.frameRate > 60)
        return MediaFailure{MediaError::InvalidArgument,
                            "V4L2: " + std::to_string(params.width) + "x" +
                                std::to_string(params.height) + " at " +
                                std::to_string(params.frameRate) + " fps"};
    params_ = params;

    auto found = findV4l2Device(params.device, system_);
    if (!found)
        return found.error();
    const std::string path = found.take();
    path_ = path;
    fd_ = system_.open(path);
    if (fd_ < 0)
        return MediaFailure{MediaError::NotFound,
                            "V4L2: cannot open " + path + ": " + errorText(errno)};
    v4l2_capability capability{};
    if (xioctl(system_, fd_, VIDIOC_QUERYCAP, &capability) != 0 || !streamsVideo(capability))
        return fail(path + " is not a camera that streams video");

    // The size nearest the one asked for, then the best format at that size (the one
    // asked for, when one is).
    auto formats = takenFormats(system_, fd_);
    if (const auto wanted = fourccsOf(params.colourFormat); !wanted.empty())
        std::erase_if(formats, [&](const V4l2Format& format) {
            return std::find(wanted.begin(), wanted.end(), format.fourcc) == wanted.end();
        });
    const V4l2Format* bestFormat = nullptr;
    const V4l2FrameSize* bestSize = nullptr;
    std::pair<int, std::uint64_t> bestFit{3, 0};
    for (const auto& format : formats)
        for (const auto& size : format.sizes) {
            const auto fit = sizeFit(size, params.width, params.height);
            if (fit < bestFit) {
                bestFit = fit;
                bestFormat = &format;
                bestSize = &size;
            }
        }
    if (!bestFormat) {
        std::string offered;
        for (unsigned index = 0; index < MaxFormats; ++index) {
            v4l2_fmtdesc description{};
            description.index = index;
            description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (xioctl(system_, fd_, VIDIOC_ENUM_FMT, &description) != 0)
                break;
            offered += (offered.empty() ? "" : ", ") + fourccName(description.pixelformat);
        }
        return fail(path + " offers no picture format we take" +
                    (params.colourFormat.empty() ? "" : " as " + params.colourFormat) +
                    " (it offers: " + (offered.empty() ? "none" : offered) + ")");
    }

    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = bestSize->width;
    format.fmt.pix.height = bestSize->height;
    format.fmt.pix.pixelformat = bestFormat->fourcc;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    if (xioctl(system_, fd_, VIDIOC_S_FMT, &format) != 0)
        return fail("cannot set " + bestFormat->name + " " + std::to_string(bestSize->width) + "x" +
                    std::to_string(bestSize->height) + ": " + errorText(errno));
    // The driver has the last word on what it sends.
    const auto& pix = format.fmt.pix;
    if (formatRank(pix.pixelformat) < 0 || pix.width < 16 || pix.height < 16 ||
        pix.width > MaxWidth || pix.height > MaxHeight || pix.width % 2 || pix.height % 2)
        return fail("the camera chose " + fourccName(pix.pixelformat) + " " +
                    std::to_string(pix.width) + "x" + std::to_string(pix.height));
    fourcc_ = pix.pixelformat;
    formatName_ = fourccName(fourcc_);
    cameraWidth_ = pix.width;
    cameraHeight_ = pix.height;
    const unsigned minimumLine = fourcc_ == V4L2_PIX_FMT_YUYV ? 2 * pix.width
                                 : fourcc_ == V4L2_PIX_FMT_YUV420 ? pix.width
                                                                  : 0;
    bytesPerLine_ = std::max(pix.bytesperline, minimumLine);

    // The picture rate nearest the one asked for that the camera has.
    cameraRate_ = params.frameRate;
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(system_, fd_, VIDIOC_G_PARM, &parameters) == 0 &&
        (parameters.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)) {
        parameters.parm.capture.timeperframe = {1, params.frameRate};
        if (xioctl(system_, fd_, VIDIOC_S_PARM, &parameters) == 0) {
            const auto& t = parameters.parm.capture.timeperframe;
            if (t.numerator > 0 && t.denominator >= t.numerator)
                cameraRate_ = t.denominator / t.numerator;
        }
    }

    v4l2_requestbuffers request{};
    request.count = BufferCount;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (xioctl(system_, fd_, VIDIOC_REQBUFS, &request) != 0 || request.count < 2)
        return fail("cannot get capture buffers: " + errorText(errno));
    for (unsigned index = 0; index < std::min(request.count, 32u); ++index) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        if (xioctl(system_, fd_, VIDIOC_QUERYBUF, &buffer) != 0 || buffer.length == 0)
            return fail("cannot query capture buffer " + std::to_string(index));
        void* address = system_.map(fd_, buffer.length, off_t(buffer.m.offset));
        if (!address)
            return fail("cannot map capture buffer " + std::to_string(index));
        buffers_.push_back({address, buffer.length});
        if (xioctl(system_, fd_, VIDIOC_QBUF, &buffer) != 0)
            return fail("cannot queue capture buffer " + std::to_string(index));
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(system_, fd_, VIDIOC_STREAMON, &type) != 0)
        return fail("cannot start streaming: " + errorText(errno));
    streaming_ = true;
    badFrames_ = 0;
    VOIP_TRACE(2, "Video\tCamera " << path_ << " runs " << formatName_ << " " << cameraWidth_
                                   << "x" << cameraHeight_ << " at " << cameraRate_);
    return MediaStatus();
}

bool V4l2VideoInput::convert(const std::uint8_t* data, std::size_t size, VideoFrame& picture)
{
    const int width = int(cameraWidth_), height = int(cameraHeight_);
    if (picture.width != cameraWidth_ || picture.height != cameraHeight_ ||
        picture.data.size() != VideoFrame::sizeFor(cameraWidth_, cameraHeight_))
        picture = VideoFrame::black(cameraWidth_, cameraHeight_);
    std::uint8_t* y = picture.plane(0);
    std::uint8_t* u = picture.plane(1);
    std::uint8_t* v = picture.plane(2);
    const int strideY = int(picture.stride(0)), strideUV = int(picture.stride(1));
    switch (fourcc_) {
    case V4L2_PIX_FMT_YUV420: {
        const std::size_t luma = std::size_t(bytesPerLine_) * cameraHeight_;
        const std::size_t chroma = std::size_t(bytesPerLine_ / 2) * ((cameraHeight_ + 1) / 2);
        if (size < luma + 2 * chroma)
            return false;
        return libyuv::I420Copy(data, int(bytesPerLine_), data + luma, int(bytesPerLine_ / 2),
                                data + luma + chroma, int(bytesPerLine_ / 2), y, strideY, u,
                                strideUV, v, strideUV, width, height) == 0;
    }
    case V4L2_PIX_FMT_YUYV:
        if (size < std::size_t(bytesPerLine_) * cameraHeight_)
            return false;
        return libyuv::YUY2ToI420(data, int(bytesPerLine_), y, strideY, u, strideUV, v, strideUV,
                                  width, height) == 0;
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG: {
        int jpegWidth = 0, jpegHeight = 0;
        // A picture of another size than the camera said would write beyond the buffer.
        if (libyuv::MJPGSize(data, size, &jpegWidth, &jpegHeight) != 0 || jpegWidth != width ||
            jpegHeight != height)
            return false;
        if (libyuv::MJPGToI420(data, size, y, strideY, u, strideUV, v, strideUV, width, height,
                               width, height) != 0)
            return false;
        // JPEG's samples are full range (JFIF); the rest of the engine's are video range.
        static const auto tables = [] {
            std::array<std::array<std::uint8_t, 256>, 2> t{};
            for (int value = 0; value < 256; ++value) {
                t[0][value] = std::uint8_t(16 + (value * 219 + 127) / 255);
                t[1][value] = std::uint8_t(128 + ((value - 128) * 224 + (value >= 128 ? 127 : -127)) / 255);
            }
            return t;
        }();
        for (int plane = 0; plane < 3; ++plane) {
            std::uint8_t* begin = picture.plane(plane);
            std::uint8_t* end = begin + std::size_t(picture.stride(plane)) * picture.planeHeight(plane);
            const auto& table = tables[plane == 0 ? 0 : 1];
            std::transform(begin, end, begin, [&](std::uint8_t value) { return table[value]; });
        }
        return true;
    }
    default:
        return false;
    }
}

MediaStatus V4l2VideoInput::readFrame(VideoFrame& frame)
{
    if (!streaming_)
        return MediaFailure{MediaError::NotOpen, "V4L2: the camera is not open"};
    for (;;) {
        const int ready = system_.waitReadable(fd_, FrameTimeoutMs);
        if (ready < 0)
            return fail("the camera " + path_ + " is gone");
        if (ready == 0)
            return fail("the camera " + path_ + " sent no picture for " +
                        std::to_string(FrameTimeoutMs / 1000) + " s");
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (xioctl(system_, fd_, VIDIOC_DQBUF, &buffer) != 0) {
            if (errno == EAGAIN)
                continue;
            return fail("the camera " + path_ + " failed: " + errorText(errno));
        }
        bool converted = false;
        if (buffer.index < buffers_.size() && !(buffer.flags & V4L2_BUF_FLAG_ERROR)) {
            const auto& mapped = buffers_[buffer.index];
            converted = convert(static_cast<const std::uint8_t*>(mapped.address),
                                std::min<std::size_t>(buffer.bytesused, mapped.length), converted_);
        }
        if (buffer.index < buffers_.size() && xioctl(system_, fd_, VIDIOC_QBUF, &buffer) != 0)
            return fail("the camera " + path_ + " failed: " + errorText(errno));
        if (!converted) {
            if (++badFrames_ >= MaxBadFrames)
                return fail("the camera " + path_ + " sends pictures that cannot be read");
            continue;
        }
        badFrames_ = 0;
        if (!converted_.scaleInto(frame, params_.width, params_.height))
            return fail("cannot scale the camera's picture");
        return MediaStatus();
    }
}

void V4l2VideoInput::close()
{
    if (fd_ < 0)
        return;
    if (streaming_) {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        xioctl(system_, fd_, VIDIOC_STREAMOFF, &type);
        streaming_ = false;
    }
    for (const auto& buffer : buffers_)
        system_.unmap(buffer.address, buffer.length);
    buffers_.clear();
    v4l2_requestbuffers release{};
    release.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    release.memory = V4L2_MEMORY_MMAP;
    xioctl(system_, fd_, VIDIOC_REQBUFS, &release);
    system_.close(fd_);
    fd_ = -1;
}

} // namespace voip
