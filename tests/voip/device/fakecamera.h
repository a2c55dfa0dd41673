#pragma once
// A camera played by a test: the kernel interface's calls (format, size and rate lists,
// format setting, memory-mapped buffers, controls) answered as a real driver does, with
// pictures of the FakeVideo pattern in YUYV, I420 or MJPEG.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <linux/videodev2.h>

#include <jpeglib.h>
#include <libyuv/convert_argb.h>
#include <libyuv/convert_from.h>

#include "voip/device/video_fake.h"
#include "voip/device/video_v4l2.h"

namespace voip {

struct FakeSize
{
    unsigned width, height;
    std::vector<unsigned> rates;
};
/// A control as a driver describes it; `value` is what the camera holds.
struct FakeControl
{
    std::uint32_t id;
    std::uint32_t type;
    std::string name;
    std::int32_t minimum, maximum, step, defaultValue, value;
    std::uint32_t flags = 0;
    std::map<std::uint32_t, std::string> menu = {}; ///< by index; holes are allowed
    /// Controls this one makes inactive while it is not at `activeWhen`.
    std::vector<std::uint32_t> governs = {};
    std::int32_t activeWhen = 0;
};

struct FakeFormat
{
    std::uint32_t fourcc;
    std::vector<FakeSize> sizes;
    bool emulated = false;
};

inline std::vector<std::uint8_t> jpegOf(const VideoFrame& picture)
{
    std::vector<std::uint8_t> rgb(std::size_t(picture.width) * picture.height * 3);
    libyuv::I420ToRAW(picture.plane(0), int(picture.stride(0)), picture.plane(1),
                      int(picture.stride(1)), picture.plane(2), int(picture.stride(2)), rgb.data(),
                      int(picture.width * 3), int(picture.width), int(picture.height));
    jpeg_compress_struct compress{};
    jpeg_error_mgr errors{};
    compress.err = jpeg_std_error(&errors);
    jpeg_create_compress(&compress);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&compress, &out, &size);
    compress.image_width = picture.width;
    compress.image_height = picture.height;
    compress.input_components = 3;
    compress.in_color_space = JCS_RGB;
    jpeg_set_defaults(&compress);
    jpeg_set_quality(&compress, 95, TRUE);
    jpeg_start_compress(&compress, TRUE);
    while (compress.next_scanline < compress.image_height) {
        JSAMPROW row = rgb.data() + std::size_t(compress.next_scanline) * picture.width * 3;
        jpeg_write_scanlines(&compress, &row, 1);
    }
    jpeg_finish_compress(&compress);
    std::vector<std::uint8_t> jpeg(out, out + size);
    jpeg_destroy_compress(&compress);
    std::free(out);
    return jpeg;
}

/// A camera as the kernel shows it: /dev/video0 captures, /dev/video1 is its metadata
/// node (no capture).  Pictures are numbered from 0 as they are dequeued.
class FakeCamera : public V4l2System
{
public:
    std::vector<FakeFormat> formats;
    std::string card = "Test Camera";
    int unplugAfter = -1;   ///< pictures before the device goes away (-1: never)
    int stallAfter = -1;    ///< pictures before it stops sending
    bool garbage = false;   ///< MJPEG pictures that do not decode
    bool driverShrinks = false; ///< S_FMT answers with half the size asked for

    int open(const std::string& path) override
    {
        if (path != "/dev/video0" && path != "/dev/video1") {
            errno = ENOENT;
            return -1;
        }
        ++opens;
        return path == "/dev/video0" ? 10 : 11;
    }
    int close(int) override
    {
        ++closes;
        return 0;
    }
    std::vector<std::string> devicePaths() override { return {"/dev/video0", "/dev/video1"}; }
    void* map(int, std::size_t length, off_t offset) override
    {
        const auto index = std::size_t(offset) / 4096;
        if (index >= buffers.size() || buffers[index].size() != length)
            return nullptr;
        ++mapped;
        return buffers[index].data();
    }
    int unmap(void*, std::size_t) override
    {
        --mapped;
        return 0;
    }
    int waitReadable(int, int) override
    {
        if (unplugAfter >= 0 && int(dequeued) >= unplugAfter)
            return -1;
        if (stallAfter >= 0 && int(dequeued) >= stallAfter)
            return 0;
        return queued.empty() ? 0 : 1;
    }

    int ioctl(int fd, unsigned long request, void* argument) override
    {
        switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* caps = static_cast<v4l2_capability*>(argument);
            *caps = {};
            std::snprintf(reinterpret_cast<char*>(caps->card), sizeof caps->card, "%s",
                          card.c_str());
            caps->capabilities = V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE |
                                 V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
            caps->device_caps = fd == 10 ? V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING
                                         : V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto* description = static_cast<v4l2_fmtdesc*>(argument);
            if (description->index >= formats.size())
                return fail(EINVAL);
            description->pixelformat = formats[description->index].fourcc;
            description->flags = formats[description->index].emulated ? V4L2_FMT_FLAG_EMULATED : 0;
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            auto* size = static_cast<v4l2_frmsizeenum*>(argument);
            const auto* format = find(size->pixel_format);
            if (!format || size->index >= format->sizes.size())
                return fail(EINVAL);
            size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
            size->discrete = {format->sizes[size->index].width, format->sizes[size->index].height};
            return 0;
        }
        case VIDIOC_ENUM_FRAMEINTERVALS: {
            auto* interval = static_cast<v4l2_frmivalenum*>(argument);
            const FakeSize* size = findSize(interval->pixel_format, interval->width,
                                            interval->height);
            if (!size || interval->index >= size->rates.size())
                return fail(EINVAL);
            interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
            interval->discrete = {1, size->rates[interval->index]};
            return 0;
        }
        case VIDIOC_S_FMT: {
            auto& pix = static_cast<v4l2_format*>(argument)->fmt.pix;
            if (!findSize(pix.pixelformat, pix.width, pix.height))
                return fail(EINVAL);
            if (driverShrinks) {
                pix.width /= 2;
                pix.height /= 2;
            }
            fourcc = pix.pixelformat;
            width = pix.width;
            height = pix.height;
            pix.bytesperline = fourcc == V4L2_PIX_FMT_YUYV    ? 2 * width
                               : fourcc == V4L2_PIX_FMT_YUV420 ? width
                                                               : 0;
            pix.sizeimage = unsigned(imageSize());
            return 0;
        }
        case VIDIOC_G_PARM:
        case VIDIOC_S_PARM: {
            auto& capture = static_cast<v4l2_streamparm*>(argument)->parm.capture;
            capture.capability = V4L2_CAP_TIMEPERFRAME;
            if (request == VIDIOC_S_PARM) {
                // The nearest rate the size has.
                const FakeSize* size = findSize(fourcc, width, height);
                unsigned best = size && !size->rates.empty() ? size->rates[0] : 30;
                const unsigned wanted = capture.timeperframe.denominator;
                for (const unsigned rate : size ? size->rates : std::vector<unsigned>{})
                    if (std::abs(int(rate) - int(wanted)) < std::abs(int(best) - int(wanted)))
                        best = rate;
                capture.timeperframe = {1, best};
            }
            return 0;
        }
        case VIDIOC_REQBUFS: {
            auto* request = static_cast<v4l2_requestbuffers*>(argument);
            buffers.assign(request->count, std::vector<std::uint8_t>(imageSize()));
            queued.clear();
            return 0;
        }
        case VIDIOC_QUERYBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            if (buffer->index >= buffers.size())
                return fail(EINVAL);
            buffer->length = unsigned(buffers[buffer->index].size());
            buffer->m.offset = buffer->index * 4096;
            return 0;
        }
        case VIDIOC_QBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            if (buffer->index >= buffers.size())
                return fail(EINVAL);
            queued.push_back(buffer->index);
            return 0;
        }
        case VIDIOC_DQBUF: {
            if (!streaming || queued.empty())
                return fail(EAGAIN);
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            buffer->index = queued.front();
            queued.erase(queued.begin());
            buffer->bytesused = fill(buffers[buffer->index], dequeued++);
            buffer->flags = 0;
            return 0;
        }
        case VIDIOC_STREAMON:
            streaming = true;
            return 0;
        case VIDIOC_STREAMOFF:
            streaming = false;
            return 0;
        case VIDIOC_QUERYCTRL: {
            auto* query = static_cast<v4l2_queryctrl*>(argument);
            FakeControl* control = nullptr;
            if (query->id & V4L2_CTRL_FLAG_NEXT_CTRL) {
                const std::uint32_t after = query->id & ~V4L2_CTRL_FLAG_NEXT_CTRL;
                for (auto& candidate : controls)
                    if (candidate.id > after && (!control || candidate.id < control->id))
                        control = &candidate;
            } else {
                control = findControl(query->id);
            }
            if (!control)
                return fail(EINVAL);
            *query = {};
            query->id = control->id;
            query->type = control->type;
            std::snprintf(reinterpret_cast<char*>(query->name), sizeof query->name, "%s",
                          control->name.c_str());
            query->minimum = control->minimum;
            query->maximum = control->maximum;
            query->step = control->step;
            query->default_value = control->defaultValue;
            query->flags = control->flags | (inactive(*control) ? V4L2_CTRL_FLAG_INACTIVE : 0);
            return 0;
        }
        case VIDIOC_QUERYMENU: {
            auto* item = static_cast<v4l2_querymenu*>(argument);
            const FakeControl* control = findControl(item->id);
            if (!control || !control->menu.count(item->index))
                return fail(EINVAL);
            std::snprintf(reinterpret_cast<char*>(item->name), sizeof item->name, "%s",
                          control->menu.at(item->index).c_str());
            return 0;
        }
        case VIDIOC_G_CTRL:
        case VIDIOC_S_CTRL: {
            auto* value = static_cast<v4l2_control*>(argument);
            FakeControl* control = findControl(value->id);
            if (!control)
                return fail(EINVAL);
            if (request == VIDIOC_G_CTRL) {
                value->value = control->value;
                return 0;
            }
            ++controlWrites;
            if (control->flags & (V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_GRABBED))
                return fail(EACCES);
            if (inactive(*control) && refuseInactive)
                return fail(EACCES);
            // A driver refuses what is out of range or off the menu, as the kernel does.
            if (value->value < control->minimum || value->value > control->maximum ||
                (!control->menu.empty() && !control->menu.count(std::uint32_t(value->value))))
                return fail(ERANGE);
            if (control->type != V4L2_CTRL_TYPE_BUTTON)
                control->value = value->value;
            else
                ++presses;
            return 0;
        }
        default:
            return fail(ENOTTY);
        }
    }

    std::vector<FakeControl> controls;
    bool refuseInactive = false; ///< as drivers that refuse a control automatic mode holds
    int controlWrites = 0, presses = 0;
    FakeControl* findControl(std::uint32_t id)
    {
        for (auto& control : controls)
            if (control.id == id)
                return &control;
        return nullptr;
    }
    bool inactive(const FakeControl& control)
    {
        for (const auto& other : controls)
            if (other.value != other.activeWhen &&
                std::find(other.governs.begin(), other.governs.end(), control.id) !=
                    other.governs.end())
                return true;
        return false;
    }

    std::uint32_t fourcc = 0;
    unsigned width = 0, height = 0;
    unsigned dequeued = 0;
    int opens = 0, closes = 0, mapped = 0;

private:
    static int fail(int error)
    {
        errno = error;
        return -1;
    }
    const FakeFormat* find(std::uint32_t pixelFormat) const
    {
        for (const auto& format : formats)
            if (format.fourcc == pixelFormat)
                return &format;
        return nullptr;
    }
    const FakeSize* findSize(std::uint32_t pixelFormat, unsigned w, unsigned h) const
    {
        if (const auto* format = find(pixelFormat))
            for (const auto& size : format->sizes)
                if (size.width == w && size.height == h)
                    return &size;
        return nullptr;
    }
    std::size_t imageSize() const
    {
        return fourcc == V4L2_PIX_FMT_YUV420 ? VideoFrame::sizeFor(width, height)
                                             : std::size_t(width) * height * 2;
    }
    unsigned fill(std::vector<std::uint8_t>& buffer, unsigned number) const
    {
        const VideoFrame picture = FakeVideoInput::picture(width, height, number);
        if (fourcc == V4L2_PIX_FMT_YUV420) {
            std::copy(picture.data.begin(), picture.data.end(), buffer.begin());
            return unsigned(picture.data.size());
        }
        if (fourcc == V4L2_PIX_FMT_YUYV) {
            libyuv::I420ToYUY2(picture.plane(0), int(picture.stride(0)), picture.plane(1),
                               int(picture.stride(1)), picture.plane(2), int(picture.stride(2)),
                               buffer.data(), int(2 * width), int(width), int(height));
            return unsigned(2 * width * height);
        }
        auto jpeg = jpegOf(picture);
        if (garbage)
            std::fill(jpeg.begin() + 2, jpeg.end(), 0x5A); // no picture header left
        const auto size = std::min(jpeg.size(), buffer.size());
        std::copy(jpeg.begin(), jpeg.begin() + std::ptrdiff_t(size), buffer.begin());
        return unsigned(size);
    }

    std::vector<std::vector<std::uint8_t>> buffers;
    std::vector<unsigned> queued;
    bool streaming = false;
};

/// The usual webcam: YUYV up to 720p (slowly), MJPEG up to 1080p, and two formats we do
/// not take (an RGB one, and an I420 that libv4l2 only makes up).
inline void usualWebcam(FakeCamera& camera)
{
    // The controls of a UVC webcam: exposure time and white balance temperature are
    // inactive while their automatic modes are on; a class heading, a string and a
    // disabled control that are not shown; a menu with a hole.
    camera.controls = {
        {V4L2_CID_BRIGHTNESS, V4L2_CTRL_TYPE_INTEGER, "Brightness", -64, 64, 1, 0, 10},
        {V4L2_CID_CONTRAST, V4L2_CTRL_TYPE_INTEGER, "Contrast", 0, 100, 5, 50, 50},
        {V4L2_CID_AUTO_WHITE_BALANCE, V4L2_CTRL_TYPE_BOOLEAN, "White Balance, Automatic", 0, 1,
         1, 1, 1, 0, {}, {V4L2_CID_WHITE_BALANCE_TEMPERATURE}, 0},
        {V4L2_CID_POWER_LINE_FREQUENCY, V4L2_CTRL_TYPE_MENU, "Power Line Frequency", 0, 2, 1, 2, 2,
         0, {{0, "Disabled"}, {2, "60 Hz"}}},
        {V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_CTRL_TYPE_INTEGER,
         "White Balance Temperature", 2800, 6500, 10, 4600, 4600},
        {V4L2_CID_CAMERA_CLASS, V4L2_CTRL_TYPE_CTRL_CLASS, "Camera Controls", 0, 0, 0, 0, 0},
        {V4L2_CID_EXPOSURE_AUTO, V4L2_CTRL_TYPE_MENU, "Auto Exposure", 0, 3, 1, 3, 3, 0,
         {{1, "Manual Mode"}, {3, "Aperture Priority Mode"}}, {V4L2_CID_EXPOSURE_ABSOLUTE}, 1},
        {V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, "Exposure Time, Absolute", 3, 2047,
         1, 250, 250},
        {V4L2_CID_FOCUS_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, "Focus", 0, 250, 5, 0, 0,
         V4L2_CTRL_FLAG_DISABLED},
        {V4L2_CID_ZOOM_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, "Zoom, Absolute", 100, 500, 1, 100, 100},
        {V4L2_CID_CAMERA_CLASS_BASE + 30, V4L2_CTRL_TYPE_STRING, "Orientation", 0, 32, 1, 0, 0},
        {V4L2_CID_CAMERA_CLASS_BASE + 31, V4L2_CTRL_TYPE_BUTTON, "Restore Settings", 0, 0, 0, 0,
         0},
    };
    camera.formats = {
        {V4L2_PIX_FMT_RGB24, {{640, 480, {30}}}},
        {V4L2_PIX_FMT_YUYV, {{640, 480, {30, 15}}, {1280, 720, {10, 5}}}},
        {V4L2_PIX_FMT_MJPEG, {{640, 480, {30}}, {1280, 720, {30, 15}}, {1920, 1080, {30}}}},
        {V4L2_PIX_FMT_YUV420, {{640, 480, {30}}}, true},
    };
}

} // namespace voip
