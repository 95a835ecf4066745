// The processor count behind the map's default shard count and the pool's
// default worker count.
#include <gtest/gtest.h>
#include <sched.h>

#include "common/parallelism.hpp"

namespace {

TEST(Parallelism, QuotaRoundsUpAndNeverReachesZero) {
    EXPECT_EQ(vornic::cpus_from_quota(150000, 100000), 2u);   // 1.5 CPUs may run 2 threads at once
    EXPECT_EQ(vornic::cpus_from_quota(200000, 100000), 2u);
    EXPECT_EQ(vornic::cpus_from_quota(1000, 100000), 1u);     // a sliver of a CPU is still one
    EXPECT_FALSE(vornic::cpus_from_quota(-1, 100000));        // cgroup v1 "no quota"
    EXPECT_FALSE(vornic::cpus_from_quota(100000, 0));
}

TEST(Parallelism, NeverMoreThanTheAffinitySet) {
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
    const auto n = vornic::available_parallelism();
    ASSERT_TRUE(n.has_value());
    EXPECT_GE(*n, 1u);
    EXPECT_LE(*n, static_cast<std::uint64_t>(CPU_COUNT(&set)));
}

TEST(Parallelism, FollowsANarrowedAffinitySet) {
    cpu_set_t original;
    CPU_ZERO(&original);
    ASSERT_EQ(sched_getaffinity(0, sizeof(original), &original), 0);
    int first = -1;
    for (int i = 0; i < CPU_SETSIZE && first < 0; ++i)
        if (CPU_ISSET(i, &original)) first = i;
    ASSERT_GE(first, 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
    const auto n = vornic::available_parallelism();
    sched_setaffinity(0, sizeof(original), &original);
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(*n, 1u);
}

}  // namespace
