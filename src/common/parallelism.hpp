// How many processors this process may run on. Python-free.
#pragma once
#include <cstdint>
#include <optional>

namespace vornic {

// The size of the process's CPU affinity set, lowered by a cgroup (v2 or v1)
// CPU quota when one is set; nullopt when the platform does not say.
std::optional<std::uint64_t> available_parallelism();

// Quota arithmetic, separated out so it can be tested without a cgroup:
// ceil(quota / period), at least 1; nullopt for "no quota".
std::optional<std::uint64_t> cpus_from_quota(std::int64_t quota, std::int64_t period);

}  // namespace vornic
