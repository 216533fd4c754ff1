#!/usr/bin/env python3
"""Report of the side-by-side benchmark (scripts/bench-compare.sh).

Reads the runs table the script writes (one line per run, tab-separated),
takes the median of every figure over the repetitions of each matrix, solver
and mode, and writes NAME.md (default latest.md: medians, ratios tessar64/MUMPS and
tessar64/CHOLMOD per matrix and phase, the factorization rate against DGEMM and
the goals of the benchmark, stated as measured) and NAME.png (total time and
peak memory against the order N, per matrix family and solver, by gnuplot).
"""
import argparse
import math
import os
import platform
import statistics
import subprocess
import tempfile
from collections import OrderedDict

PHASES = [("analysis", "analysis_s"), ("factorization", "factor_s"), ("solution", "solve_s")]
RESIDUAL_GOAL = 1e-10
TIME_GOAL = 0.8
MEMORY_GOAL = 0.6
RATE_GOAL = 0.5
SINGLE_TIME_GOAL = 1.0
PLOTTED = [("tessar64", "default"), ("tessar64", "double_precision"), ("tessar64", "single_updates"),
           ("MUMPS", None), ("MUMPS-single", None), ("CHOLMOD", None)]


def number(text):
    try:
        value = float(text)
    except ValueError:
        return None
    return None if math.isnan(value) else value


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


class Figures:
    """Medians over the repetitions of one matrix, solver and mode."""

    def __init__(self, runs):
        self.runs = len(runs)
        self.failed = sum(1 for run in runs if run["status"] != "0")
        columns = ["analysis_s", "factor_s", "solve_s", "wall_s", "peak_mb", "factor_entries", "iterations",
                   "residual", "gflop", "rate_gflops", "dgemm_gflops", "outside_blas_pct"]
        # Runs tables of earlier versions lack the last columns.
        self.median = {c: median([number(run.get(c, "nan")) for run in runs]) for c in columns}
        phases = [[number(run[c]) for _, c in PHASES] for run in runs]
        self.median["total_s"] = median([sum(p) if None not in p else None for p in phases])
        # The worst residual of the runs, so that one bad run is not hidden by the median.
        residuals = [number(run["residual"]) for run in runs]
        self.worst_residual = math.inf if None in residuals else max(residuals, default=None)

    def __getitem__(self, column):
        return self.median[column]


def read_runs(path):
    with open(path) as table:
        header = table.readline().rstrip("\n").split("\t")
        runs = [dict(zip(header, line.rstrip("\n").split("\t"))) for line in table if line.strip()]
    grouped = OrderedDict()
    for run in runs:
        grouped.setdefault(run["matrix"], OrderedDict()).setdefault((run["solver"], run["mode"]), []).append(run)
    sizes = {run["matrix"]: int(run["n"]) for run in runs}
    figures = OrderedDict((matrix, OrderedDict((key, Figures(rs)) for key, rs in by_solver.items()))
                          for matrix, by_solver in grouped.items())
    return figures, sizes


def read_dims(path):
    with open(path) as dims:
        return dict(line.split() for line in dims if line.strip())


def family_of(matrix):
    family, _, kind = matrix.rsplit("-", 2)
    return f"{family} {kind}"


def fmt(value, digits=3):
    if value is None:
        return "–"
    if value == math.inf:
        return "failed"
    if value != 0 and (abs(value) < 1e-2 or abs(value) >= 1e6):
        return f"{value:.2e}"
    return f"{value:.{digits}g}"


def ratio(a, b):
    return a / b if a is not None and b not in (None, 0) else None


def peer(by_solver, name):
    return next((f for (solver, _), f in by_solver.items() if solver == name), None)


def medians_table(figures, sizes):
    lines = ["| matrix | N | solver | mode | analysis s | factorization s | solution s | total s | process wall s "
             "| peak MB | factor entries | refinement iterations | worst residual | failed runs |",
             "|---|---:|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for matrix, by_solver in figures.items():
        for (solver, mode), f in by_solver.items():
            if solver == "bench_factor":
                continue
            lines.append(f"| {matrix} | {sizes[matrix]} | {solver} | {mode} | {fmt(f['analysis_s'])} | "
                         f"{fmt(f['factor_s'])} | {fmt(f['solve_s'])} | {fmt(f['total_s'])} | {fmt(f['wall_s'])} | "
                         f"{fmt(f['peak_mb'], 4)} | {fmt(f['factor_entries'], 4)} | {fmt(f['iterations'])} | "
                         f"{fmt(f.worst_residual, 2)} | {f.failed}/{f.runs} |")
    return lines


def ratio_table(figures, peer_name):
    lines = [f"| matrix | tessar64 mode | analysis | factorization | solution | total | process wall | peak memory |",
             "|---|---|---:|---:|---:|---:|---:|---:|"]
    for matrix, by_solver in figures.items():
        other = peer(by_solver, peer_name)
        if other is None:
            continue
        for (solver, mode), f in by_solver.items():
            if solver != "tessar64":
                continue
            cells = [fmt(ratio(f[c], other[c]), 2) for c in ("analysis_s", "factor_s", "solve_s", "total_s",
                                                              "wall_s", "peak_mb")]
            lines.append(f"| {matrix} | {mode} | " + " | ".join(cells) + " |")
    return lines


def rate_rows(figures, mode="default"):
    """Per matrix: flop count, tessar64's rate in its own runs of the mode and bench_factor's rate against
    its GEMM rate (DGEMM, or SGEMM for single_updates)."""
    rows = []
    for matrix, by_solver in figures.items():
        bench = by_solver.get(("bench_factor", mode))
        tessar = by_solver.get(("tessar64", mode))
        if bench is None or bench["gflop"] is None:
            continue
        process_rate = ratio(bench["gflop"], tessar["factor_s"]) if tessar else None
        rows.append((matrix, bench["gflop"], process_rate, bench["rate_gflops"], bench["dgemm_gflops"],
                     ratio(bench["rate_gflops"], bench["dgemm_gflops"]), ratio(process_rate, bench["dgemm_gflops"]),
                     bench["outside_blas_pct"]))
    return rows


def rate_table(rows, gemm="DGEMM"):
    lines = ["| matrix | Gflop | tessar64 GFLOP/s (its median factorization time) | bench_factor GFLOP/s | "
             f"{gemm} GFLOP/s (same bench_factor process) | bench_factor / {gemm} | tessar64 / {gemm} | "
             "bench_factor time outside level-3 BLAS |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for matrix, gflop, process_rate, rate, dgemm, share, process_share, outside in rows:
        lines.append(f"| {matrix} | {fmt(gflop)} | {fmt(process_rate)} | {fmt(rate)} | {fmt(dgemm)} | "
                     f"{fmt(share, 2)} | {fmt(process_share, 2)} | "
                     f"{'–' if outside is None else fmt(outside) + ' %'} |")
    return lines


def pairs_3d(figures, dims, mode, peer_name):
    """The 3D matrices where tessar64's mode and the peer both ran: matrix, its figures, mine, the peer's."""
    for matrix, by_solver in figures.items():
        mine, other = by_solver.get(("tessar64", mode)), peer(by_solver, peer_name)
        if dims.get(matrix) == "3" and mine is not None and other is not None:
            yield matrix, by_solver, mine, other


def single_goal_lines(figures, dims):
    """-single_updates against MUMPS with a single-precision factor refined in double precision."""
    lines = [f"`-single_updates` against MUMPS with a single-precision factor (refined in double precision by the "
             f"benchmark's driver) on every 3D matrix: total time ≤ {SINGLE_TIME_GOAL}× at residuals ≤ "
             f"{RESIDUAL_GOAL:g}; the factorization speed-up of `-single_updates` over the default mode.", "",
             "| matrix | tessar64 residual | MUMPS single residual | total ratio | goal | "
             "factorization default / -single_updates |", "|---|---:|---:|---:|---|---:|"]
    for matrix, by_solver, mine, other in pairs_3d(figures, dims, "single_updates", "MUMPS-single"):
        default = by_solver.get(("tessar64", "default"))
        residual_ok = residuals_ok(mine, other)
        total = ratio(mine["total_s"], other["total_s"])
        met = at_most(total, SINGLE_TIME_GOAL) and residual_ok if total is not None else None
        speedup = ratio(default["factor_s"], mine["factor_s"]) if default else None
        lines.append(f"| {matrix} | {fmt(mine.worst_residual, 2)} | {fmt(other.worst_residual, 2)} | "
                     f"{fmt(total, 2)} | {verdict(met)} | {fmt(speedup, 2)} |")
    return lines


def verdict(ok):
    return "–" if ok is None else ("met" if ok else "**not met**")


def at_most(value, limit):
    return None if value is None else value <= limit


def residuals_ok(mine, other):
    return at_most(mine.worst_residual, RESIDUAL_GOAL) and at_most(other.worst_residual, RESIDUAL_GOAL)


def goal_lines(figures, dims, rate_rows_):
    lines = [f"Default mode (single-precision factor with refinement) against MUMPS on every 3D matrix: "
             f"both residuals ≤ {RESIDUAL_GOAL:g}, total time (analysis + factorization + solution) ≤ {TIME_GOAL}× "
             f"and peak memory ≤ {MEMORY_GOAL}× MUMPS's.", "",
             "| matrix | tessar64 residual | MUMPS residual | same-residual goal | total ratio | time goal "
             "| memory ratio | memory goal |", "|---|---:|---:|---|---:|---|---:|---|"]
    for matrix, _, mine, other in pairs_3d(figures, dims, "default", "MUMPS"):
        residual_ok = residuals_ok(mine, other)
        total, memory = ratio(mine["total_s"], other["total_s"]), ratio(mine["peak_mb"], other["peak_mb"])
        lines.append(f"| {matrix} | {fmt(mine.worst_residual, 2)} | {fmt(other.worst_residual, 2)} | "
                     f"{verdict(residual_ok)} | {fmt(total, 2)} | {verdict(at_most(total, TIME_GOAL))} | "
                     f"{fmt(memory, 2)} | {verdict(at_most(memory, MEMORY_GOAL))} |")
    if rate_rows_:
        largest = max(rate_rows_, key=lambda row: row[1])
        share = largest[5]
        lines += ["", f"Factorization rate on the largest matrix ({largest[0]}, {fmt(largest[1])} Gflop): "
                      f"{fmt(largest[3])} GFLOP/s against DGEMM's {fmt(largest[4])} GFLOP/s in the same process, "
                      f"{fmt(None if share is None else 100 * share, 3)} % (goal ≥ {100 * RATE_GOAL:g} %): "
                      f"{verdict(None if share is None else share >= RATE_GOAL)}."]
    return lines


def machine_line(args):
    model = "unknown processor"
    try:
        with open("/proc/cpuinfo") as info:
            model = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return (f"{model}, {os.cpu_count()} processors, {platform.system()} {platform.release()}; "
            f"{args.threads} BLAS thread(s) per solver (tessar64 also -ncpu {args.threads}); load average "
            f"(1, 5, 15 min) before / after: {args.load}")


def write_markdown(path, args, figures, sizes, dims):
    rows = rate_rows(figures)
    lines = ["# Side-by-side benchmark: tessar64, MUMPS, CHOLMOD", "",
             f"Set: **{args.set}**, {args.repeat} run(s) of every solver and mode per matrix (median; residual: "
             f"the worst run), commit {args.commit}, {round(args.seconds / 60)} min in all.", "",
             f"Machine: {machine_line(args)}.", "",
             "Times are wall seconds of each phase measured inside the process (tessar64: tessar.prof; peers: "
             "their drivers); process wall and peak memory (maximum resident set) come from /usr/bin/time; "
             "the residual ‖Ax − b‖₂/‖b‖₂ is computed by the benchmark from A, b and x. Factor entries: stored "
             "entries of the factor (both triangles for the unsymmetric kinds). MUMPS runs the Hermitian kind as "
             "an unsymmetric matrix (it has no Hermitian mode). MUMPS-single: the single-precision library on the "
             "matrix rounded to single precision, its solution refined in double precision by the driver "
             "(counted in its solution time).", "",
             "## Ratios tessar64 / MUMPS (below 1: tessar64 faster or smaller)", ""]
    lines += ratio_table(figures, "MUMPS")
    lines += ["", "## Ratios tessar64 / MUMPS with a single-precision factor", ""]
    lines += ratio_table(figures, "MUMPS-single")
    lines += ["", "## Ratios tessar64 / CHOLMOD (positive definite matrices)", ""]
    lines += ratio_table(figures, "CHOLMOD")
    lines += ["", "## Goals of the benchmark, as measured", ""]
    lines += goal_lines(figures, dims, rows)
    lines += [""] + single_goal_lines(figures, dims)
    lines += ["", "## Factorization rate of tessar64 against DGEMM", "",
              "bench_factor factors the same generated matrix in the default mode and measures DGEMM "
              "(order 2000) in the same process; the second column divides its flop count by the median "
              "factorization time of tessar64's own default runs; the last one is the share of bench_factor's "
              "factorization time spent outside the level-3 routines (GEMM, TRSM, SYRK).", ""]
    lines += rate_table(rows)
    single_rows = rate_rows(figures, "single_updates")
    if single_rows:
        lines += ["", "With `-single_updates` (fronts in single precision), against SGEMM (order 2000) in the same "
                      "process:", ""]
        lines += rate_table(single_rows, "SGEMM")
    lines += ["", "## Medians of every solver and mode", ""]
    lines += medians_table(figures, sizes)
    lines += ["", f"![time and memory against N]({args.name}.png)", ""]
    with open(path, "w") as out:
        out.write("\n".join(lines))


def series(figures, sizes, family, solver, mode):
    points = []
    for matrix, by_solver in figures.items():
        if family_of(matrix) != family:
            continue
        for (s, m), f in by_solver.items():
            if s == solver and (mode is None or m == mode) and f["total_s"] is not None:
                points.append((sizes[matrix], f["total_s"], f["peak_mb"]))
    return sorted(points)


def write_plot(path, figures, sizes):
    families = list(OrderedDict.fromkeys(family_of(m) for m in figures))
    with tempfile.TemporaryDirectory() as scratch:
        script = [f"set terminal pngcairo size 1100,{280 * len(families)} font ',9'", f"set output '{path}'",
                  f"set multiplot layout {len(families)},2", "set logscale xy", "set grid",
                  "set key top left", "set xlabel 'N'"]
        for family in families:
            for column, label in ((2, "total time (s)"), (3, "peak memory (MB)")):
                plots = []
                for solver, mode in PLOTTED:
                    points = series(figures, sizes, family, solver, mode)
                    if not points:
                        continue
                    name = f"{solver}{'' if mode in (None, 'default') else ' ' + mode}"
                    data = os.path.join(scratch, f"{len(script)}-{len(plots)}.dat")
                    with open(data, "w") as out:
                        out.writelines(f"{n} {t} {m}\n" for n, t, m in points)
                    plots.append(f"'{data}' using 1:{column} with linespoints lw 2 title '{name}' noenhanced")
                script += [f"set title '{family}: {label}' noenhanced", f"set ylabel '{label}'",
                           "plot " + ", ".join(plots)]
        script.append("unset multiplot")
        subprocess.run(["gnuplot"], input="\n".join(script), text=True, check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", required=True)
    parser.add_argument("--dims", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--set", default="default")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--load", default="")
    parser.add_argument("--seconds", type=int, default=0)
    parser.add_argument("--commit", default="unknown")
    parser.add_argument("--name", default="latest")
    args = parser.parse_args()
    figures, sizes = read_runs(args.runs)
    dims = read_dims(args.dims)
    write_markdown(os.path.join(args.out, args.name + ".md"), args, figures, sizes, dims)
    write_plot(os.path.join(args.out, args.name + ".png"), figures, sizes)


if __name__ == "__main__":
    main()
