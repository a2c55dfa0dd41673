#include "voip/media/avlibrary.h"

#include <atomic>

#include <dlfcn.h>

namespace voip {

namespace {

struct Loaded
{
    AvLibrary library;
    std::string error; ///< empty when every function was found
};

std::atomic<bool> loaded{false};

/// Opens a library by its soname, so that only the major version the engine was compiled
/// against is taken (the structures it reads are laid out per major version).
void* openLibrary(const char* stem, int major, std::string& error)
{
    const std::string soname = std::string(stem) + ".so." + std::to_string(major);
    void* handle = dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        error = "cannot open " + soname + ": " + (why ? why : "unknown error");
    }
    return handle;
}

template <typename Function>
bool bind(void* handle, const char* name, Function& function, std::string& error)
{
    function = reinterpret_cast<Function>(dlsym(handle, name));
    if (!function && error.empty())
        error = std::string("FFmpeg has no function ") + name;
    return function != nullptr;
}

Loaded load()
{
    Loaded result;
    void* avutil = openLibrary("libavutil", LIBAVUTIL_VERSION_MAJOR, result.error);
    void* avcodec =
        avutil ? openLibrary("libavcodec", LIBAVCODEC_VERSION_MAJOR, result.error) : nullptr;
    if (!avcodec)
        return result;
    AvLibrary& av = result.library;
#define VOIP_AV_BIND_CODEC(name) bind(avcodec, #name, av.name, result.error);
#define VOIP_AV_BIND_UTIL(name) bind(avutil, #name, av.name, result.error);
    VOIP_AVCODEC_FUNCTIONS(VOIP_AV_BIND_CODEC)
    VOIP_AVUTIL_FUNCTIONS(VOIP_AV_BIND_UTIL)
#undef VOIP_AV_BIND_CODEC
#undef VOIP_AV_BIND_UTIL
    if (result.error.empty() &&
        (AV_VERSION_MAJOR(av.avcodec_version()) != LIBAVCODEC_VERSION_MAJOR ||
         AV_VERSION_MAJOR(av.avutil_version()) != LIBAVUTIL_VERSION_MAJOR))
        result.error = "FFmpeg reports another major version than its soname";
    return result;
}

} // namespace

const AvLibrary* avLibrary(std::string* error)
{
    static const Loaded instance = [] {
        Loaded result = load();
        loaded = result.error.empty();
        return result;
    }();
    if (!instance.error.empty()) {
        if (error)
            *error = instance.error;
        return nullptr;
    }
    return &instance.library;
}

bool avLibraryLoaded()
{
    return loaded;
}

void freeCodecState(AVCodecContext*& context, AVFrame*& frame, AVPacket*& packet)
{
    const AvLibrary* av = avLibraryLoaded() ? avLibrary() : nullptr;
    if (!av)
        return;
    av->avcodec_free_context(&context);
    av->av_frame_free(&frame);
    av->av_packet_free(&packet);
}

std::string avErrorText(const AvLibrary& av, int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av.av_strerror(code, text, sizeof text);
    return text;
}

} // namespace voip
