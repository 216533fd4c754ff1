"""tessar: the sparse direct solver for scipy.sparse matrices.

    x = tessar.spsolve(A, b)            # like scipy.sparse.linalg.spsolve
    solve = tessar.factorized(A)        # like scipy.sparse.linalg.factorized
    x = solve(b); solve.info            # residuals, iterations, escalation, inertia

The kind (real or complex, symmetric, Hermitian or unsymmetric) is detected
from A, or given as kind= ("real_symmetric", "real_unsymmetric",
"complex_symmetric", "complex_unsymmetric", "complex_hermitian", or 0 … 4).
Keyword options are those of the command line (threads, double_precision,
pivoting, tolerance, …). Every solution is refined and confirmed by its
residual; a failure raises tessar.Error, whose code is the command line's
exit status.
"""
import numpy as np
import scipy.sparse as sp

from ._tessar import Error
from ._tessar import Factor as _Factor

__all__ = ["Error", "Factor", "factorized", "spsolve", "KINDS"]

KINDS = ("real_symmetric", "real_unsymmetric", "complex_symmetric", "complex_unsymmetric", "complex_hermitian")


def _same(a, b):
    difference = (a - b).tocsc()
    difference.eliminate_zeros()
    return difference.nnz == 0


def _detect_kind(a):
    if not np.iscomplexobj(a.data):
        return 0 if _same(a, a.T) else 1
    if _same(a, a.T):
        return 2
    if _same(a, a.conj().T):
        return 4
    return 3


def _kind_code(a, kind):
    if kind is None:
        return _detect_kind(a)
    if isinstance(kind, str):
        if kind not in KINDS:
            raise ValueError(f"kind '{kind}' is not one of {', '.join(KINDS)}")
        return KINDS.index(kind)
    if int(kind) not in range(5):
        raise ValueError(f"kind {kind} is not one of 0 … 4")
    return int(kind)


class Factor:
    """The factor of a sparse matrix, reusable for any number of solves."""

    def __init__(self, A, kind=None, **options):
        if not sp.issparse(A):
            A = sp.csc_matrix(A)
        if A.ndim != 2 or A.shape[0] != A.shape[1]:
            raise ValueError(f"A must be square, not of shape {A.shape}")
        a = sp.csc_matrix(A)
        code = _kind_code(a, kind)
        if code < 2 and np.iscomplexobj(a.data):
            raise ValueError(f"kind {KINDS[code]} needs a real matrix")
        a = a.astype(np.complex128 if code >= 2 else np.float64)
        self.kind = KINDS[code]
        self.shape = a.shape
        self.info = None
        self._factor = _Factor(code, a.shape[0], a.indptr.astype(np.int64), a.indices.astype(np.int32), a.data,
                               options)

    def solve(self, b):
        """The solution of A·x = b for b of n values or of n rows (one column per right-hand side).

        A sparse b is solved as a dense one, and the solution is dense. With a
        real factor and complex b, info holds the real parts' reports, then the
        imaginary parts'. Threads may share a factor; their solves take turns.
        """
        if sp.issparse(b):
            b = b.toarray()
        b = np.asarray(b)
        n = self.shape[0]
        if b.ndim not in (1, 2) or b.shape[0] != n:
            raise ValueError(f"b must have {n} rows, not shape {b.shape}")
        block = b.reshape(n, -1)
        self.info = None
        if self._factor.complex:
            x, self.info = self._factor.solve_complex(np.asfortranarray(block, dtype=np.complex128))
        elif np.iscomplexobj(block):
            # A real factor solves the real and imaginary parts as separate right-hand sides.
            m = block.shape[1]
            parts, self.info = self._factor.solve_real(np.asfortranarray(np.hstack([block.real, block.imag])))
            x = parts[:, :m] + 1j * parts[:, m:]
        else:
            x, self.info = self._factor.solve_real(np.asfortranarray(block, dtype=np.float64))
        return x.reshape(b.shape)

    __call__ = solve


def factorized(A, kind=None, **options):
    """A reusable solve with the factor of A: factorized(A)(b) is the solution of A·x = b."""
    return Factor(A, kind, **options)


def spsolve(A, b, kind=None, **options):
    """The solution of A·x = b, as scipy.sparse.linalg.spsolve gives it, by a refined and confirmed direct solve."""
    return Factor(A, kind, **options).solve(b)
