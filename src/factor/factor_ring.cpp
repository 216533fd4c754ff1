#include "factor/factor_ring.h"

#include <algorithm>
#include <cstring>

#include "core/memory_monitor.h"
#include "core/tessar.h"
#include "factor/factor_files.h"
#include "platform/core_library.h"

FactorWriteRing::FactorWriteRing(std::byte* area, std::int64_t bytes) : area_(area), bytes_(bytes / 16 * 16) {}

std::byte* FactorWriteRing::reserve(std::int64_t payload) {
  const std::int64_t size = rounded(header_bytes + payload);
  std::unique_lock lock(lock_);
  if (size > bytes_) {
    aborted_ = true;
    writer_wake_.notify_one();
    space_freed_.notify_all();
    return nullptr;
  }
  for (;;) {
    if (aborted_) return nullptr;
    if (head_ > tail_ || empty()) {
      if (bytes_ - head_ >= size) break;
      // No room before the end of the area: the rest is marked unused and
      // the record goes to the start, once the writer has left that lap.
      if (head_ < bytes_) header_at(head_)->status = 3;
      ++producer_lap_;
      head_ = 0;
      writer_wake_.notify_one();
      continue;
    }
    if (head_ < tail_ && tail_ - head_ >= size) break;
    space_freed_.wait(lock);
  }
  std::byte* record = area_ + head_;
  header_at(head_)->status = 0;
  header_at(head_)->record_bytes = size;
  head_ += size;
  return record;
}

void FactorWriteRing::publish(std::byte* record, std::uint8_t status) {
  std::scoped_lock lock(lock_);
  reinterpret_cast<FactorBlockHeader*>(record)->status = status;
  writer_wake_.notify_one();
}

void FactorWriteRing::close() {
  std::scoped_lock lock(lock_);
  closed_ = true;
  writer_wake_.notify_one();
}

void FactorWriteRing::abort() {
  std::scoped_lock lock(lock_);
  aborted_ = true;
  writer_wake_.notify_one();
  space_freed_.notify_all();
}

FactorBlockHeader* FactorWriteRing::next() {
  std::unique_lock lock(lock_);
  for (;;) {
    if (aborted_) return nullptr;
    if (empty()) {
      if (closed_) return nullptr;
      writer_wake_.wait(lock);
      continue;
    }
    // The producers went on at the start of the area: the writer follows
    // at the marker (or at the area's end, where no marker fits).
    if (tail_ >= bytes_ || header_at(tail_)->status == 3) {
      ++writer_lap_;
      tail_ = 0;
      space_freed_.notify_all();
      continue;
    }
    FactorBlockHeader* h = header_at(tail_);
    if (h->status == 0) {  // still being filled: every later record waits for it
      writer_wake_.wait(lock);
      continue;
    }
    record_end_ = tail_ + h->record_bytes;
    return h;
  }
}

void FactorWriteRing::done() {
  std::scoped_lock lock(lock_);
  tail_ = record_end_;
  space_freed_.notify_all();
}

void WriteFactorRing(tessar& solver, FactorWriteRing& ring, std::int32_t nsuper) {
  const bool unsymmetric = solver.symmetry == 1;
  OpenUFile(solver, "wb");
  if (unsymmetric) OpenLFile(solver, "wb");
  solver.allocate_factor_index('U', nsuper);
  if (unsymmetric) solver.allocate_factor_index('L', nsuper);
  std::int64_t u = 0, l = 0;
  const auto write = [&](char factor, const std::byte* entries, const FactorBlockHeader& h) {
    std::int64_t& position = factor == 'U' ? u : l;
    WriteFactorEntries(solver, entries, solver.elem_size, position, h.entries, factor);
    (factor == 'U' ? solver.UDiagIndex : solver.LDiagIndex)[h.supernode] = position;
    (factor == 'U' ? solver.UOffdiagIndex : solver.LOffdiagIndex)[h.supernode] = position + h.diagonal;
    position += h.entries;
  };
  while (FactorBlockHeader* h = ring.next()) {
    if (h->status != 1) {
      OrlDebug(1, L"done = %d\n", h->status);
      solver.fatal("Error writing factorization into files", 200);
    }
    const std::byte* entries = h->outside ? h->outside : reinterpret_cast<std::byte*>(h) + FactorWriteRing::header_bytes;
    write('U', entries, *h);
    if (unsymmetric) write('L', entries + h->entries * solver.elem_size, *h);
    if (h->outside) {
      delete[] h->outside;
      const std::int64_t bytes = h->entries * solver.elem_size * (unsymmetric ? 2 : 1);
      release_memory(solver, kb_of_bytes(static_cast<std::uint64_t>(bytes)));
    }
    ring.done();
  }
  CloseFactorFile(solver, 'U');
  CloseFactorFile(solver, 'L');
  OrlDebug(2, L"Factor writer: %d wraps of the ring\n", ring.wraps());
}
