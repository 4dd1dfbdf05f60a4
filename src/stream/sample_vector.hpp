#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace vorn {

// Owned buffer of decoded samples. The memory comes from malloc so that the
// array holder on the Python side can return it with free() without knowing
// the element type, and so that growing a buffer for a payload that is still
// arriving can use realloc. Move-only; exactly one owner at any time.
template <class T>
class SampleVector {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  SampleVector() noexcept = default;
  SampleVector(const SampleVector&) = delete;
  SampleVector& operator=(const SampleVector&) = delete;
  SampleVector(SampleVector&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  SampleVector& operator=(SampleVector&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~SampleVector() { std::free(data_); }

  // Grows the allocation to hold `capacity` elements, keeping the first
  // size() of them. Returns false, leaving the vector untouched, when the
  // memory cannot be had.
  [[nodiscard]] bool reserve(std::size_t capacity) noexcept {
    if (capacity <= capacity_) return true;
    if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
      return false;
    }
    void* grown = data_ == nullptr ? std::malloc(capacity * sizeof(T))
                                   : std::realloc(data_, capacity * sizeof(T));
    if (grown == nullptr) return false;
    data_ = static_cast<T*>(grown);
    capacity_ = capacity;
    return true;
  }

  // Precondition: size <= capacity(). Elements past the old size are
  // whatever the caller wrote there.
  void set_size(std::size_t size) noexcept { size_ = size; }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  std::byte* bytes() noexcept { return reinterpret_cast<std::byte*>(data_); }

  // Raw parts for a new owner, which must eventually pass `data` to free().
  struct Parts {
    T* data;
    std::size_t size;
    std::size_t capacity;
  };
  Parts release() noexcept {
    return {std::exchange(data_, nullptr), std::exchange(size_, 0),
            std::exchange(capacity_, 0)};
  }

 private:
  T* data_ = nullptr;         // null exactly when capacity_ == 0
  std::size_t size_ = 0;      // elements holding decoded samples
  std::size_t capacity_ = 0;  // elements allocated
};

}  // namespace vorn
