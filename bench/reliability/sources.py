"""Readers of the matrix files the reliability run takes, turned into Matrix
Market coordinate files that tsr_mm can import.

Formats: Matrix Market (.mtx, .mm, optionally gzip-compressed), Harwell-Boeing
and Rutherford-Boeing (assembled, real or complex), triplet text files
("row col value [imag]", 0- or 1-based, optionally led by a
"nrow ncol nnz stype [complex]" line), hypre IJ files (one part per process,
"<prefix>.00000", ...) and MATLAB v5 files (a sparse variable, "A" by default).

Every reader returns a Matrix: 0-based entries in file order, the symmetry the
file declares ("general", "symmetric", "hermitian" or "skew-symmetric"; for
the last three the file holds one triangle) and whether values are complex.
"""
import glob
import gzip
import re
import struct
import zlib


class SourceError(Exception):
    pass


class Matrix:
    def __init__(self, n, is_complex, symmetry, entries):
        self.n = n
        self.is_complex = is_complex
        self.symmetry = symmetry
        self.entries = entries  # (row, col, complex value), 0-based
        self.notes = []  # what the conversion changed, for the report


# ---------------------------------------------------------------- Matrix Market

def open_text(path):
    return gzip.open(path, "rt") if path.endswith(".gz") else open(path)


def read_matrix_market(path):
    with open_text(path) as f:
        banner = f.readline().split()
        if len(banner) != 5 or banner[0].lower() != "%%matrixmarket" or banner[2].lower() != "coordinate":
            raise SourceError(f"{path}: not a Matrix Market coordinate file")
        field, symmetry = banner[3].lower(), banner[4].lower()
        if field == "pattern":
            raise SourceError(f"{path}: a pattern matrix has no values")
        line = f.readline()
        while line.startswith("%") or not line.strip():
            line = f.readline()
        rows, cols, count = (int(t) for t in line.split())
        if rows != cols:
            raise SourceError(f"{path}: not square")
        is_complex = field == "complex"
        entries = []
        for line in f:
            t = line.split()
            if not t or t[0].startswith("%"):
                continue
            value = complex(float(t[2]), float(t[3])) if is_complex else complex(float(t[2]), 0.0)
            entries.append((int(t[0]) - 1, int(t[1]) - 1, value))
    if len(entries) != count:
        raise SourceError(f"{path}: {len(entries)} entries, the size line announces {count}")
    return Matrix(rows, is_complex, symmetry, entries)


def write_matrix_market(path, m):
    """Writes m; the entries of a one-triangle symmetry go to the lower triangle."""
    field = "complex" if m.is_complex else "real"
    with open(path, "w") as f:
        f.write(f"%%MatrixMarket matrix coordinate {field} {m.symmetry}\n")
        f.write(f"{m.n} {m.n} {len(m.entries)}\n")
        one_triangle = m.symmetry != "general"
        for i, j, v in m.entries:
            if one_triangle and i < j:
                # (i, j) of the upper triangle is (j, i) of the lower one, mirrored
                i, j = j, i
                v = v.conjugate() if m.symmetry == "hermitian" else (-v if m.symmetry == "skew-symmetric" else v)
            if m.is_complex:
                f.write(f"{i + 1} {j + 1} {v.real!r} {v.imag!r}\n")
            else:
                f.write(f"{i + 1} {j + 1} {v.real!r}\n")


# ------------------------------------------------ Harwell-Boeing / Rutherford-Boeing

def fortran_field(fmt):
    """Repeat count and width of a Fortran edit descriptor such as (10I8), (1P5E16.8), (3D26.18)."""
    match = re.search(r"(\d*)\s*([IEDFG])\s*(\d+)", re.sub(r"\d+P,?", "", fmt.upper()))
    if not match:
        raise SourceError(f"cannot read the Fortran format {fmt}")
    return int(match.group(1) or 1), int(match.group(3))


def fortran_number(text):
    text = text.strip().upper().replace("D", "E")
    try:
        return float(text)
    except ValueError:
        # an exponent without its letter, as in 1.5-300
        return float(re.sub(r"(\d)([+-]\d+)$", r"\1E\2", text))


def read_fixed(lines, fmt, count, convert):
    repeat, width = fortran_field(fmt)
    values = []
    for line in lines:
        line = line.rstrip("\n")
        for k in range(repeat):
            field = line[k * width:(k + 1) * width]
            if field.strip() and len(values) < count:
                values.append(convert(field))
    if len(values) != count:
        raise SourceError(f"expected {count} values in format {fmt}, found {len(values)}")
    return values


def read_harwell_boeing(path):
    with open(path) as f:
        lines = f.readlines()
    cards = [int(t) for t in lines[1].split()]
    ptr_cards, ind_cards, val_cards = cards[1], cards[2], cards[3]
    rhs_cards = cards[4] if len(cards) > 4 else 0
    header3 = lines[2].split()
    mxtype = header3[0].upper()
    nrow, ncol, nnz = int(header3[1]), int(header3[2]), int(header3[3])
    if mxtype[2] != "A":
        raise SourceError(f"{path}: only assembled matrices are read (type {mxtype})")
    if mxtype[0] == "P":
        raise SourceError(f"{path}: a pattern matrix has no values")
    if nrow != ncol:
        raise SourceError(f"{path}: not square")
    formats = re.findall(r"\([^)]*\)", lines[3])
    first = 5 if rhs_cards > 0 else 4
    ptr_lines = lines[first:first + ptr_cards]
    ind_lines = lines[first + ptr_cards:first + ptr_cards + ind_cards]
    val_lines = lines[first + ptr_cards + ind_cards:first + ptr_cards + ind_cards + val_cards]
    pointers = read_fixed(ptr_lines, formats[0], ncol + 1, int)
    rows = read_fixed(ind_lines, formats[1], nnz, int)
    is_complex = mxtype[0] == "C"
    raw = read_fixed(val_lines, formats[2], 2 * nnz if is_complex else nnz, fortran_number)
    values = [complex(raw[2 * k], raw[2 * k + 1]) for k in range(nnz)] if is_complex else [complex(v) for v in raw]
    entries = []
    for j in range(ncol):
        for p in range(pointers[j] - 1, pointers[j + 1] - 1):
            entries.append((rows[p] - 1, j, values[p]))
    symmetry = {"U": "general", "R": "general", "S": "symmetric", "H": "hermitian", "Z": "skew-symmetric"}[mxtype[1]]
    return Matrix(nrow, is_complex, symmetry, entries)


# ------------------------------------------------------------- triplet and IJ

def read_triplet(path, size=None):
    with open(path) as f:
        rows = [line.split() for line in f if line.strip() and not line.startswith(("%", "#"))]
    notes = []
    symmetry = "general"
    first = rows[0]
    if len(first) >= 4 and all(re.fullmatch(r"-?\d+", t) for t in first) and first[0] == first[1] \
            and int(first[2]) == len(rows) - 1:
        # a "nrow ncol nnz stype [complex]" line; stype -1 lower, 1 upper triangle
        size = size or int(first[0])
        if int(first[3]) != 0:
            symmetry = "symmetric"
        rows = rows[1:]
        notes.append("size line " + " ".join(first))
    is_complex = any(len(t) > 3 for t in rows)
    indices = [(int(t[0]), int(t[1])) for t in rows]
    base = 0 if min(min(i, j) for i, j in indices) == 0 else 1
    largest = max(max(i, j) for i, j in indices) - base + 1
    n = size or largest
    if largest > n:
        raise SourceError(f"{path}: index {largest} beyond the size {n}")
    entries = []
    for (i, j), t in zip(indices, rows):
        value = complex(float(t[2]), float(t[3]) if len(t) > 3 else 0.0)
        entries.append((i - base, j - base, value))
    m = Matrix(n, is_complex, symmetry, entries)
    m.notes = notes + [f"{base}-based"]
    return m


def read_hypre_ij(prefix):
    """The parts "<prefix>.00000", ...: a line "ilower iupper jlower jupper", then "row col value" lines."""
    parts = sorted(p for p in glob.glob(glob.escape(prefix) + ".*") if re.search(r"\.\d+$", p))
    if not parts:
        raise SourceError(f"{prefix}: no IJ parts {prefix}.00000, ...")
    triples, lower, upper = [], None, None
    for part in parts:
        with open(part) as f:
            ilower, iupper, _, _ = (int(t) for t in f.readline().split())
            lower = ilower if lower is None else min(lower, ilower)
            upper = iupper if upper is None else max(upper, iupper)
            for line in f:
                t = line.split()
                if t:
                    triples.append((int(t[0]), int(t[1]), float(t[2])))
    entries = [(i - lower, j - lower, complex(v)) for i, j, v in triples]
    m = Matrix(upper - lower + 1, False, "general", entries)
    m.notes = [f"{len(parts)} IJ parts, {lower}-based"]
    return m


# ------------------------------------------------------------------ MATLAB v5

MI_FORMATS = {1: "b", 2: "B", 3: "h", 4: "H", 5: "i", 6: "I", 7: "f", 9: "d", 12: "q", 13: "Q"}
MI_MATRIX, MI_COMPRESSED = 14, 15
MX_SPARSE = 5


def mat_elements(data, endian):
    """The data elements of a buffer: (type, payload)."""
    pos = 0
    while pos + 8 <= len(data):
        word, = struct.unpack_from(endian + "I", data, pos)
        if word >> 16:  # small element: size and type in one word, data in the next four bytes
            kind, size = word & 0xFFFF, word >> 16
            yield kind, data[pos + 4:pos + 4 + size]
            pos += 8
            continue
        kind, size = struct.unpack_from(endian + "II", data, pos)
        yield kind, data[pos + 8:pos + 8 + size]
        pos += 8 + size
        if kind != MI_COMPRESSED:
            pos += -size % 8


def mat_numbers(kind, payload, endian):
    code = MI_FORMATS.get(kind)
    if code is None:
        raise SourceError(f"MAT data type {kind} is not numeric")
    return list(struct.unpack(endian + code * (len(payload) // struct.calcsize(code)), payload))


def mat_sparse(payload, endian):
    """Name and Matrix of a miMATRIX element, or (name, None) when it is not a sparse matrix."""
    parts = list(mat_elements(payload, endian))
    flags = mat_numbers(parts[0][0], parts[0][1], endian)
    name = parts[2][1].decode("latin-1")
    if flags[0] & 0xFF != MX_SPARSE:
        return name, None
    is_complex = bool(flags[0] & 0x0800)
    rows, cols = mat_numbers(parts[1][0], parts[1][1], endian)[:2]
    ir = mat_numbers(parts[3][0], parts[3][1], endian)
    jc = mat_numbers(parts[4][0], parts[4][1], endian)
    re_part = mat_numbers(parts[5][0], parts[5][1], endian)
    im_part = mat_numbers(parts[6][0], parts[6][1], endian) if is_complex else None
    if rows != cols:
        raise SourceError(f"MAT variable {name} is not square")
    entries = []
    for j in range(cols):
        for p in range(jc[j], jc[j + 1]):
            entries.append((ir[p], j, complex(re_part[p], im_part[p] if is_complex else 0.0)))
    return name, Matrix(rows, is_complex, "general", entries)


def read_mat(path, variable="A"):
    with open(path, "rb") as f:
        data = f.read()
    if data[126:128] not in (b"IM", b"MI") or data[:6] != b"MATLAB":
        raise SourceError(f"{path}: not a MATLAB v5 file (v7.3 files are HDF5)")
    endian = "<" if data[126:128] == b"IM" else ">"
    found = {}
    for kind, payload in mat_elements(data[128:], endian):
        if kind == MI_COMPRESSED:
            kind, payload = next(mat_elements(zlib.decompress(payload), endian))
        if kind == MI_MATRIX:
            name, matrix = mat_sparse(payload, endian)
            if matrix is not None:
                found[name] = matrix
    if variable in found:
        return found[variable]
    if len(found) == 1:
        return next(iter(found.values()))
    raise SourceError(f"{path}: no sparse variable {variable} (sparse variables: {sorted(found)})")


# ---------------------------------------------------------------- conversion

def read_source(path, fmt=None, size=None):
    lower = path.lower()
    if fmt == "triplet":
        return read_triplet(path, size)
    if fmt == "ij":
        return read_hypre_ij(path)
    if lower.endswith((".rua", ".rsa", ".cua", ".csa", ".cha", ".rha", ".hb", ".rb")):
        return read_harwell_boeing(path)
    if lower.endswith(".mat"):
        return read_mat(path)
    if lower.endswith((".mtx", ".mm", ".mtx.gz")):
        return read_matrix_market(path)
    if lower.endswith(".tri"):
        return read_triplet(path, size)
    raise SourceError(f"{path}: unknown format (give --format)")


def assume_one_triangle(m, symmetry):
    """The file holds one triangle of a symmetric or Hermitian matrix."""
    m.symmetry = symmetry
    m.notes.append(f"one triangle, {symmetry}")


def symmetrize(m, hermitian):
    """Replaces a general matrix by (A + Aᵀ)/2 (A + Aᴴ for Hermitian), stored as its lower triangle."""
    if m.symmetry != "general":
        return
    mirror = (lambda v: v.conjugate()) if hermitian else (lambda v: v)
    full = {}
    for i, j, v in m.entries:
        full[(i, j)] = full.get((i, j), 0) + v
    largest = max((abs(v) for v in full.values()), default=0.0)
    skew = 0.0
    lower = {}
    for (i, j), v in full.items():
        if i < j:
            continue
        w = mirror(full.get((j, i), 0))
        skew = max(skew, abs(v - w))
        lower[(i, j)] = (v + w) / 2
    for (i, j), v in full.items():
        if i < j and (j, i) not in full:
            lower[(j, i)] = mirror(v) / 2
            skew = max(skew, abs(v))
    m.entries = [(i, j, v) for (i, j), v in sorted(lower.items(), key=lambda e: (e[0][1], e[0][0]))]
    m.symmetry = "hermitian" if hermitian else "symmetric"
    m.notes.append(f"symmetrized (largest |a_ij - a_ji| {skew / largest if largest else 0:.1e} of max |a_ij|)")


def sum_duplicates(m):
    """Adds entries given twice at one position (the triplet convention)."""
    one_triangle = m.symmetry != "general"
    merged, order = {}, []
    for i, j, v in m.entries:
        key = (max(i, j), min(i, j)) if one_triangle else (i, j)
        if key in merged:
            merged[key] = (merged[key][0], merged[key][1], merged[key][2] + v)
        else:
            merged[key] = (i, j, v)
            order.append(key)
    if len(order) != len(m.entries):
        m.notes.append(f"{len(m.entries) - len(order)} duplicates summed")
        m.entries = [merged[key] for key in order]
