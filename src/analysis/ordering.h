#pragma once
// The fill-reducing ordering of the adjacency graph by nested dissection.
#include <cstdint>

class tessar;

// Orders the graph (n vertices, xadj/adjncy as built by BuildAdjacency) with the
// ordering library's nested dissection, seeded so that a given graph always
// gets the same ordering. perm[k] is the vertex placed at position k, iperm its
// inverse. A graph whose sizes do not fit the library's index type is refused.
void OrderNestedDissection(tessar& solver, std::int32_t n, const std::int64_t* xadj, const std::int64_t* adjncy,
                           std::int32_t* perm, std::int32_t* iperm);

// The same ordering of the graph with each pair (pairs[2t], pairs[2t+1]),
// t < pair_count, merged into one vertex, expanded so that the two follow
// each other in that order: the first column's parent in the elimination
// tree is then the second, and a 2×2 pivot of the two is at hand at the
// latest one front up.
void OrderPairedNestedDissection(tessar& solver, std::int32_t n, const std::int64_t* xadj, const std::int64_t* adjncy,
                                 const std::int32_t* pairs, std::int32_t pair_count, std::int32_t* perm,
                                 std::int32_t* iperm);

// The identity ordering of -noreorder.
void OrderIdentity(std::int32_t n, std::int32_t* perm, std::int32_t* iperm);
