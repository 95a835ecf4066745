// A value that shares no cache line with the object header (whose reference
// count other threads write) or with the borrow flag.
//
// Instances come from the interpreter's allocator, which only promises 16-byte
// alignment, so declaring the cell alignas(64) would be a promise the memory
// cannot keep. Instead the cell is placed far enough into the object, and
// enough tail padding follows it, that whatever 16-byte-aligned address the
// object gets, the 64-byte line holding the cell holds nothing else of ours
// and nothing of a neighbouring object.
#pragma once
#include <atomic>
#include <cstddef>

namespace vornic::atomic {

// The cell sits at byte 80 of the object or later: the line holding the
// borrow flag (bytes 16..23) ends by byte 80 at the latest. 64 more bytes
// after the cell's line start keep the next object off it.
inline constexpr std::size_t kCellOffset = 80;
inline constexpr std::size_t kObjectEnd = 144;

template <class T>
struct PaddedCell {
    // Box<PaddedCell> puts this struct at byte 24 (header 16 + borrow flag 8).
    static constexpr std::size_t kStart = 24;
    char before[kCellOffset - kStart];
    std::atomic<T> value;
    char after[kObjectEnd - kCellOffset - sizeof(std::atomic<T>)];

    explicit PaddedCell(T v) : before{}, value(v), after{} {}
    PaddedCell(PaddedCell&& o) noexcept : before{}, value(o.value.load(std::memory_order_relaxed)), after{} {}
};

}  // namespace vornic::atomic
