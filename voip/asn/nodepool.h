#pragma once

#include <cstddef>

namespace voip::asn {

/// A per-thread cache of small memory blocks for the children of values: decoding a
/// message allocates and frees one block per constructed value, and the cache turns most
/// of those into list operations. Blocks may be freed on another thread than the one that
/// allocated them. Sanitizer builds bypass the cache so that misuse stays visible.
void* nodePoolAllocate(std::size_t bytes);
void nodePoolFree(void* block, std::size_t bytes) noexcept;

/// std::allocator replacement drawing on the node pool.
template <class T> struct NodeAllocator
{
    using value_type = T;

    NodeAllocator() noexcept = default;
    template <class U> NodeAllocator(const NodeAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return static_cast<T*>(nodePoolAllocate(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { nodePoolFree(p, n * sizeof(T)); }

    template <class U> bool operator==(const NodeAllocator<U>&) const noexcept { return true; }
};

} // namespace voip::asn
