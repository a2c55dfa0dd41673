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

class Cache
{
public:
    ~Cache()
    {
        for (FreeBlock*& head : heads_) {
            while (head) {
                FreeBlock* next = head->next;
                ::operator delete(head);
                head = next;
            }
        }
    }

    void* take(std::size_t cls)
    {
        FreeBlock* block = heads_[cls];
        if (!block) {
            return nullptr;
        }
        heads_[cls] = block->next;
        --counts_[cls];
        return block;
    }

    bool put(void* p, std::size_t cls)
    {
        if (counts_[cls] >= kMaxPerClass) {
            return false;
        }
        auto* block = static_cast<FreeBlock*>(p);
        block->next = heads_[cls];
        heads_[cls] = block;
        ++counts_[cls];
        return true;
    }

private:
    std::array<FreeBlock*, kClasses> heads_{};
    std::array<std::size_t, kClasses> counts_{};
};

Cache& cache()
{
    thread_local Cache instance;
    return instance;
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
    if (void* p = cache().take(cls)) {
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
    if (cls == kClasses || !cache().put(block, cls)) {
        ::operator delete(block);
    }
}

} // namespace voip::asn
