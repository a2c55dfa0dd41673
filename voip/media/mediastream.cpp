#include "voip/media/mediastream.h"

namespace voip {

MediaStream::MediaStream(MediaFormat format, unsigned sessionId, bool isSource)
    : format_(std::move(format))
    , sessionId_(sessionId)
    , isSource_(isSource)
{}

MediaStream::~MediaStream() = default;

bool MediaStream::isOpen() const
{
    std::lock_guard lock(mutex_);
    return open_;
}

bool MediaStream::open()
{
    std::lock_guard lock(mutex_);
    if (!open_) {
        open_ = onOpen();
    }
    return open_;
}

void MediaStream::close()
{
    std::lock_guard lock(mutex_);
    if (open_) {
        open_ = false;
        onClose();
    }
}

std::string MediaStream::describe() const
{
    return format_.name() + (isSource_ ? " source" : " sink") + " session " +
           std::to_string(sessionId_);
}

} // namespace voip
