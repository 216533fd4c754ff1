#pragma once
// The assembly tree of the supernodal analysis and the distribution of its
// branches over threads. Pattern-only data: no scalar type appears here.
#include <cstdint>
#include <utility>
#include <vector>

#include "core/charged_array.h"

// KB of a structure kept in the solver object, charged to its memory monitor
// from set() until the holder is destroyed.
class HeldCharge {
 public:
  HeldCharge() = default;
  HeldCharge(HeldCharge&& other) noexcept
      : solver_(std::exchange(other.solver_, nullptr)), kb_(std::exchange(other.kb_, 0)) {}
  HeldCharge& operator=(HeldCharge&& other) noexcept {
    std::swap(solver_, other.solver_);
    std::swap(kb_, other.kb_);
    return *this;
  }
  ~HeldCharge() {
    if (solver_) release_memory(*solver_, kb_);
  }

  void set(tessar& solver, std::uint64_t kb) {
    if (solver_) release_memory(*solver_, kb_);
    solver_ = &solver;
    kb_ = kb;
    add_memory(solver, kb);
  }

 private:
  tessar* solver_ = nullptr;
  std::uint64_t kb_ = 0;
};

struct FrontTree {
  std::int32_t nnodes = 0;
  std::int32_t root = -1;                  // first root; further roots follow through nextSibling
  std::vector<std::int32_t> parent;        // −1 for a root
  std::vector<std::int32_t> firstChild;    // −1 for none
  std::vector<std::int32_t> nextSibling;   // −1 for none
  std::int32_t ncol = 0;
  std::vector<std::int32_t> npiv;          // pivots of the node
  std::vector<std::int32_t> nrow;          // rows of the front below its pivots
  std::vector<std::int32_t> colNode;       // node of each column
  std::vector<std::vector<std::int32_t>> nodeCols;  // columns of each node, ascending
  HeldCharge charge;                                // the tree's arrays while the solver keeps it
};

struct BranchSet {
  std::vector<std::int32_t> BranchCount;               // branches per thread
  std::vector<std::vector<std::int32_t>> BranchRoots;  // per thread, ascending node numbers
  std::vector<std::int32_t> BranchList;                // all branch roots, ascending
};
