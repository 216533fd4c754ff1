#pragma once
// The factor as the pivoting factorization made it. Delayed pivots move
// columns from the supernode the analysis gave them to an ancestor's, and the
// threshold pivoting renames positions inside each front, so the factor's
// supernodes, their rows and the elimination order differ from the
// analysis'. Each supernode's block is recorded here as it is stored, in any
// order of supernodes (threads finish them out of order); at the end the
// analysis is rewritten to describe the factor: blocks are taken in the
// order of their supernodes (children before parents) and the columns are
// renumbered in that elimination order, so every block's pivots are consecutive
// again, and SNode, IU, IJU, JU, NzU, PivotOrder and the permutation hold
// what the solution phase and a saved analysis need. Supernodes whose
// columns were all delayed store no block and disappear.
#include <cstdint>
#include <vector>

#include "core/charged_array.h"

class tessar;

class FactorStructure {
 public:
  // For a matrix of order n.
  void start(tessar& solver, std::int32_t n);

  // Supernode s's block: names[0 … k−1] are its pivots in elimination
  // order and names[k … k+rows−1] the rows below them, named in the
  // analysis' numbering. record[0 … k−1] holds, symmetric kinds, 1 for a
  // 1×1 pivot and 2 for both columns of a 2×2 pivot, unsymmetric kinds the
  // name of the row interchanged with each pivot's.
  void add_block(std::int32_t s, const std::int32_t* names, std::int32_t k, std::int64_t rows,
                 const std::int32_t* record);

  // Rewrites the solver's analysis as described above. Returns the new
  // number of each column of the analysis' numbering, or nothing when no
  // column moved. supernode_number, when given, receives the new number of
  // each supernode of the analysis (−1 for one that stored no block).
  std::vector<std::int32_t> rewrite(tessar& solver, bool symmetric,
                                    std::vector<std::int32_t>* supernode_number = nullptr);

 private:
  void append(const std::int32_t* names, std::int64_t count);

  tessar* solver_ = nullptr;
  std::int32_t n_ = 0;
  // Every block's pivots and rows, then its pivot record, one block after
  // another in the order they were added.
  ChargedArray<std::int32_t> names_;
  std::int64_t used_ = 0;
  struct Block {
    std::int32_t supernode, pivots;
    std::int64_t start, rows;
  };
  std::vector<Block> blocks_;
  std::int32_t eliminated_ = 0;
};
