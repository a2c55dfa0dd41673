#include "voip/asn/nodepool.h"

#include <array>
#include <new>

namespace voip::asn {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCache = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kCache = false;
#else
constexpr bool kCache = true;
#endif
#else
constexpr bool kCache = true;
#endif

constexpr std::size_t kGranule = 64;      // size classes of 64 bytes
constexpr std::size_t kClasses = 64;      // blocks up to 4 KiB are cached
constexpr std::size_t kMaxPerClass = 512; // blocks kept per class and thread

struct FreeBlock
{
    FreeBlock* next;
};

// Trivially constructible and destructible, so that reaching it costs no guard check;
// a separate object frees the cached blocks when the thread ends.
struct Cache
{
    std::array<FreeBlock*, kClasses> heads;
    std::array<std::size_t, kClasses> counts;
    bool cleanupRegistered;
};

thread_local Cache tlsCache{};

struct CacheCleanup
{
    ~CacheCleanup()
    {
        for (FreeBlock*& head : tlsCache.heads) {
            while (head) {
                FreeBlock* next = head->next;
                ::operator delete(head);
                head = next;
            }
        }
        tlsCache.counts = {};
    }
};

void* take(std::size_t cls)
{
    FreeBlock* block = tlsCache.heads[cls];
    if (!block) {
        return nullptr;
    }
    tlsCache.heads[cls] = block->next;
    --tlsCache.counts[cls];
    return block;
}

bool put(void* p, std::size_t cls)
{
    if (tlsCache.counts[cls] >= kMaxPerClass) {
        return false;
    }
    if (!tlsCache.cleanupRegistered) {
        thread_local CacheCleanup cleanup;
        (void)cleanup;
        tlsCache.cleanupRegistered = true;
    }
    auto* block = static_cast<FreeBlock*>(p);
    block->next = tlsCache.heads[cls];
    tlsCache.heads[cls] = block;
    ++tlsCache.counts[cls];
    return true;
}

// Size class of a request, or kClasses when it is not cached.
std::size_t classOf(std::size_t bytes)
{
    if (!kCache || bytes == 0) {
        return kClasses;
    }
    const std::size_t cls = (bytes - 1) / kGranule;
    return cls < kClasses ? cls : kClasses;
}

} // namespace

void* nodePoolAllocate(std::size_t bytes)
{
    const std::size_t cls = classOf(bytes);
    if (cls == kClasses) {
        return ::operator new(bytes);
    }
    if (void* p = take(cls)) {
        return p;
    }
    return ::operator new((cls + 1) * kGranule);
}

void nodePoolFree(void* block, std::size_t bytes) noexcept
{
    if (!block) {
        return;
    }
    const std::size_t cls = classOf(bytes);
    if (cls == kClasses || !put(block, cls)) {
        ::operator delete(block);
    }
}

} // namespace voip::asn
