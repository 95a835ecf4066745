#include "common/parallelism.hpp"

#include <sched.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace vornic {

std::optional<std::uint64_t> cpus_from_quota(std::int64_t quota, std::int64_t period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    const auto n = static_cast<std::uint64_t>((quota + period - 1) / period);
    return std::max<std::uint64_t>(n, 1);
}

namespace {

std::optional<std::uint64_t> affinity_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0) return std::nullopt;
    const int n = CPU_COUNT(&set);
    if (n <= 0) return std::nullopt;
    return static_cast<std::uint64_t>(n);
}

// The cgroup path of this process for a controller ("" is the v2 unified one).
std::optional<std::string> cgroup_path(const std::string& controller) {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        // hierarchy-id:controller-list:path
        const auto a = line.find(':');
        const auto b = line.find(':', a == std::string::npos ? a : a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        const std::string list = line.substr(a + 1, b - a - 1);
        const std::string path = line.substr(b + 1);
        if (controller.empty()) {
            if (line.compare(0, a, "0") == 0 && list.empty()) return path;
            continue;
        }
        std::stringstream ss(list);
        std::string item;
        while (std::getline(ss, item, ','))
            if (item == controller) return path;
    }
    return std::nullopt;
}

// Reads the quota at dir and each ancestor up to mount_root; the tightest wins.
template <class ReadOne>
std::optional<std::uint64_t> tightest(const std::string& mount_root, std::string rel, ReadOne read_one) {
    std::optional<std::uint64_t> best;
    for (;;) {
        if (auto n = read_one(mount_root + rel)) best = best ? std::min(*best, *n) : *n;
        if (rel.empty() || rel == "/") break;
        const auto slash = rel.find_last_of('/');
        rel = slash == 0 || slash == std::string::npos ? std::string("/") : rel.substr(0, slash);
    }
    return best;
}

std::optional<std::uint64_t> cgroup_v2_limit() {
    auto rel = cgroup_path("");
    if (!rel) return std::nullopt;
    return tightest("/sys/fs/cgroup", *rel, [](const std::string& dir) -> std::optional<std::uint64_t> {
        std::ifstream f(dir + "/cpu.max");
        std::string quota;
        std::int64_t period = 0;
        if (!(f >> quota >> period) || quota == "max") return std::nullopt;
        try {
            return cpus_from_quota(std::stoll(quota), period);
        } catch (...) {
            return std::nullopt;
        }
    });
}

std::optional<std::uint64_t> cgroup_v1_limit() {
    auto rel = cgroup_path("cpu");
    if (!rel) return std::nullopt;
    for (const char* root : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
        auto n = tightest(root, *rel, [](const std::string& dir) -> std::optional<std::uint64_t> {
            std::ifstream q(dir + "/cpu.cfs_quota_us"), p(dir + "/cpu.cfs_period_us");
            std::int64_t quota = 0, period = 0;
            if (!(q >> quota) || !(p >> period)) return std::nullopt;
            return cpus_from_quota(quota, period);
        });
        if (n) return n;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> available_parallelism() {
    auto n = affinity_count();
    if (!n) return std::nullopt;
    auto quota = cgroup_v2_limit();
    if (!quota) quota = cgroup_v1_limit();
    if (quota) n = std::min(*n, *quota);
    return n;
}

}  // namespace vornic
