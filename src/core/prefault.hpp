// Backing fresh memory with pages ahead of its first writes.
//
// A large buffer that is about to be written in full (a tree's nodes, the
// per-node arrays of the prediction copies) would otherwise take one page
// fault per page on its first writes. prefault asks the system to back the
// whole pages of a range in one call instead (Linux: MADV_POPULATE_WRITE,
// from 5.14), which saves the trap of each fault. Contents are left as they
// are, so it may be applied to memory already in use; where the system
// does not support it the call does nothing and the pages fault as usual.
// The pages are backed kPrefaultStep bytes at a time, and a caller's stop
// predicate can end the backing between steps (the rest then faults as
// usual): the nodes of a tree on millions of rows take the system a good
// part of a second to clear.
#pragma once
#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace tw {

// Ranges below this are left to fault: the call would cost more than it saves.
inline constexpr std::size_t kPrefaultMin = std::size_t{1} << 16;
inline constexpr std::size_t kPrefaultStep = std::size_t{1} << 24;

template <class Stop>
inline void prefault(const void* data, std::size_t bytes, Stop stop) {
#if defined(__linux__)
#ifndef MADV_POPULATE_WRITE
    constexpr int MADV_POPULATE_WRITE = 23;
#endif
    if (bytes < kPrefaultMin) return;
    static const auto kPage = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    if (kPage == 0 || (kPage & (kPage - 1)) != 0) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kPage - 1);
    // Failure (an older system) only means the pages fault as usual.
    for (std::uintptr_t at = first; at < last && !stop(); at += kPrefaultStep) {
        const std::uintptr_t step = last - at < kPrefaultStep ? last - at : kPrefaultStep;
        if (madvise(reinterpret_cast<void*>(at), step, MADV_POPULATE_WRITE) != 0) return;
    }
#else
    (void)data;
    (void)bytes;
    (void)stop;
#endif
}

inline void prefault(const void* data, std::size_t bytes) {
    prefault(data, bytes, [] { return false; });
}

}  // namespace tw
