#pragma once
// The compressed symbolic factorization of the column path and its column
// elimination tree: structure counts in IU, shared subscript lists in JU and
// IJU, parents, child lists, the depth-first numbering and column supernodes.
#include <cstdint>

class tessar;

// Symbolic factorization of the graph in the order perm: row k of the permuted
// pattern is the list of vertex perm[k], whose entries already hold the new
// numbers, sorted (PermuteAdjacency). Fills solver.IU with cumulative
// off-diagonal counts, solver.IJU and solver.JU (growing JU and sizeJU as
// needed). Subscript lists are stored once and shared wherever one is a tail or
// a head of another. Returns false when a list is not strictly increasing.
[[nodiscard]] bool SymbolicFactor(tessar& solver, std::int32_t n, const std::int64_t* xadj,
                                  const std::int64_t* adjncy, const std::int32_t* perm);

// Parent of each pivot from the structure of SymbolicFactor: its first
// subscript, or n − 1 when it has none; n − 1 is the root (−1).
void ColumnParents(const tessar& solver, std::int32_t n, std::int32_t* parent);

// solver.ChildPtr / solver.ChildList from parents, each list ascending.
void BuildChildLists(tessar& solver, std::int32_t n, const std::int32_t* parent);

// Numbers the column tree (root n − 1, children in list order) depth first and
// reverses the numbers, giving a postorder in which the children of a node are
// eliminated in the reverse of their list order. number[c] is c's new position.
void TopologicalOrdering(tessar& solver, std::int32_t n, std::int32_t* number);

// Groups consecutive pivots into supernodes (pivot k joins k − 1 when k is its
// parent and its count is one less), fills NSuper and SNode, and turns the child
// lists into per-supernode lists: the first pivot's list holds every child of
// the supernode from outside it, ascending; each further pivot keeps only the
// pivot before it. count[k] is the off-diagonal count of pivot k.
void ColumnSupernodes(tessar& solver, std::int32_t n, const std::int32_t* parent, const std::int64_t* count);
