#include "voip/device/y4mfile.h"

namespace voip {

Y4mWriter::~Y4mWriter()
{
    close();
}

MediaStatus Y4mWriter::open(const std::string& path, unsigned frameRate)
{
    close();
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_)
        return MediaFailure{MediaError::NotFound, "cannot write " + path};
    path_ = path;
    frameRate_ = frameRate ? frameRate : 25;
    width_ = height_ = 0;
    frames_ = 0;
    return MediaStatus();
}

MediaStatus Y4mWriter::write(const VideoFrame& frame)
{
    if (!file_)
        return MediaFailure{MediaError::NotOpen, "Y4M file is not open"};
    if (frame.width == 0 || frame.height == 0 ||
        frame.data.size() != VideoFrame::sizeFor(frame.width, frame.height))
        return MediaFailure{MediaError::InvalidArgument, "not a 4:2:0 picture"};
    if (frames_ == 0) {
        width_ = frame.width;
        height_ = frame.height;
        if (std::fprintf(file_, "YUV4MPEG2 W%u H%u F%u:1 Ip A1:1 C420jpeg\n", width_, height_,
                         frameRate_) < 0)
            return MediaFailure{MediaError::DeviceFailure, "cannot write " + path_};
    } else if (frame.width != width_ || frame.height != height_) {
        return MediaFailure{MediaError::InvalidArgument,
                            "picture of " + std::to_string(frame.width) + "x" +
                                std::to_string(frame.height) + " in a " + std::to_string(width_) +
                                "x" + std::to_string(height_) + " file"};
    }
    if (std::fputs("FRAME\n", file_) < 0 ||
        std::fwrite(frame.data.data(), 1, frame.data.size(), file_) != frame.data.size())
        return MediaFailure{MediaError::DeviceFailure, "cannot write " + path_};
    ++frames_;
    return MediaStatus();
}

MediaStatus Y4mWriter::close()
{
    if (!file_)
        return MediaStatus();
    const bool ok = std::fclose(file_) == 0;
    file_ = nullptr;
    return ok ? MediaStatus() : MediaFailure{MediaError::DeviceFailure, "cannot write " + path_};
}

} // namespace voip
