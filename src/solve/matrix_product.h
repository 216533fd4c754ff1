#pragma once
// y = A·x with the reordered input matrix in the solver's row form: the
// symmetric kinds store each row's upper triangle with the diagonal first
// (the lower entries are mirrored, conjugated for the Hermitian kind), the
// unsymmetric kinds whole rows, multiplied as stored or transposed.
#include "io/yale_matrix.h"

template <class K>
void multiply_matrix(const YaleMatrix& a, const typename K::scalar* x, typename K::scalar* y, bool transpose = false);
