#include "rpc/large_buffer.h"

#include <sys/mman.h>

#include <boost/json/memory_resource.hpp>

#include <cstdint>
#include <new>

namespace quorvale::rpc {

namespace {

constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

// Advises the whole huge pages inside [data, data + size); untouched pages there will then be
// faulted in 2 MiB at a time.
void adviseHugePages(void* data, std::size_t size) {
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const auto first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const auto last = (begin + size) & ~(kHugePage - 1);
    if (last > first)
        ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// Boost.JSON allocates key strings with alignment 1 and frees them with the default
// alignment, so the two calls may disagree: every alignment the plain operator new already
// guarantees takes the plain pair, and only over-aligned blocks the aligned pair.
constexpr bool overAligned(std::size_t align) {
    return align > __STDCPP_DEFAULT_NEW_ALIGNMENT__;
}

class LargeBlockResource final : public boost::json::memory_resource {
    void* do_allocate(std::size_t size, std::size_t align) override {
        void* block = overAligned(align) ? ::operator new(size, std::align_val_t(align))
                                         : ::operator new(size);
        if (size >= largeBufferBytes)
            adviseHugePages(block, size);
        return block;
    }
    void do_deallocate(void* block, std::size_t, std::size_t align) override {
        if (overAligned(align))
            ::operator delete(block, std::align_val_t(align));
        else
            ::operator delete(block);
    }
    bool do_is_equal(const memory_resource& other) const noexcept override {
        return this == &other;
    }
};

}  // namespace

void reserveLarge(std::string& text, std::size_t capacity) {
    if (capacity <= text.capacity())
        return;
    if (capacity < largeBufferBytes) {
        text.reserve(capacity);
        return;
    }
    // A fresh block is untouched but for its first bytes: advise it before copying into it.
    std::string grown;
    grown.reserve(capacity);
    adviseHugePages(grown.data(), capacity);
    grown.append(text);
    text.swap(grown);
}

boost::json::storage_ptr largeValueStorage() {
    // Never destroyed: values using it may outlive every other static.
    static auto* resource = new LargeBlockResource;
    return boost::json::storage_ptr(resource);
}

}  // namespace quorvale::rpc
