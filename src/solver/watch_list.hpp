// A growable array of trivially copyable elements in 16 bytes (pointer,
// 32-bit size and capacity) instead of std::vector's 24, so that the table
// of watch lists, one per literal, packs four lists to a cache line.
// Grows by doubling, like std::vector; throws std::bad_alloc, unchanged,
// when it cannot.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace qn {

template <class T>
class WatchList {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  using value_type = T;
  WatchList() = default;
  WatchList(const WatchList &) = delete;
  WatchList &operator=(const WatchList &) = delete;
  WatchList(WatchList &&o) noexcept : data_(std::exchange(o.data_, nullptr)), size_(o.size_), cap_(o.cap_) {
    o.size_ = o.cap_ = 0;
  }
  WatchList &operator=(WatchList &&o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(cap_, o.cap_);
    return *this;
  }
  ~WatchList() { std::free(data_); }

  T *data() { return data_; }
  const T *data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T &operator[](size_t i) { return data_[i]; }
  const T &operator[](size_t i) const { return data_[i]; }
  T *begin() { return data_; }
  T *end() { return data_ + size_; }
  const T *begin() const { return data_; }
  const T *end() const { return data_ + size_; }

  void push_back(const T &x) {
    if (size_ == cap_) grow();
    data_[size_++] = x;
  }
  // Only ever shrinks.
  void resize(size_t n) { size_ = static_cast<uint32_t>(n); }
  // Removes element i, keeping the order of the rest.
  void erase_at(size_t i) {
    std::memmove(data_ + i, data_ + i + 1, (size_ - i - 1) * sizeof(T));
    --size_;
  }

 private:
  void grow() {
    if (cap_ == UINT32_MAX) throw std::bad_alloc();
    const uint64_t want = cap_ == 0 ? 2 : 2 * static_cast<uint64_t>(cap_);
    const uint32_t cap = want > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(want);
    void *p = std::realloc(data_, static_cast<size_t>(cap) * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<T *>(p);
    cap_ = cap;
  }

  T *data_ = nullptr;
  uint32_t size_ = 0, cap_ = 0;
};

}  // namespace qn
