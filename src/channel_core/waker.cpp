#include "channel_core/waker.hpp"

namespace vornic::chan::detail {

void WaiterList::push_back(WaitNode& n) noexcept {
  n.prev = tail_;
  n.next = nullptr;
  if (tail_ != nullptr) {
    tail_->next = &n;
  } else {
    head_ = &n;
  }
  tail_ = &n;
  n.linked = true;
  ++size_;
}

void WaiterList::unlink(WaitNode& n) noexcept {
  if (n.prev != nullptr) {
    n.prev->next = n.next;
  } else {
    head_ = n.next;
  }
  if (n.next != nullptr) {
    n.next->prev = n.prev;
  } else {
    tail_ = n.prev;
  }
  n.prev = n.next = nullptr;
  n.linked = false;
  --size_;
}

namespace {
bool wanted(const WaitNode& n, WaiterList::Want want) noexcept {
  if (want == WaiterList::Want::Any) return true;
  return (n.packet != nullptr) == (want == WaiterList::Want::Packet);
}
}  // namespace

Claimed WaiterList::claim_one(std::uint64_t self, Want want) noexcept {
  for (WaitNode* n = head_; n != nullptr; n = n->next) {
    if (n->waiter->thread() == self || !wanted(*n, want)) continue;
    if (!n->waiter->try_claim(selected(n->operation))) continue;
    Claimed c{WaiterRef::share(*n->waiter), n->packet};
    unlink(*n);
    return c;
  }
  return {};
}

bool WaiterList::has_claimable(std::uint64_t self, Want want) const noexcept {
  for (const WaitNode* n = head_; n != nullptr; n = n->next) {
    if (n->waiter->thread() != self && wanted(*n, want) && n->waiter->claim() == kWaiting) return true;
  }
  return false;
}

void WaiterList::disconnect_all(Waiter** wake) noexcept {
  while (head_ != nullptr) {
    WaitNode& n = *head_;
    if (n.waiter->try_claim(kDisconnected)) {
      n.waiter->retain();
      n.waiter->wake_next = *wake;
      *wake = n.waiter;
    }
    unlink(n);
  }
}

void ChannelState::disconnect() noexcept {
  Waiter* wake = nullptr;
  {
    std::lock_guard<ChanLock> lock(mu_);
    if (disconnected_) return;
    disconnected_ = true;
    receivers_.disconnect_all(&wake);
    senders_.disconnect_all(&wake);
  }
  while (wake != nullptr) {
    Waiter* w = wake;
    wake = w->wake_next;
    w->wake_next = nullptr;
    w->unpark();
    w->release();
  }
}

}  // namespace vornic::chan::detail
