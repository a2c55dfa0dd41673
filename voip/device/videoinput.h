#pragma once

#include <memory>
#include <string>
#include <vector>

#include "voip/device/mediastatus.h"
#include "voip/device/videoframe.h"

namespace voip {

inline constexpr const char* kFakeVideoDriver = "FakeVideo";

/// What a video source is opened with.
struct VideoInputParams
{
    std::string device; ///< as the driver lists it ("" for the driver's first)
    unsigned width = 1280;
    unsigned height = 720;
    unsigned frameRate = 25;
    /// The picture format to ask a camera for ("YUV420P", "YUY2", "MJPEG"); empty lets
    /// the driver choose.
    std::string colourFormat;
};

/// A source of pictures (a camera, a test pattern).  One thread reads it; open and close
/// from that thread or before it starts.
class VideoInputDevice
{
public:
    virtual ~VideoInputDevice() = default;
    virtual std::string driverName() const = 0;
    virtual MediaStatus open(const VideoInputParams& params) = 0;
    /// Waits for the next picture (paced at the frame rate) and hands it out.
    virtual MediaStatus readFrame(VideoFrame& frame) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
};

std::vector<std::string> videoInputDriverNames();
/// A closed device of that driver, or NotFound.
MediaResult<std::unique_ptr<VideoInputDevice>> createVideoInputDevice(const std::string& driver);

} // namespace voip
