"""tessar.spsolve against scipy.sparse.linalg.spsolve (SuperLU) on the 3D
Laplacian of g³ unknowns, in alternating runs of the same process.

    PYTHONPATH=build/python python3 bench/python/spsolve_vs_scipy.py [g] [reps] [threads]
"""
import statistics
import sys
import time

import numpy as np
import scipy.sparse as sp
import scipy.sparse.linalg as sla

import tessar


def laplacian_3d(g):
    t = sp.diags([-1.0, 2.0, -1.0], [-1, 0, 1], shape=(g, g))
    i = sp.identity(g)
    return (sp.kron(sp.kron(t, i), i) + sp.kron(sp.kron(i, t), i) + sp.kron(sp.kron(i, i), t)).tocsc()


def main():
    g = int(sys.argv[1]) if len(sys.argv) > 1 else 40
    reps = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    threads = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    a = laplacian_3d(g)
    b = np.random.default_rng(1).standard_normal(a.shape[0])
    solvers = {"tessar": lambda: tessar.spsolve(a, b, threads=threads), "scipy": lambda: sla.spsolve(a, b)}
    times = {name: [] for name in solvers}
    residuals = {}
    for _ in range(reps):
        for name, solve in solvers.items():
            start = time.perf_counter()
            x = solve()
            times[name].append(time.perf_counter() - start)
            residuals[name] = np.linalg.norm(a @ x - b) / np.linalg.norm(b)
    median = {name: statistics.median(t) for name, t in times.items()}
    for name in solvers:
        print(f"{name}: median {median[name]:.2f} s of {reps} ({', '.join(f'{t:.2f}' for t in times[name])}), "
              f"relative residual {residuals[name]:.1e}")
    print(f"3D Laplacian {g}^3, {threads} thread(s) for tessar: scipy / tessar = {median['scipy'] / median['tessar']:.1f}")


if __name__ == "__main__":
    main()
