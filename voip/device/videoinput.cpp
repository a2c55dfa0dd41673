#include "voip/device/videoinput.h"

#include "voip/device/video_fake.h"
#include "voip/device/video_v4l2.h"

namespace voip {

std::vector<std::string> videoInputDriverNames()
{
    return {kV4l2VideoDriver, kFakeVideoDriver};
}

MediaResult<std::unique_ptr<VideoInputDevice>> createVideoInputDevice(const std::string& driver)
{
    if (driver == kFakeVideoDriver)
        return std::unique_ptr<VideoInputDevice>(new FakeVideoInput());
    if (driver == kV4l2VideoDriver)
        return std::unique_ptr<VideoInputDevice>(new V4l2VideoInput());
    return MediaFailure{MediaError::NotFound, "no video input driver \"" + driver + "\""};
}

} // namespace voip
