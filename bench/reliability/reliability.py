#!/usr/bin/env python3
"""Reliability run: tessar64 on every real matrix of the matrix-sources folder,
one at a time, each answer judged by bench/compare's compare_residual.

    python3 bench/reliability/reliability.py [--sources DIR] [--filter REGEX]
        [--switches "-pivoting"] [--timeout 600] [--name latest] [--work DIR] [--keep]
        [--tessar64 PATH] [--tsr-mm PATH] [--compare-residual PATH]

The binaries default to the build/ tree of this repository, where
scripts/build.sh puts all three; give other paths to judge another build.
--switches takes one string of extra tessar64 switches, e.g. "-pivoting" or
"-ncpu 1 -double_precision". With --work DIR, DIR/<matrix>/ keeps each run's
stderr.txt and tessar.log (and A, b and x with --keep).

For every matrix of the table in DIR/README.md the file is read (Matrix
Market, Harwell-Boeing/Rutherford-Boeing, triplet, hypre IJ or MATLAB v5,
following the table's reading notes), written as a Matrix Market file and
imported by tsr_mm with the table's kind; b is A·x_true for
x_true_i = 1 + (i mod 7), with imaginary part 0.5·(i mod 3) for the complex
kinds. tessar64 then runs with the kind switch and the extra switches, and
compare_residual gives ‖b − A·x‖₂/‖b‖₂ from A, b and x.

Writes bench/reliability/results/NAME.md (table and counts) and NAME.tsv.
A run counts as solved when tessar64 exits with status 0 and the residual is at
most 1e-10, failed when it exits with another status, and WRONG when it exits
with status 0 but x is missing, not finite or has a larger residual.
"""
import argparse
import datetime
import os
import platform
import re
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import sources  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
TOLERANCE = 1e-10
# A solution exact up to rounding in the data, as tessar64 accepts one where no
# step reaches its tolerance: normwise backward error at most this, with a
# relative residual of at most ROUNDING_RESIDUAL.
BACKWARD_BOUND = 1.5e-14
ROUNDING_RESIDUAL = 1e-5
TOOL_TIMEOUT = 3600  # tsr_mm and compare_residual; --timeout bounds the solver only
KINDS = {"real_sym": 0, "real_unsym": 1, "complex_sym": 2, "complex_unsym": 3, "complex_herm": 4}


def parse_table(readme):
    """The matrices of the README's table: name, file, kind, N, nnz and reading notes."""
    matrices = []
    with open(readme) as f:
        for line in f:
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if not line.startswith("|") or len(cells) < 7 or cells[0] in ("name", "") or set(cells[0]) <= set("-"):
                continue
            matrices.append({"name": cells[0], "file": cells[1], "kind": cells[2], "n": int(cells[3]),
                             "nnz": int(cells[4]), "notes": cells[6].replace("`", "")})
    return matrices


def reading_options(notes):
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--format")
    parser.add_argument("--assume")
    parser.add_argument("--kind")
    parser.add_argument("--symmetrize", action="store_true")
    parser.add_argument("--size", type=int)
    return parser.parse_args(shlex.split(notes))


def matrix_market_file(entry, source, work):
    """A Matrix Market file of the source as tsr_mm can take it, and what the conversion did."""
    opts = reading_options(entry["notes"])
    kind = KINDS[opts.kind or entry["kind"]]
    plain = source.endswith((".mtx", ".mm")) and not (opts.format or opts.assume or opts.symmetrize or opts.size)
    if plain:
        return source, kind, []
    m = sources.read_source(source, opts.format, opts.size)
    if opts.assume:
        sources.assume_one_triangle(m, opts.assume)
    if opts.symmetrize:
        sources.symmetrize(m, hermitian=kind == 4)
    if opts.format in ("triplet", "ij"):
        sources.sum_duplicates(m)
    path = os.path.join(work, "matrix.mtx")
    sources.write_matrix_market(path, m)
    return path, kind, m.notes


def true_solution(n, is_complex):
    if is_complex:
        return [complex(1 + i % 7, 0.5 * (i % 3)) for i in range(n)]
    return [float(1 + i % 7) for i in range(n)]


def write_rhs(work, kind):
    """Replaces tsr_mm's b (A·1) by A·x_true, computed from the stored A (upper triangle for symmetric kinds)."""
    is_complex = kind >= 2
    one_triangle = kind in (0, 2, 4)
    with open(os.path.join(work, "A"), "rb") as f:
        data = f.read()
    record = "<iidd" if is_complex else "<iid"
    entries = list(struct.iter_unpack(record, data))
    n = entries[-1][0] + 1
    x = true_solution(n, is_complex)
    b = [0j if is_complex else 0.0] * n
    for e in entries:
        i, j = e[0], e[1]
        v = complex(e[2], e[3]) if is_complex else e[2]
        b[i] += v * x[j]
        if one_triangle and i != j:
            b[j] += (v.conjugate() if kind == 4 else v) * x[i]
    values = [part for z in b for part in (z.real, z.imag)] if is_complex else b
    with open(os.path.join(work, "b"), "wb") as f:
        f.write(struct.pack(f"<{len(values)}d", *values))
    return n


def run(command, cwd, timeout, env=None):
    """(exit status or None on timeout, stdout, stderr, seconds); the whole process group goes on timeout."""
    start = time.monotonic()
    process = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, errors="replace", start_new_session=True)
    try:
        out, err = process.communicate(timeout=timeout)
        status = process.returncode
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, err = process.communicate()
        status = None
    return status, out, err, time.monotonic() - start


def escalation_steps(stderr):
    """The step that solved the system after escalation, from the solver's one
    "Solved after escalation:" line; else the factorizations it tried again."""
    messages = [line.split(":message", 1)[1].strip() for line in stderr.splitlines()
                if line.startswith("solver :message")]
    for text in messages:
        if text.startswith("Solved after escalation:"):
            return text.split(":", 1)[1].strip()
    again = [text.split(" with ", 1)[1] for text in messages if text.startswith("Escalation: factoring again with")]
    return "none (factored again with " + ", ".join(again) + ")" if again else "-"


def failure_reason(stderr):
    """The solver's own words on standard error, progress lines and the closing ", code N" left out; lines
    that differ only in their numbers ("Zero diagonal, row 7") are given once with their count."""
    lines = [line.strip() for line in stderr.splitlines()
             if line.strip() and not line.startswith("solver :") and not line.startswith(", code")]
    first, count = {}, {}
    for line in lines:
        key = re.sub(r"\d+", "#", line)
        first.setdefault(key, line)
        count[key] = count.get(key, 0) + 1
    return " / ".join(first[k] + (f" (and {count[k] - 1} more such lines)" if count[k] > 1 else "") for k in first)


def solve_one(entry, args, sources_dir, work_root):
    result = {"name": entry["name"], "kind": entry["kind"], "n": entry["n"], "nnz": "", "status": "",
              "residual": "", "backward": "", "escalation": "-", "seconds": "", "verdict": "", "note": ""}
    work = os.path.join(work_root, entry["name"])
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    notes = []
    try:
        mm, kind, conversion = matrix_market_file(entry, os.path.join(sources_dir, entry["file"]), work)
        notes += conversion
    except (sources.SourceError, OSError, ValueError, IndexError, KeyError) as error:
        result.update(verdict="not converted", note=f"reading: {error}")
        return result
    status, out, err, _ = run([args.tsr_mm, "import", mm, work, "--kind", str(kind)], work, TOOL_TIMEOUT)
    found = re.search(r"N = (\d+), (\d+) stored entries", out)
    if status != 0 or not found:
        said = "timed out" if status is None else (err.strip() or out.strip())[-300:]
        result.update(verdict="not converted", note="tsr_mm: " + said)
        return result
    n, nnz = int(found.group(1)), int(found.group(2))
    result.update(n=n, nnz=nnz)
    if n != entry["n"]:
        notes.append(f"N {n}, README {entry['n']}")
    if nnz != entry["nnz"]:
        notes.append(f"stored nnz {nnz}, README {entry['nnz']}")
    write_rhs(work, kind)

    switch = "-" + [k for k, code in KINDS.items() if code == kind][0]
    env = dict(os.environ, TS_LOG_FILE=os.path.join(work, "tessar.log"))
    status, _, err, seconds = run([args.tessar64, switch] + shlex.split(args.switches), work, args.timeout, env)
    with open(os.path.join(work, "stderr.txt"), "w") as f:
        f.write(err)
    result.update(seconds=f"{seconds:.2f}", escalation=escalation_steps(err), delayed=delayed_pivots(work))
    result["status"] = "timeout" if status is None else (f"signal {-status}" if status < 0 else str(status))

    residual = backward = None
    if os.path.exists(os.path.join(work, "x")):
        judged, out, jerr, _ = run([args.compare_residual, str(kind)], work, TOOL_TIMEOUT)
        found = re.search(r"residual=(\S+)", out)
        found_backward = re.search(r"backward=(\S+)", out)
        if judged == 0 and found:
            residual = float(found.group(1))
            result["residual"] = found.group(1)
            if found_backward:
                backward = float(found_backward.group(1))
                result["backward"] = found_backward.group(1)
        else:
            result["residual"] = "x unreadable"
            notes.append("compare_residual: " + jerr.strip())
    else:
        result["residual"] = "no x"

    if status == 0:
        good = residual is not None and residual <= TOLERANCE  # a NaN residual is not good
        rounding = (residual is not None and backward is not None and residual <= ROUNDING_RESIDUAL
                    and backward <= BACKWARD_BOUND)
        result["verdict"] = "solved" if good else ("to rounding" if rounding else "WRONG")
    else:
        result["verdict"] = "failed"
        if status is None:
            notes.append(f"killed after {args.timeout:g} s")
        notes.append(failure_reason(err))
    if args.mumps:
        result.update(run_mumps(args, work, kind))
    result["note"] = "; ".join(x for x in notes if x)
    if not args.keep:
        for name in ("A", "b", "x", "matrix.mtx"):
            if os.path.exists(os.path.join(work, name)):
                os.remove(os.path.join(work, name))
    return result


def delayed_pivots(work):
    """Delayed pivots of the run's factorizations, from its log: one count
    per pivoting factorization (the escalation may make several), empty where
    none pivoted."""
    try:
        with open(os.path.join(work, "tessar.log"), errors="replace") as f:
            counts = re.findall(r"Number of delayed pivots = (\d+)", f.read())
    except OSError:
        return ""
    return "+".join(counts)


# MUMPS runs the general symmetric mode on the symmetric kinds and the
# unsymmetric one on the others (it has no Hermitian mode).
MUMPS_SYM = {0: 2, 1: 0, 2: 2, 3: 0, 4: 0}


def run_mumps(args, work, kind):
    """The peer on the same A and b, after tessar64's x was judged: its wall
    time, delayed pivots (INFOG(13)) and the residual of its x."""
    x = os.path.join(work, "x")
    if os.path.exists(x):
        os.remove(x)
    status, out, _, seconds = run([args.mumps, str(kind), str(MUMPS_SYM[kind])], work, args.timeout)
    delayed = re.search(r"delayed=(-?\d+)", out or "")
    peer = {"mumps_seconds": f"{seconds:.2f}", "mumps_delayed": delayed.group(1) if delayed else "",
            "mumps_residual": "no x"}
    if status == 0 and os.path.exists(x):
        judged, out, _, _ = run([args.compare_residual, str(kind)], work, TOOL_TIMEOUT)
        found = re.search(r"residual=(\S+)", out)
        peer["mumps_residual"] = found.group(1) if judged == 0 and found else "x unreadable"
    return peer


COLUMNS = ["name", "kind", "n", "nnz", "status", "residual", "backward", "escalation", "delayed", "seconds", "verdict",
           "note"]
HEADINGS = ["matrix", "kind", "N", "stored nnz", "exit status", "residual", "backward error", "escalation step",
            "delayed pivots", "wall s", "verdict", "notes"]
MUMPS_COLUMNS = ["mumps_residual", "mumps_delayed", "mumps_seconds"]
MUMPS_HEADINGS = ["MUMPS residual", "MUMPS delayed pivots", "MUMPS wall s"]


def cell(value):
    return str(value).replace("|", "\\|").replace("\n", " ")


def write_reports(results, args, started):
    os.makedirs(args.results, exist_ok=True)
    columns = COLUMNS[:-1] + (MUMPS_COLUMNS if args.mumps else []) + COLUMNS[-1:]
    headings = HEADINGS[:-1] + (MUMPS_HEADINGS if args.mumps else []) + HEADINGS[-1:]
    with open(os.path.join(args.results, args.name + ".tsv"), "w") as f:
        f.write("\t".join(columns) + "\n")
        for r in results:
            f.write("\t".join(str(r.get(c, "")).replace("\t", " ") for c in columns) + "\n")
    verdicts = ("solved", "to rounding", "failed", "WRONG", "not converted")
    count = {v: sum(r["verdict"] == v for r in results) for v in verdicts}
    timeouts = sum(r["status"] == "timeout" for r in results)
    signals = sum(r["status"].startswith("signal") for r in results)
    lines = [
        f"# Reliability run: {args.name}",
        "",
        f"{started:%Y-%m-%d %H:%M}, {platform.node()} ({os.cpu_count()} processors); "
        f"tessar64 `{args.tessar64}` with the kind switch"
        + (f" and `{args.switches}`" if args.switches.strip() else " and default switches")
        + f"; timeout {args.timeout} s per run; residual ‖b − A·x‖₂/‖b‖₂ by compare_residual.",
        "",
        f"- solved (exit status 0, residual ≤ {TOLERANCE:g}): **{count['solved']}** of {len(results)}",
        f"- solved to rounding (exit status 0, backward error ≤ {BACKWARD_BOUND:g}, residual ≤ "
        f"{ROUNDING_RESIDUAL:g}): **{count['to rounding']}**",
        f"- failed with a non-zero exit status: **{count['failed']}**"
        + (f" (of which {timeouts} timed out, {signals} killed by a signal)" if timeouts or signals else ""),
        f"- WRONG (exit status 0 and neither of the above, x missing or not finite): **{count['WRONG']}**",
    ]
    if count["not converted"]:
        lines.append(f"- not run (conversion failed): **{count['not converted']}**")
    if args.mumps:
        ours = sum(float(r["seconds"] or 0) for r in results)
        peer = sum(float(r.get("mumps_seconds") or 0) for r in results)
        peer_solved = sum(r.get("mumps_residual", "no x") not in ("no x", "x unreadable")
                          and float(r["mumps_residual"]) <= TOLERANCE for r in results)
        lines.append(f"- MUMPS (double precision, its defaults) beside it: **{peer_solved}** solved to {TOLERANCE:g}; "
                     f"wall time over the collection {ours:.1f} s for tessar64, {peer:.1f} s for MUMPS")
    lines += ["", "| " + " | ".join(headings) + " |", "|" + "---|" * len(headings)]
    for r in results:
        lines.append("| " + " | ".join(cell(r.get(c, "")) for c in columns) + " |")
    with open(os.path.join(args.results, args.name + ".md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    return count


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    build = os.path.join(ROOT, "build")
    parser.add_argument("--sources", default="/work/shared/matrix-sources", help="folder of the matrices and README.md")
    parser.add_argument("--filter", default="", help="regular expression on the matrix names")
    parser.add_argument("--switches", default="", help="extra tessar64 switches, e.g. \"-pivoting\"")
    parser.add_argument("--timeout", type=float, default=600, help="seconds per run")
    parser.add_argument("--name", default="latest", help="report name: results/NAME.md and NAME.tsv")
    parser.add_argument("--results", default=os.path.join(HERE, "results"))
    parser.add_argument("--work", help="scratch folder (default: a new one under /tmp, removed afterwards)")
    parser.add_argument("--keep", action="store_true", help="keep A, b and x of every run in the scratch folder")
    parser.add_argument("--tessar64", default=os.path.join(build, "src", "driver", "tessar64"))
    parser.add_argument("--tsr-mm", default=os.path.join(build, "tools", "tsr_mm"))
    parser.add_argument("--compare-residual", default=os.path.join(build, "bench", "compare", "compare_residual"))
    parser.add_argument("--mumps", nargs="?", const=os.path.join(build, "bench", "compare", "compare_mumps"),
                        help="also run MUMPS (bench/compare's compare_mumps) on every matrix, side by side")
    # "--switches -pivoting" would read as two options: glue the value on
    argv = sys.argv[1:]
    for k in range(len(argv) - 1):
        if argv[k] == "--switches":
            argv[k:k + 2] = ["--switches=" + argv[k + 1], ""]
    args = parser.parse_args([a for a in argv if a != ""])
    for tool in (args.tessar64, args.tsr_mm, args.compare_residual):
        if not os.access(tool, os.X_OK):
            sys.exit(f"{tool}: not an executable (build it, or give its path)")
    args.tessar64, args.tsr_mm, args.compare_residual = (
        os.path.abspath(p) for p in (args.tessar64, args.tsr_mm, args.compare_residual))
    if args.mumps:
        if not os.access(args.mumps, os.X_OK):
            sys.exit(f"{args.mumps}: not an executable (install libmumps-seq-dev and build bench/compare)")
        args.mumps = os.path.abspath(args.mumps)

    matrices = [m for m in parse_table(os.path.join(args.sources, "README.md")) if re.search(args.filter, m["name"])]
    if not matrices:
        sys.exit("no matrix matches the filter")
    work = args.work or tempfile.mkdtemp(prefix="tsr-reliability-")
    os.makedirs(work, exist_ok=True)
    started = datetime.datetime.now()
    results = []
    for entry in matrices:
        result = solve_one(entry, args, args.sources, work)
        results.append(result)
        print(f"{result['name']:18} {result['verdict']:13} status {result['status'] or '-':8} "
              f"residual {result['residual'] or '-':12} {result['seconds'] or '-':>8} s  {result['note']}",
              flush=True)
        write_reports(results, args, started)
    count = write_reports(results, args, started)
    if not args.work and not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    print(f"solved {count['solved']}, to rounding {count['to rounding']}, failed {count['failed']}, WRONG {count['WRONG']}, "
          f"not converted {count['not converted']}; report in {os.path.join(args.results, args.name + '.md')}")
    return 1 if count["WRONG"] else 0


if __name__ == "__main__":
    sys.exit(main())
