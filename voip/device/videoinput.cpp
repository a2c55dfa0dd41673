#include "voip/device/videoinput.h"

#include "voip/device/video_fake.h"

namespace voip {

std::vector<std::string> videoInputDriverNames()
{
    return {kFakeVideoDriver};
}

MediaResult<std::unique_ptr<VideoInputDevice>> createVideoInputDevice(const std::string& driver)
{
    if (driver == kFakeVideoDriver)
        return std::unique_ptr<VideoInputDevice>(new FakeVideoInput());
    return MediaStatus::failure(MediaError::NotFound, "no video input driver \"" + driver + "\"");
}

} // namespace voip
