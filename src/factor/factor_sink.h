#pragma once
// Where the factor blocks of the single-thread factorization go: the factor
// region of the WorkArray (incore), the factor file written piece by piece
// (offcore, plain path) or the write buffer behind the stack area, written to
// the file whenever the next block would not fit (offcore, pivoting path).
// Entries are converted from the working precision to the stored one here.
#include <algorithm>
#include <cstdint>

#include "factor/factor_files.h"

class tessar;

template <class Stored>
class FactorSink {
 public:
  // Blocks are stored one after another from the start of region.
  static FactorSink incore(Stored* region) { return FactorSink(nullptr, 0, region, 0, nullptr); }
  // Every piece is converted in staging (room for the longest piece) and
  // appended to the factor file at once.
  static FactorSink direct(tessar& solver, char factor, Stored* staging) {
    return FactorSink(&solver, factor, nullptr, 0, staging);
  }
  // Blocks gather in buffer (capacity entries); a block that cannot fit even
  // in the empty buffer goes out piece by piece through staging.
  static FactorSink buffered(tessar& solver, char factor, Stored* buffer, std::int64_t capacity, Stored* staging) {
    return FactorSink(&solver, factor, buffer, capacity, staging);
  }

  // Announces the entry count of the next block.
  void begin_block(std::int64_t entries) {
    if (!buffered_) return;
    if (fill_ + entries > capacity_) flush();
    bypass_ = entries > capacity_;
  }

  // Appends count entries of the front spaced stride apart.
  template <class T>
  void append(const T* first, std::int64_t count, std::int64_t stride) {
    if (count <= 0) return;
    if (solver_ == nullptr || (buffered_ && !bypass_)) {
      Stored* out = region_ + (buffered_ ? fill_ : position_);
      for (std::int64_t i = 0; i < count; ++i) out[i] = Stored(first[i * stride]);
      if (buffered_) fill_ += count;
    } else {
      for (std::int64_t i = 0; i < count; ++i) staging_[i] = Stored(first[i * stride]);
      WriteFactorEntries(*solver_, staging_, sizeof(Stored), position_, count, factor_);
    }
    position_ += count;
  }

  // Writes out what the buffer holds.
  void flush() {
    if (buffered_ && fill_ > 0)
      WriteFactorEntries(*solver_, region_, sizeof(Stored), position_ - fill_, fill_, factor_);
    fill_ = 0;
  }

  // Points the sink at its region (buffer, capacity) and staging after they
  // moved; a buffered sink is flushed first.
  void relocate(Stored* region, std::int64_t capacity, Stored* staging) {
    flush();
    region_ = region;
    if (buffered_) capacity_ = capacity;
    staging_ = staging;
  }

  // Entries stored so far.
  std::int64_t position() const { return position_; }

 private:
  FactorSink(tessar* solver, char factor, Stored* region, std::int64_t capacity, Stored* staging)
      : solver_(solver), factor_(factor), region_(region), capacity_(capacity), staging_(staging),
        buffered_(solver != nullptr && region != nullptr) {}

  tessar* solver_;
  char factor_;
  Stored* region_;
  std::int64_t capacity_;
  Stored* staging_;
  bool buffered_;
  bool bypass_ = false;
  std::int64_t fill_ = 0;
  std::int64_t position_ = 0;
};
