"""What `solve` does with the run after the search: a proof cut short by a
stop keeps its whole steps, and `--check` checks the run that happened, the
model against every clause read, or the proof written, read back and
checked as `quillon-native check` checks a proof file."""
import os

from quillon_native_cli.common import Signals
from quillon_native_cli.dimacs import InputError, _scan

BLOCK = 1 << 16  # bytes read back at a time from the end of a proof


def keep_whole_steps(fd, binary):
    """Cuts the proof open at `fd` after its last whole step; its new size."""
    sep = b"\0" if binary else b"\n"
    pos = os.fstat(fd).st_size
    while pos > 0:
        start = max(0, pos - BLOCK)
        at = os.pread(fd, pos - start, start).rfind(sep)
        if at >= 0:
            os.ftruncate(fd, start + at + 1)
            return start + at + 1
        pos = start
    os.ftruncate(fd, 0)
    return 0


def close_proof(fh, got, args, comment):
    """Closes the proof file `fh` of a search that reported `got` (one
    stopped while writing keeps its whole steps); its error or None."""
    try:
        if got.proof_error is None and got.proof_steps is None:
            kept = keep_whole_steps(fh.fileno(), args.binary_proof)
            if args.proof:
                comment(f"proof {args.proof}: incomplete, {kept} bytes of whole steps kept")
        elif got.proof_error is None and args.proof:
            comment(f"proof {args.proof}: {got.proof_steps} steps")
        fh.close()
    except OSError as e:
        return got.proof_error or e.strerror or str(e)
    return got.proof_error


def check_model(formula, model):
    """(verdict, line) for a model (a 0/1 byte per variable) of a _scan.Formula."""
    bad = formula.falsified(model)
    if bad is None:
        return (True, f"check: model satisfies all {formula.nclauses} clauses")
    return (False, f"check: MODEL WRONG, clause {bad + 1} is falsified")


def check_proof(formula, path):
    """(verdict, line) for the proof file at `path` of a _scan.Formula's
    unsatisfiability; a stop signal raises Interrupted."""
    from quillon_native_cli.proofs import ProofReader
    check = _scan.ProofCheck(True, True)
    check.header(formula.nvars, formula.nclauses)
    check.add_formula(formula)
    check.start()
    try:
        with Signals():
            ProofReader(path, check).read()
    except InputError as e:
        return (False, f"check: proof NOT VERIFIED: {e}")
    res = check.result()
    if res[0]:
        return (True, f"check: proof VERIFIED ({res[1]}; {res[2]} steps)")
    return (False, f"check: proof NOT VERIFIED at step {res[8]}: {res[1]}")
