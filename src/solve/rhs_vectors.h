#pragma once
// Where the solution phase takes its right-hand sides and puts its solutions:
// the files "b" and "x.partial" of the command line, or a caller's arrays.
// Solve threads call read and write at once for different right-hand sides.
// Each call names the solver object whose files it uses (a run that factors
// again continues with a new one).
#include <cstddef>
#include <cstdint>

class RunFiles;

class RhsVectors {
 public:
  virtual ~RhsVectors() = default;
  // Number of right-hand sides for dimension n.
  virtual std::int32_t count(RunFiles& files, std::int32_t n) = 0;
  // Right-hand side k of total into vector (n elements of element_size bytes).
  virtual void read(RunFiles& files, std::int32_t n, void* vector, std::size_t element_size, std::int32_t k,
                    std::int32_t total) = 0;
  // The confirmed solution of right-hand side k.
  virtual void write(RunFiles& files, std::int32_t n, const void* vector, std::size_t element_size,
                     std::int32_t k) = 0;
  // One round of the solution phase is over.
  virtual void close(RunFiles&) {}
};

// The right-hand sides of "b" and the solutions written to the partial
// solution file (io/vectors.h).
class FileRhsVectors final : public RhsVectors {
 public:
  std::int32_t count(RunFiles& files, std::int32_t n) override;
  void read(RunFiles& files, std::int32_t n, void* vector, std::size_t element_size, std::int32_t k,
            std::int32_t total) override;
  void write(RunFiles& files, std::int32_t n, const void* vector, std::size_t element_size, std::int32_t k) override;
  void close(RunFiles& files) override;
};
