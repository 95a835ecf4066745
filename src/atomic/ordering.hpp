// Memory-ordering names accepted by the atomics, and which orderings each
// kind of operation admits.
#pragma once
#include "binding/args.hpp"

#include <atomic>

namespace vornic::atomic {

enum class Ordering { Relaxed = 0, Release = 1, Acquire = 2, AcqRel = 3, SeqCst = 4 };

// Throws ValueError for an unknown name.
Ordering parse_ordering_name(Text name);

// Absent means SeqCst. Throws ValueError for an unknown name. Inline, since
// most calls give no ordering at all.
inline Ordering parse_ordering(const NoneOr<Text>& name) {
    return name.v ? parse_ordering_name(*name.v) : Ordering::SeqCst;
}

// Throw Panic for orderings a plain load or store cannot have.
std::memory_order load_order(Ordering o);
std::memory_order store_order(Ordering o);
// Any ordering is valid for read-modify-write operations.
inline std::memory_order rmw_order(Ordering o) {
    switch (o) {
        case Ordering::Relaxed: return std::memory_order_relaxed;
        case Ordering::Release: return std::memory_order_release;
        case Ordering::Acquire: return std::memory_order_acquire;
        case Ordering::AcqRel: return std::memory_order_acq_rel;
        case Ordering::SeqCst: break;
    }
    return std::memory_order_seq_cst;
}
// The failure ordering of a compare-and-exchange: the strongest load
// ordering that is no stronger than the success ordering.
std::memory_order cas_failure_order(Ordering o);

}  // namespace vornic::atomic
