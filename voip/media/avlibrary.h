#pragma once

#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace voip {

// The FFmpeg functions the engine calls, by library.  A codec that needs another one adds
// it here.
#define VOIP_AVCODEC_FUNCTIONS(X)                                                                  \
    X(avcodec_version)                                                                             \
    X(avcodec_find_encoder)                                                                        \
    X(avcodec_find_decoder)                                                                        \
    X(avcodec_alloc_context3)                                                                      \
    X(avcodec_free_context)                                                                        \
    X(avcodec_open2)                                                                               \
    X(avcodec_send_frame)                                                                          \
    X(avcodec_receive_packet)                                                                      \
    X(avcodec_send_packet)                                                                         \
    X(avcodec_receive_frame)                                                                       \
    X(av_packet_alloc)                                                                             \
    X(av_packet_free)                                                                              \
    X(av_packet_unref)                                                                             \
    X(av_new_packet)                                                                               \
    X(avcodec_find_encoder_by_name)

#define VOIP_AVUTIL_FUNCTIONS(X)                                                                   \
    X(avutil_version)                                                                              \
    X(av_strerror)                                                                                 \
    X(av_frame_alloc)                                                                              \
    X(av_frame_free)                                                                               \
    X(av_frame_unref)                                                                              \
    X(av_frame_get_buffer)                                                                         \
    X(av_channel_layout_default)                                                                   \
    X(av_opt_set)                                                                                  \
    X(av_frame_make_writable)

/// libavcodec and libavutil, opened the first time a codec needs them rather than linked
/// in: FFmpeg as Debian builds it maps a hundred libraries (x265, rav1e, librsvg, ICU...),
/// which would more than double the memory of a process that only carries G.711.
/// The members are the library's functions under their own names.  Thread-safe.
struct AvLibrary
{
#define VOIP_AV_MEMBER(name) decltype(&::name) name = nullptr;
    VOIP_AVCODEC_FUNCTIONS(VOIP_AV_MEMBER)
    VOIP_AVUTIL_FUNCTIONS(VOIP_AV_MEMBER)
#undef VOIP_AV_MEMBER
};

/// The loaded libraries, or null when they cannot be opened (not installed, another major
/// version, a function missing); `error` then says which and why.  Opened once per
/// process and never closed.
const AvLibrary* avLibrary(std::string* error = nullptr);

/// Whether avLibrary() has opened the libraries (without trying to open them).
bool avLibraryLoaded();

/// Frees a codec context and its frame and packet (each may be null) and nulls them.
/// Nothing was allocated unless the libraries opened, so nothing is opened for this.
void freeCodecState(AVCodecContext*& context, AVFrame*& frame, AVPacket*& packet);

/// The text of a libavcodec error code.
std::string avErrorText(const AvLibrary& av, int code);

} // namespace voip
