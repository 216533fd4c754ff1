#pragma once
// The assembly tree of the supernodal analysis and the distribution of its
// branches over threads. Pattern-only data: no scalar type appears here.
#include <cstdint>
#include <vector>

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
};

struct BranchSet {
  std::vector<std::int32_t> BranchCount;               // branches per thread
  std::vector<std::vector<std::int32_t>> BranchRoots;  // per thread, ascending node numbers
  std::vector<std::int32_t> BranchList;                // all branch roots, ascending
};
