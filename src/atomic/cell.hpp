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

#include "binding/borrow.hpp"
#include "binding/py.hpp"

namespace vornic::atomic {

inline constexpr std::size_t kAllocAlign = 16;
inline constexpr std::size_t kLine = 64;

constexpr std::size_t floor_align(std::size_t n) { return n / kAllocAlign * kAllocAlign; }

// Where Box<PaddedCell<T>> puts the padded struct: after the header and the
// borrow flag (the header is larger on free-threaded builds).
inline constexpr std::size_t kPrefix = sizeof(PyObject) + sizeof(BorrowFlag);
// The line holding the prefix's last byte ends by this offset at the latest.
inline constexpr std::size_t kCellOffset = floor_align(kPrefix - 1) + kLine;

template <class T>
struct PaddedCell {
    static constexpr std::size_t kEnd = floor_align(kCellOffset + sizeof(std::atomic<T>) - 1) + kLine;

    char before[kCellOffset - kPrefix];
    std::atomic<T> value;
    char after[kEnd - kCellOffset - sizeof(std::atomic<T>)];

    explicit PaddedCell(T v) : before{}, value(v), after{} {}
    PaddedCell(PaddedCell&& o) noexcept : before{}, value(o.value.load(std::memory_order_relaxed)), after{} {}
};

}  // namespace vornic::atomic
