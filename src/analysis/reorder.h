#pragma once
// The analysis phase: fill-reducing ordering, elimination tree, supernodes and
// the compressed factor structure, stored in the solver object.
#include <cstdint>

class tessar;

void Reorder(tessar& solver, std::int32_t n, std::int64_t NzA, const std::int64_t* rowptr, const std::int32_t* colind);
