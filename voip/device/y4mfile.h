#pragma once

#include <cstdio>
#include <string>

#include "voip/device/mediastatus.h"
#include "voip/device/videoframe.h"

namespace voip {

/// Writes pictures into a YUV4MPEG2 file (4:2:0, progressive), the raw video format most
/// tools read.  The picture size is the first picture's; a picture of another size is
/// refused (the file cannot change size).
class Y4mWriter
{
public:
    Y4mWriter() = default;
    ~Y4mWriter();
    Y4mWriter(const Y4mWriter&) = delete;
    Y4mWriter& operator=(const Y4mWriter&) = delete;

    MediaStatus open(const std::string& path, unsigned frameRate);
    MediaStatus write(const VideoFrame& frame);
    MediaStatus close();
    bool isOpen() const { return file_ != nullptr; }
    unsigned framesWritten() const { return frames_; }

private:
    std::FILE* file_ = nullptr;
    std::string path_;
    unsigned frameRate_ = 25;
    unsigned width_ = 0;
    unsigned height_ = 0;
    unsigned frames_ = 0;
};

} // namespace voip
