# Solves a 3D Laplacian of 25³ unknowns with tessar and with scipy's SuperLU,
# and a complex Hermitian system with a reusable factor.
import time

import numpy as np
import scipy.sparse as sp
import scipy.sparse.linalg as sla

import tessar

t = sp.diags([-1.0, 2.0, -1.0], [-1, 0, 1], shape=(25, 25))
i = sp.identity(25)
A = (sp.kron(sp.kron(t, i), i) + sp.kron(sp.kron(i, t), i) + sp.kron(sp.kron(i, i), t)).tocsc()
b = np.ones(A.shape[0])
for name, solve in (("tessar", lambda: tessar.spsolve(A, b, threads=2)), ("scipy", lambda: sla.spsolve(A, b))):
    start = time.perf_counter()
    x = solve()
    print(f"{name}: {time.perf_counter() - start:.2f} s, residual {np.linalg.norm(A @ x - b) / np.linalg.norm(b):.1e}")

H = (A + 1j * (sp.triu(A, 1) - sp.tril(A, -1)) - 0.5 * sp.identity(A.shape[0])).tocsc()
factor = tessar.factorized(H)               # kind detected: complex_hermitian
x = factor(np.ones(H.shape[0], dtype=complex))
print(factor.kind, factor.info["rhs"][0])
