#include "atomic/ordering.hpp"

#include <string>

namespace vornic::atomic {

Ordering parse_ordering_name(Text n) {
    if (n == "SeqCst" || n == "seq_cst") return Ordering::SeqCst;
    if (n == "Relaxed" || n == "relaxed") return Ordering::Relaxed;
    if (n == "Acquire" || n == "acquire") return Ordering::Acquire;
    if (n == "Release" || n == "release") return Ordering::Release;
    if (n == "AcqRel" || n == "acq_rel") return Ordering::AcqRel;
    throw ValueError(std::string(msg::kUnsupportedOrdering) + std::string(n));
}

std::memory_order load_order(Ordering o) {
    if (o == Ordering::Release) throw Panic(msg::kReleaseLoad);
    if (o == Ordering::AcqRel) throw Panic(msg::kAcqRelLoad);
    return rmw_order(o);
}

std::memory_order store_order(Ordering o) {
    if (o == Ordering::Acquire) throw Panic(msg::kAcquireStore);
    if (o == Ordering::AcqRel) throw Panic(msg::kAcqRelStore);
    return rmw_order(o);
}

std::memory_order cas_failure_order(Ordering o) {
    switch (o) {
        case Ordering::Relaxed:
        case Ordering::Release: return std::memory_order_relaxed;
        case Ordering::Acquire:
        case Ordering::AcqRel: return std::memory_order_acquire;
        case Ordering::SeqCst: break;
    }
    return std::memory_order_seq_cst;
}

}  // namespace vornic::atomic
