#pragma once
// Large buffers backed by transparent huge pages where the kernel offers them (madvise mode).
// Moving tens of MiB through a socket is dominated by first touches of fresh memory, one page
// fault per 4 KiB page; asking for 2 MiB pages before touching cuts the faults 512-fold.
// Only advice: where huge pages are unavailable everything behaves as plain allocation.

#include <boost/json/storage_ptr.hpp>

#include <cstddef>
#include <string>

namespace quorvale::rpc {

// Allocations from this size on are advised to use huge pages.
inline constexpr std::size_t largeBufferBytes = std::size_t{4} << 20;

// Grows the capacity of `text` to at least `capacity` bytes, keeping its contents; large
// capacities come from memory advised to use huge pages.
void reserveLarge(std::string& text, std::size_t capacity);

// Storage for JSON values parsed from large texts: blocks of `largeBufferBytes` and more are
// advised to use huge pages, smaller ones come from the default allocator. Lives for the whole
// process, so values using it may be kept anywhere.
boost::json::storage_ptr largeValueStorage();

}  // namespace quorvale::rpc
