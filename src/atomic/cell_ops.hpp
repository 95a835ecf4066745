// The operations AtomicInteger and AtomicBoolean share: load, store, exchange
// and compare-and-exchange on a padded cell, each with a parsed ordering.
#pragma once
#include "atomic/cell.hpp"
#include "atomic/ordering.hpp"
#include "binding/object.hpp"

namespace vornic::atomic {

template <class T>
struct CellOps {
    using Self = Box<PaddedCell<T>>;

    static T get(Self& s, NoneOr<Text> ordering) { return s.native.value.load(load_order(parse_ordering(ordering))); }
    static void set(Self& s, T value, NoneOr<Text> ordering) {
        s.native.value.store(value, store_order(parse_ordering(ordering)));
    }
    static T get_and_set(Self& s, T new_value, NoneOr<Text> ordering) {
        return s.native.value.exchange(new_value, rmw_order(parse_ordering(ordering)));
    }
    static bool compare_and_set(Self& s, T expected, T new_value, NoneOr<Text> ordering) {
        const Ordering o = parse_ordering(ordering);
        return s.native.value.compare_exchange_strong(expected, new_value, rmw_order(o), cas_failure_order(o));
    }
};

}  // namespace vornic::atomic
