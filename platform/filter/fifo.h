// A first-in first-out queue that keeps its storage.
//
// Owns: a ring of slots that only grows (doubling when full). Once it has
// held as many items as it ever will, pushing and popping allocate nothing,
// unlike std::deque, which frees and allocates a block every few dozen
// items. The completion port's packets and a filter port's posted reads
// pass through one per notification.
// Must not: lock; its owner does.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace zv::platform {

template <class T>
class Fifo {
 public:
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  T& front() { return slots_[head_]; }

  void push_back(T item) {
    if (size_ == slots_.size()) Grow();
    slots_[(head_ + size_) % slots_.size()] = std::move(item);
    ++size_;
  }
  // Leaves a default item behind, so a slot holds nothing it no longer needs.
  void pop_front() {
    slots_[head_] = T();
    head_ = (head_ + 1) % slots_.size();
    --size_;
  }
  void clear() {
    while (!empty()) pop_front();
  }

 private:
  void Grow() {
    std::vector<T> bigger(std::max<std::size_t>(8, slots_.size() * 2));
    for (std::size_t i = 0; i < size_; ++i) bigger[i] = std::move(slots_[(head_ + i) % slots_.size()]);
    slots_.swap(bigger);
    head_ = 0;
  }

  std::vector<T> slots_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

}  // namespace zv::platform
