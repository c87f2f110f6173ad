"""What every benchmark script shares: the bench folder, the manifest, a
DIMACS reader and literal conversions."""
import gzip
import lzma
import os

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_BENCH = os.path.join(HERE, "..", "..", "shared", "bench")


def open_text(path):
    path = str(path)
    if path.endswith(".xz"):
        return lzma.open(path, "rt")
    if path.endswith(".gz"):
        return gzip.open(path, "rt")
    return open(path, "rt")


def read_dimacs(path):
    """(nvars, clauses as lists of DIMACS ints); stops at a '%' trailer."""
    nvars, clauses, cur = 0, [], []
    with open_text(path) as f:
        for line in f:
            line = line.strip()
            if not line or line[0] == "c":
                continue
            if line[0] == "%":
                break
            if line[0] == "p":
                nvars = int(line.split()[2])
                continue
            for tok in line.split():
                d = int(tok)
                if d == 0:
                    clauses.append(cur)
                    cur = []
                else:
                    cur.append(d)
                    nvars = max(nvars, abs(d))
    if cur:
        clauses.append(cur)
    return nvars, clauses


def to_internal(clauses):
    return [[2 * (abs(d) - 1) + (d < 0) for d in c] for c in clauses]


def read_dimacs_internal(path):
    """(nvars, clauses over internal literals)."""
    nvars, clauses = read_dimacs(path)
    return nvars, to_internal(clauses)


def steps_to_internal(steps):
    """proof_steps() pairs ("a"/"d", DIMACS) -> check_proof's (is_deletion, internal)."""
    return [(kind == "d", [2 * (abs(d) - 1) + (d < 0) for d in lits]) for kind, lits in steps]


def model_satisfies(model, clauses):
    """`model` (bools per variable) against DIMACS clauses."""
    return all(any(model[abs(d) - 1] == (d > 0) for d in c) for c in clauses)


def load_manifest(bench_dir):
    rows = []
    with open(os.path.join(bench_dir, "MANIFEST.tsv")) as f:
        header = f.readline().rstrip("\n").split("\t")
        for line in f:
            if line.strip():
                rows.append(dict(zip(header, line.rstrip("\n").split("\t"))))
    return rows


def stream_clauses(path):
    """Clauses one at a time (DIMACS ints), without holding the formula."""
    cur = []
    with open_text(path) as f:
        for line in f:
            if not line.strip() or line[0] in "cp":
                continue
            if line[0] == "%":
                break
            for tok in line.split():
                d = int(tok)
                if d == 0:
                    yield cur
                    cur = []
                else:
                    cur.append(d)
    if cur:
        yield cur
