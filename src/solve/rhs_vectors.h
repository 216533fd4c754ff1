#pragma once
// Where the solution phase takes its right-hand sides and puts its solutions:
// the files "b" and "x.partial" of the command line, or a caller's arrays.
// Solve threads call read and write at once for different right-hand sides.
#include <cstddef>
#include <cstdint>

class RunFiles;

class RhsVectors {
 public:
  virtual ~RhsVectors() = default;
  // Number of right-hand sides for dimension n.
  virtual std::int32_t count(std::int32_t n) = 0;
  // Right-hand side k of total into vector (n elements of element_size bytes).
  virtual void read(std::int32_t n, void* vector, std::size_t element_size, std::int32_t k, std::int32_t total) = 0;
  // The confirmed solution of right-hand side k.
  virtual void write(std::int32_t n, const void* vector, std::size_t element_size, std::int32_t k) = 0;
  // One round of the solution phase is over.
  virtual void close() {}
};

// The right-hand sides of "b" and the solutions written to the partial
// solution file (io/vectors.h).
class FileRhsVectors final : public RhsVectors {
 public:
  explicit FileRhsVectors(RunFiles& files) : files_(files) {}
  std::int32_t count(std::int32_t n) override;
  void read(std::int32_t n, void* vector, std::size_t element_size, std::int32_t k, std::int32_t total) override;
  void write(std::int32_t n, const void* vector, std::size_t element_size, std::int32_t k) override;
  void close() override;

 private:
  RunFiles& files_;
};
