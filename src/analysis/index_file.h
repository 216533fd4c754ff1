#pragma once
// The saved analysis ("index" in the working directory): kind code, sizeJU,
// iperm, IJU, IU, JU and, for pivoting runs, NSuper, SNode, Num2x2Pivots,
// NumPerturbed and PivotOrder, and for runs that matched rows the matching
// (a tag, row positions, row and column scales), as raw little-endian arrays
// without a header.
#include <cstdint>

class tessar;

void SaveIndexFile(tessar& solver, std::int32_t n);

// Reads the analysis saved by an earlier run of the same matrix size and
// pivoting switch. The file's size is checked against the sizes it declares
// before anything is allocated, and the structure it holds is checked before it
// is used, so a file from another matrix or switch set is refused (code 1).
void LoadIndexFile(tessar& solver, std::int32_t n);
