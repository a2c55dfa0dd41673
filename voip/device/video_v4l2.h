#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

#include "voip/device/videoinput.h"

namespace voip {

inline constexpr const char* kV4l2VideoDriver = "V4L2";

/// The calls the V4L2 driver makes of the system (through libv4l2), gathered so that a
/// test can stand in for a camera.  Each returns what the system call returns, with errno
/// set on failure.
class V4l2System
{
public:
    virtual ~V4l2System() = default;
    virtual int open(const std::string& path) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual void* map(int fd, std::size_t length, off_t offset) = 0;
    virtual int unmap(void* address, std::size_t length) = 0;
    /// Waits up to `timeoutMs` for a filled buffer: 1 ready, 0 nothing yet, -1 the device
    /// failed or is gone.
    virtual int waitReadable(int fd, int timeoutMs) = 0;
    /// The device nodes that may be cameras (/dev/video*), sorted.
    virtual std::vector<std::string> devicePaths() = 0;

    /// The machine's own.
    static V4l2System& real();
};

/// system.ioctl, asked again while a signal interrupts it.
int xioctl(V4l2System& system, int fd, unsigned long request, void* argument);

/// What a camera offers: per pixel format (only those we convert), its picture sizes and
/// each size's picture rates.
struct V4l2FrameSize
{
    unsigned width = 0;
    unsigned height = 0;
    std::vector<unsigned> frameRates; ///< whole pictures a second, highest first
};
struct V4l2Format
{
    std::uint32_t fourcc = 0;
    std::string name; ///< "YU12", "YUYV", "MJPG"
    std::vector<V4l2FrameSize> sizes;
};
struct V4l2Device
{
    std::string path; ///< "/dev/video0"
    std::string name; ///< the card's name ("Integrated Camera")
    std::vector<V4l2Format> formats;
};

/// Every capture device that streams, with the formats, sizes and rates we can take.
/// A device whose formats we cannot take is listed with no formats.
std::vector<V4l2Device> listV4l2Devices(V4l2System& system = V4l2System::real());

/// The device node of a camera named by path ("/dev/video0"), by card name, or the first
/// camera when `device` is empty.
MediaResult<std::string> findV4l2Device(const std::string& device,
                                        V4l2System& system = V4l2System::real());

/// Driver "V4L2": a camera through Video4Linux2 (memory-mapped streaming).  The device is
/// named by path ("/dev/video0"), by card name, or left empty for the first camera.  The
/// camera is set to the size it offers nearest the one asked for (the same, else the
/// smallest larger, else its largest) in the first format of I420, YUYV and MJPEG it has
/// at that size (only the one named, when the parameters name one); pictures are converted (libyuv) and scaled to the size asked for.
/// A camera that stops sending, or is unplugged, fails readFrame with a clear message.
class V4l2VideoInput final : public VideoInputDevice
{
public:
    explicit V4l2VideoInput(V4l2System& system = V4l2System::real());
    ~V4l2VideoInput() override;

    std::string driverName() const override { return kV4l2VideoDriver; }
    MediaStatus open(const VideoInputParams& params) override;
    MediaStatus readFrame(VideoFrame& frame) override;
    void close() override;
    bool isOpen() const override { return fd_ >= 0; }

    /// What the camera runs at once open: its format name, size and picture rate.
    std::string cameraFormat() const { return formatName_; }
    unsigned cameraWidth() const { return cameraWidth_; }
    unsigned cameraHeight() const { return cameraHeight_; }
    unsigned cameraRate() const { return cameraRate_; }

    /// A picture that does not come within this time is a failed camera.
    static constexpr int FrameTimeoutMs = 3000;

private:
    struct Buffer
    {
        void* address = nullptr;
        std::size_t length = 0;
    };
    MediaStatus fail(const std::string& message);
    bool convert(const std::uint8_t* data, std::size_t size, VideoFrame& picture);

    V4l2System& system_;
    int fd_ = -1;
    std::string path_;
    VideoInputParams params_;
    std::uint32_t fourcc_ = 0;
    std::string formatName_;
    unsigned cameraWidth_ = 0;
    unsigned cameraHeight_ = 0;
    unsigned cameraRate_ = 0;
    unsigned bytesPerLine_ = 0;
    std::vector<Buffer> buffers_;
    bool streaming_ = false;
    VideoFrame converted_;
    unsigned badFrames_ = 0; ///< in a row
};

} // namespace voip
