// Chan<T>: the shared state behind one channel's Sender and Receiver handles.
//
// It owns the flavour (chosen at creation, never changed) and counts the live
// handles of each side. The flavour is dispatched here and nowhere else: every
// caller goes through visit().
//
// Lifetime: created with one Sender and one Receiver. When a side's count
// drops to zero the channel is disconnected (all waiters of both sides woken);
// when the last Receiver goes the buffered items are released too. The second
// side to reach zero frees the state, and with it anything still buffered.
// No lock is held while freeing, so item destructors run lock-free.
#pragma once

#include <atomic>
#include <cstddef>
#include <type_traits>
#include <utility>
#include <variant>

#include "channel_core/flavor_bounded.hpp"
#include "channel_core/flavor_rendezvous.hpp"
#include "channel_core/flavor_unbounded.hpp"

namespace vornic::chan::detail {

struct UnboundedTag {};
struct RendezvousTag {};

template <class T>
class Chan {
  static_assert(std::is_nothrow_move_constructible_v<T>,
                "channel items are moved under the channel lock and must not throw when moved");
  static_assert(std::is_nothrow_destructible_v<T>, "channel items must not throw when destroyed");

 public:
  explicit Chan(UnboundedTag) : flavor_(std::in_place_index<0>) {}
  explicit Chan(std::size_t cap) : flavor_(std::in_place_index<1>, cap) {}
  explicit Chan(RendezvousTag) : flavor_(std::in_place_index<2>) {}
  Chan(const Chan&) = delete;
  Chan& operator=(const Chan&) = delete;

  // The single dispatch point over the flavours.
  template <class F>
  decltype(auto) visit(F&& f) {
    return std::visit(std::forward<F>(f), flavor_);
  }
  template <class F>
  decltype(auto) visit(F&& f) const {
    return std::visit(std::forward<F>(f), flavor_);
  }

  // The unbounded flavour, or null for the others. The non-blocking send and
  // receive take it first, without the general dispatch: on the same-thread
  // path the dispatch, a jump table the inliner will not see through, cost
  // as much as the buffer work itself.
  UnboundedFlavor<T>* unbounded_or_null() noexcept { return std::get_if<0>(&flavor_); }

  void add_sender() noexcept { senders_.fetch_add(1, std::memory_order_relaxed); }
  void add_receiver() noexcept { receivers_.fetch_add(1, std::memory_order_relaxed); }

  void drop_sender() noexcept {
    if (senders_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    visit([](auto& f) { f.disconnect(); });
    finish_side();
  }

  // The live handles of each side (senders, receivers), as of some recent
  // instant: a count read as n means every handle that was dropped before
  // this read is no longer using the channel.
  std::pair<std::size_t, std::size_t> handle_counts() const noexcept {
    return {senders_.load(std::memory_order_acquire), receivers_.load(std::memory_order_acquire)};
  }

  void drop_receiver() noexcept {
    if (receivers_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    visit([](auto& f) {
      f.disconnect();
      f.discard_buffered();
    });
    finish_side();
  }

 private:
  void finish_side() noexcept {
    if (done_sides_.fetch_add(1, std::memory_order_acq_rel) == 1) delete this;
  }

  std::atomic<std::size_t> senders_{1};
  std::atomic<std::size_t> receivers_{1};
  std::atomic<int> done_sides_{0};
  std::variant<UnboundedFlavor<T>, BoundedFlavor<T>, RendezvousFlavor<T>> flavor_;
};

}  // namespace vornic::chan::detail
