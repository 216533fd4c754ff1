"""The Python module against scipy.sparse.linalg.spsolve on generated and real matrices of every kind."""
import concurrent.futures
import os
import pathlib

import numpy as np
import pytest
import scipy.io
import scipy.sparse as sp
import scipy.sparse.linalg as sla

import tessar


def grid_2d(m, west=-1.0, east=-1.0):
    """The 5-point operator of an m × m grid; west ≠ east makes it unsymmetric."""
    t = sp.diags([west, 2.0, east], [-1, 0, 1], shape=(m, m))
    i = sp.identity(m)
    return (sp.kron(t, i) + sp.kron(i, t)).tocsc()


def generated():
    upper = sp.triu(grid_2d(24), 1).tocoo()
    phases = np.exp(1j * np.random.default_rng(5).uniform(0, 2 * np.pi, upper.nnz))
    couplings = sp.coo_matrix((upper.data * phases, (upper.row, upper.col)), shape=upper.shape)
    shift = sp.identity(24 * 24)
    return [
        ("real_symmetric", grid_2d(24)),
        ("real_unsymmetric", grid_2d(24, -1.3, -0.7)),
        ("complex_symmetric", (grid_2d(24) - (0.4 - 0.2j) * shift).tocsc()),
        ("complex_unsymmetric", (grid_2d(24, -1.3, -0.7) + 0.3j * shift).tocsc()),
        ("complex_hermitian", (couplings + couplings.conj().T + 1.7 * shift).tocsc()),
    ]


def relative_residual(a, x, b):
    return np.linalg.norm(a @ x - b) / np.linalg.norm(b)


@pytest.mark.parametrize("kind,a", generated(), ids=[k for k, _ in generated()])
def test_generated_matrices_of_every_kind_match_scipy(kind, a):
    rng = np.random.default_rng(1)
    complex_kind = kind.startswith("complex")
    b = rng.standard_normal((a.shape[0], 3)) + (1j * rng.standard_normal((a.shape[0], 3)) if complex_kind else 0)
    solve = tessar.factorized(a)
    assert solve.kind == kind
    x = solve(b)
    expected = sla.spsolve(a, b)
    assert x.shape == b.shape
    for k in range(3):
        assert relative_residual(a, x[:, k], b[:, k]) <= 1e-10
    assert np.linalg.norm(x - expected) <= 1e-8 * np.linalg.norm(expected)
    assert [r["step"] for r in solve.info["rhs"]] == ["iteration"] * 3
    # Pivoting counts the inertia of the real symmetric and Hermitian kinds; a
    # real factor solves a complex right-hand side as two real ones.
    pivoted = tessar.factorized(a, double_precision=True, pivoting=True)
    c = b[:, 0] if complex_kind else b[:, 0] + 2j * b[:, 1]
    one = pivoted(c)
    assert one.shape == (a.shape[0],) and np.iscomplexobj(one) == np.iscomplexobj(c)
    assert relative_residual(a, one, c) <= 1e-10
    if kind in ("real_symmetric", "complex_hermitian"):
        positive, negative, zero = pivoted.info["inertia"]
        assert positive + negative + zero == a.shape[0] and (negative > 0) == (kind == "complex_hermitian")


def real_matrices():
    shared = pathlib.Path(os.environ.get("TSR_SHARED_DIR", pathlib.Path(__file__).parents[3] / "shared"))
    names = {
        "cu_lap2D_5pt_n100.mtx": "real_symmetric",
        "ss_west0479.mtx": "real_unsymmetric",
        "px_young4c.mtx": "complex_symmetric",
        "ss_young1c.mtx": "complex_unsymmetric",
        "px_mhd1280b.mtx": "complex_hermitian",
    }
    return [(shared / "matrix-sources" / name, kind) for name, kind in names.items()]


@pytest.mark.parametrize("path,kind", real_matrices(), ids=[p.name for p, _ in real_matrices()])
def test_real_matrices_of_every_kind(path, kind):
    if not path.exists():
        pytest.skip(f"{path} not present")
    a = sp.csc_matrix(scipy.io.mmread(str(path)))
    rng = np.random.default_rng(2)
    x_true = rng.standard_normal(a.shape[0]) + (1j * rng.standard_normal(a.shape[0]) if kind.startswith("complex") else 0)
    b = a @ x_true
    solve = tessar.factorized(a)
    assert solve.kind == kind
    x = solve(b)
    reference = relative_residual(a, sla.spsolve(a, b), b)
    assert relative_residual(a, x, b) <= max(1e-10, 10 * reference)


def test_failures_raise_with_the_command_line_codes():
    singular = sp.csc_matrix(([1.0], ([0], [0])), shape=(2, 2))
    with pytest.raises(tessar.Error) as failure:
        tessar.spsolve(singular, np.ones(2), escalate=False)
    assert failure.value.code == 16 and "singular matrix" in str(failure.value)
    with pytest.raises(TypeError, match="unknown option 'tolerence'"):
        tessar.spsolve(grid_2d(4), np.ones(16), tolerence=1e-9)
    with pytest.raises(ValueError, match="b must have 16 rows"):
        tessar.spsolve(grid_2d(4), np.ones(15))
    with pytest.raises(tessar.Error) as failure:
        tessar.spsolve(grid_2d(4), np.ones(16), threads=0)
    assert failure.value.code == 1
    with pytest.raises(tessar.Error, match="the matrix is not symmetric"):
        tessar.spsolve(grid_2d(4, -1.3, -0.7), np.ones(16), kind="real_symmetric")


def test_threads_share_a_factor():
    a = grid_2d(30)
    solve = tessar.factorized(a)
    b = np.random.default_rng(3).standard_normal((900, 16))
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        solutions = list(pool.map(lambda k: solve(b[:, k]), range(16)))
    assert max(relative_residual(a, x, b[:, k]) for k, x in enumerate(solutions)) <= 1e-10
