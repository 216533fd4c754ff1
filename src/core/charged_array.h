#pragma once
// An array whose bytes are charged to the solver's memory monitor while it is
// held: charged before the allocation (so the hard limit stops a run before it
// takes the memory) and credited when it is released or destroyed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "platform/process.h"

class tessar;
void add_memory(tessar& solver, std::uint64_t kb);
void release_memory(tessar& solver, std::uint64_t kb);
[[noreturn]] void fatal_out_of_memory(tessar& solver, const char* message);

// The elements are left uninitialised, complex ones too (a value-initialised
// complex array would be written whole on allocation, which for a large front
// costs as much as the page faults it brings forward).
template <class T>
class ChargedArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  ChargedArray() = default;
  ChargedArray(const ChargedArray&) = delete;
  ChargedArray& operator=(const ChargedArray&) = delete;
  ~ChargedArray() { release(); }

  // Allocates count elements (contents unset), releasing what was held; an
  // allocation failure ends the run with the message, code 100.
  void allocate(tessar& solver, std::size_t count, const char* failure_message) {
    release();
    solver_ = &solver;
    charged_kb_ = kb_for(count);
    add_memory(solver, charged_kb_);
    data_ = raw_array(count);
    if (!data_) fatal_out_of_memory(solver, failure_message);
    size_ = count;
  }

  // Grows or shrinks the array, keeping the leading elements.
  void resize(std::size_t count, const char* failure_message) {
    std::uint64_t new_kb = kb_for(count);
    add_memory(*solver_, new_kb);
    Storage fresh = raw_array(count);
    if (!fresh) fatal_out_of_memory(*solver_, failure_message);
    std::copy_n(data_.get(), std::min(count, size_), fresh.get());
    release_memory(*solver_, charged_kb_);
    data_ = std::move(fresh);
    charged_kb_ = new_kb;
    size_ = count;
  }

  // Backs all its pages with memory now, for an array about to be written
  // whole (platform/process.h).
  void back_now() { back_pages_now(data_.get(), size_ * sizeof(T)); }

  void release() {
    if (data_) {
      data_.reset();
      release_memory(*solver_, charged_kb_);
    }
    size_ = 0;
    charged_kb_ = 0;
  }

  void swap(ChargedArray& other) noexcept {
    std::swap(solver_, other.solver_);
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(charged_kb_, other.charged_kb_);
  }

  T* data() { return data_.get(); }
  const T* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  bool allocated() const { return data_ != nullptr; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T* begin() { return data_.get(); }
  T* end() { return data_.get() + size_; }
  const T* begin() const { return data_.get(); }
  const T* end() const { return data_.get() + size_; }

 private:
  struct RawDelete {
    void operator()(T* p) const { ::operator delete[](p); }
  };
  using Storage = std::unique_ptr<T[], RawDelete>;

  static Storage raw_array(std::size_t count) {
    if (count > SIZE_MAX / sizeof(T)) return Storage();
    return Storage(static_cast<T*>(::operator new[](std::max<std::size_t>(count, 1) * sizeof(T), std::nothrow)));
  }

  static std::uint64_t kb_for(std::size_t count) { return static_cast<std::uint64_t>(count) * sizeof(T) / 1024; }

  tessar* solver_ = nullptr;
  Storage data_;
  std::size_t size_ = 0;
  std::uint64_t charged_kb_ = 0;
};
