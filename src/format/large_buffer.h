#pragma once

#include <cstddef>
#include <memory>
#include <new>

namespace qxw {

// Memory for a buffer of megabytes: backed by large pages where the system has them, as each
// small page costs a fault when first touched, and on a virtual machine a fault costs
// microseconds. Null when none is to be had.
void* allocateLarge(size_t bytes);
void freeLarge(void* p);

// Has the system back the whole pages of [at, at + bytes) with memory at once, ahead of their
// first writes: on a virtual machine a fault a page costs microseconds, and all of them at once a
// fraction of that. Where the system cannot, the writes fault as before.
void populateForWriting(void* at, size_t bytes);

// An uninitialised array of such memory, which a thread fills soon after it is made.
template <typename T>
class LargeBuffer {
 public:
  LargeBuffer() = default;
  // Throws std::bad_alloc as new does.
  explicit LargeBuffer(size_t count) : data_(static_cast<T*>(allocateLarge(count * sizeof(T)))) {
    if (data_ == nullptr) throw std::bad_alloc();
  }

  T* get() const { return data_.get(); }
  T& operator[](size_t i) const { return data_.get()[i]; }
  void swap(LargeBuffer& other) noexcept { data_.swap(other.data_); }

 private:
  struct Free {
    void operator()(T* p) const { freeLarge(p); }
  };
  std::unique_ptr<T, Free> data_;
};

}  // namespace qxw
