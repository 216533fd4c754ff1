#pragma once
// The ring of factor blocks between the threads of a parallel offcore
// factorization (producers) and the one thread that writes the factor files
// (the writer). A producer reserves a record, packs its block into it outside
// any lock and publishes it; the writer takes records strictly in reservation
// order, appends each to the U or L file and notes where the block went in
// the factor's block index, then frees the space. A record that does not fit
// before the end of the area is preceded by a wrap marker and placed at the
// start; lap counts tell a full ring from an empty one. Producers wait (block)
// while there is no room, the writer while there is nothing complete to
// write. A block too large for half the ring travels in a heap block of its
// own, the ring carrying only its header.
//
// Records start on 16-byte boundaries, so the entries behind a header are
// aligned for their type.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

class tessar;

struct FactorBlockHeader {
  std::uint8_t status;      // 0 being filled, 1 complete, 3 wrap marker
  std::uint8_t kind;        // 0: the diagonal block followed by the off-diagonal block
  std::int32_t supernode;   // in the analysis' numbering
  std::int64_t entries;     // of the whole block
  std::int64_t diagonal;    // entries of the diagonal block
  std::byte* outside;       // the entries when they travel in a heap block, else null
  std::int64_t record_bytes;  // the record's size in the ring, set by reserve
};

class FactorWriteRing {
 public:
  static constexpr std::int64_t header_bytes = 48;  // a multiple of 16
  static_assert(sizeof(FactorBlockHeader) <= header_bytes);

  // The ring over bytes of area (rounded down to 16-byte units).
  FactorWriteRing(std::byte* area, std::int64_t bytes);

  // Producer side. reserve gives a record of header_bytes + payload bytes
  // (status 0), waiting for room; null once the ring was aborted. The caller
  // fills the header (but its status) and the payload, U's block followed
  // by L's for the unsymmetric kinds, then publishes it with status 1.
  std::byte* reserve(std::int64_t payload);
  void publish(std::byte* record, std::uint8_t status);
  // Whether a payload must travel outside the ring.
  bool too_large(std::int64_t payload) const { return header_bytes + payload > bytes_ / 2; }

  // No producer adds records any more; the writer ends once the ring is empty.
  void close();
  // Stops both sides at once (a failure on either side): waiting producers
  // get null, the writer ends.
  void abort();

  // Writer side: the next complete record, waiting for one; null when the
  // ring is closed and empty, or aborted. done() frees it.
  FactorBlockHeader* next();
  void done();

  std::int32_t wraps() const { return producer_lap_; }

 private:
  static std::int64_t rounded(std::int64_t bytes) { return (bytes + 15) / 16 * 16; }
  bool empty() const { return head_ == tail_ && producer_lap_ == writer_lap_; }
  FactorBlockHeader* header_at(std::int64_t at) const { return reinterpret_cast<FactorBlockHeader*>(area_ + at); }

  std::byte* area_;
  const std::int64_t bytes_;
  std::mutex lock_;
  std::condition_variable space_freed_, writer_wake_;
  std::int64_t head_ = 0;         // next free byte for a producer
  std::int64_t tail_ = 0;         // start of the record the writer takes next
  std::int64_t record_end_ = 0;   // end of the record the writer holds
  std::int32_t producer_lap_ = 0, writer_lap_ = 0;
  bool closed_ = false, aborted_ = false;
};

// The writer thread's work: opens the factor files, writes every record of
// ring in turn and fills the block index arrays of the solver (supernodes of
// the analysis, nsuper of them), closes the files. Failures end it through the
// solver's fatal path (code 200 for a short write).
void WriteFactorRing(tessar& solver, FactorWriteRing& ring, std::int32_t nsuper);
