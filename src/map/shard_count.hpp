// The default number of shards of a ConcurrentMap. Python-free.
#pragma once
#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>

namespace vornic::map {

// Never fewer than this many shards: even on a small machine, sixteen locks
// keep two busy threads from meeting on one shard most of the time, and the
// cost is a kilobyte of empty shards.
inline constexpr std::uint64_t kMinDefaultShards = 16;

// processors: how many processors the process may run on, nullopt when the
// platform does not say. Returns at least kMinDefaultShards, else the
// smallest power of two >= processors (a power of two keeps the spread of
// hash values over shards even when hashes are sequential integers).
constexpr std::uint64_t default_shard_count(std::optional<std::uint64_t> processors) noexcept {
    if (!processors || *processors <= 1) return kMinDefaultShards;
    constexpr std::uint64_t kTop = std::uint64_t{1} << 63;  // bit_ceil above this is undefined
    const std::uint64_t rounded = *processors > kTop ? kTop : std::bit_ceil(*processors);
    return std::max(kMinDefaultShards, rounded);
}

}  // namespace vornic::map
