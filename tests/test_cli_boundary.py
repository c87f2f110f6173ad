# The command line's native module (quillon_native_cli._scan) at its
# boundary: whatever the C++ below an entry throws comes out as a Python
# exception with its message (never an abort), an object with native state
# takes one call at a time, and a clause it cannot read is refused whole.
import itertools
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from quillon_native_cli import _scan, native
from commands import ENV

HERE = Path(__file__).parent
pytestmark = pytest.mark.skipif(not native.available(), reason="quillon_native_cli._scan is not built")

PRELUDE = textwrap.dedent("""
    import threading, time
    from quillon_native_cli import _scan, configs
    from oracles import pigeonhole
    nvars, clauses = pigeonhole(10)  # far beyond the calls below: they end at their conflict limit
    def runner():
        r = _scan.Runner(nvars, {})
        for c in clauses:
            r.add_clause(c)
        return r
    def refused(first, second, stop=_scan.request_stop):
        # `second` while `first` runs on another thread with the interpreter unlocked; then stop(s) it
        t = threading.Thread(target=first)
        t.start()
        time.sleep(0.2)
        try:
            second()
        except RuntimeError as e:
            print(e)
        stop()
        t.join()
""")

ROWS = [  # (what, script after PRELUDE, the line it prints)
    ("a runner's counters while it searches", "r = runner(); refused(lambda: r.solve(40000), r.stats)",
     "Runner is in use by another thread"),
    ("a runner searched twice at once", "r = runner(); refused(lambda: r.solve(40000), lambda: r.solve(10))",
     "Runner is in use by another thread"),
    ("a clause added while it searches", "r = runner(); refused(lambda: r.solve(40000), lambda: r.add_clause([0]))",
     "Runner is in use by another thread"),
    ("its variables read while it searches", "r = runner(); refused(lambda: r.solve(40000), lambda: r.nvars)",
     "Runner is in use by another thread"),
]


@pytest.mark.parametrize("what,script,line", ROWS, ids=[r[0] for r in ROWS])
def test_the_native_boundary_raises_and_refuses(what, script, line):
    # In a process of its own: without the boundary a failure aborts it.
    p = subprocess.run([sys.executable, "-c", PRELUDE + script], env=ENV, capture_output=True, text=True,
                       timeout=60, cwd=HERE)
    assert (p.returncode, p.stdout.strip()) == (0, line), p.stderr[-2000:]


CLAUSE_HOLDERS = {"Formula": lambda: _scan.Formula(), "Runner": lambda: _scan.Runner(2, {}),
                  "ProofCheck": lambda: _scan.ProofCheck(True, True)}
UNREADABLE = [  # (clause, exception, message)
    (5, TypeError, "a clause must be a sequence of literals"),
    ([0, 2 ** 32], OverflowError, "literal out of range"),
    ([0, "x"], TypeError, "an integer is required"),
]


@pytest.mark.parametrize("holder,clause,exc,message", [(h, *u) for h, u in itertools.product(CLAUSE_HOLDERS, UNREADABLE)])
def test_a_clause_that_cannot_be_read_is_refused(holder, clause, exc, message):
    obj = CLAUSE_HOLDERS[holder]()
    with pytest.raises(exc, match=f"^{re.escape(message)}$"):
        obj.add_clause(clause)
    obj.add_clause([0, 2])  # still usable
