// Up-front check of a bounded channel's storage request.
//
// Asking the allocator for an impossible amount is not a dependable way to
// find out: sanitizer allocators abort the process instead of throwing, and
// with memory overcommit a huge request may "succeed" and fail much later. A
// buffer larger than all RAM and swap together could never be filled, so it
// is refused here with the exception the allocator would have thrown.
#include <sys/sysinfo.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>

#include "channel_core/flavor_bounded.hpp"

namespace vornic::chan::detail {

void check_reservable(std::size_t count, std::size_t item_size) {
  const std::size_t max_count = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / item_size;
  if (count > max_count) throw std::length_error("channel capacity too large");
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return;  // no answer: leave it to the allocator
  const unsigned __int128 total =
      (static_cast<unsigned __int128>(info.totalram) + info.totalswap) * info.mem_unit;
  if (static_cast<unsigned __int128>(count) * item_size > total) throw std::bad_alloc();
}

}  // namespace vornic::chan::detail
