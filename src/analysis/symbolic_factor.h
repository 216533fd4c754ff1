#pragma once
// The column elimination tree of the pivoting path's analysis: child lists
// and the depth-first numbering.
#include <cstdint>

class tessar;

// solver.ChildPtr / solver.ChildList from parents, each list ascending.
void BuildChildLists(tessar& solver, std::int32_t n, const std::int32_t* parent);

// Numbers the column tree (root n − 1, children in list order) depth first and
// reverses the numbers, giving a postorder in which the children of a node are
// eliminated in the reverse of their list order. number[c] is c's new position.
void TopologicalOrdering(tessar& solver, std::int32_t n, std::int32_t* number);
