# A header's variable count sizes nothing the machine cannot hold: every
# path that sizes from it refuses a count beyond memory at the header's line
# at once, the checker sizes from the variables the clauses name, and the
# time limit holds while the formula loads.  Each run gets an address space
# of a few GiB, so that a regression fails on its own message instead of
# filling the machine.
import os
import resource
import signal
import subprocess
import sys
import time

import pytest

from quillon_native_cli import native
from commands import ENV

pytestmark = pytest.mark.skipif(not native.available(), reason="quillon_native_cli._scan is not built")

LIMIT = 6 << 30
SANITIZED = bool(os.environ.get("QUILLON_SANITIZED"))  # the sanitizer runtime reserves terabytes of address space
HUGE = "p cnf 2000000000 1\n1 -2000000000 0\n"
REFUSED = "huge.cnf:1: 2000000000 variables do not fit in memory (a solver's tables need more than any machine " \
          "holds, this machine has "

ROWS = [  # (what, files, command after `python`, exit code, what stdout or stderr holds)
    ("auto", {"huge.cnf": HUGE}, "-m quillon_native_cli solve huge.cnf", 3, REFUSED),
    ("one configuration", {"huge.cnf": HUGE}, "-m quillon_native_cli solve huge.cnf --config glucose", 3, REFUSED),
    ("portfolio", {"huge.cnf": HUGE}, "-m quillon_native_cli solve huge.cnf --portfolio 2", 3, REFUSED),
    ("threads", {"huge.cnf": HUGE}, "-m quillon_native_cli solve huge.cnf --threads 2", 3, REFUSED),
    ("checked over the module", {"huge.cnf": HUGE}, "-m quillon_native_cli solve huge.cnf --check", 3, REFUSED),
    ("preprocessed", {"huge.cnf": HUGE}, "-m quillon_native_cli solve huge.cnf --preprocess", 3, REFUSED),
    ("preprocessed ahead of a portfolio", {"huge.cnf": HUGE},
     "-m quillon_native_cli solve huge.cnf --preprocess --portfolio 2", 3, REFUSED),
    ("the checker sizes from the clauses", {"h.cnf": "p cnf 2000000000 3\n1 -2 0\n-1 0\n2 0\n", "h.drat": "0\n"},
     "-m quillon_native_cli check h.cnf h.drat", 0, "s VERIFIED"),
    ("solve_formula", {}, "-c \"from quillon_native_cli import solve_formula; solve_formula([[1, -2]], nvars=2 * 10**9)\"",
     1, "MemoryError: nvars=2000000000: 2000000000 variables do not fit in memory"),
    ("the time limit while loading", {"big.cnf": "p cnf 30000000 1\n1 -30000000 0\n"},
     "-m quillon_native_cli solve big.cnf --config default --seconds 0", 0,
     "c time limit reached while reading the formula\ns UNKNOWN"),
]


def small_address_space():
    # A regression fails here rather than filling the machine.
    if not SANITIZED:
        resource.setrlimit(resource.RLIMIT_AS, (LIMIT, LIMIT))


@pytest.mark.parametrize("what,files,command,code,holds", ROWS, ids=[r[0] for r in ROWS])
def test_a_header_sizes_nothing_beyond_memory(tmp_path, what, files, command, code, holds):
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    t0 = time.monotonic()
    p = subprocess.run(f"{sys.executable} {command}", shell=True, env=ENV, cwd=tmp_path, capture_output=True,
                       text=True, timeout=60, preexec_fn=small_address_space)
    took = time.monotonic() - t0
    assert p.returncode == code and holds in p.stdout + p.stderr, (p.stdout[-2000:], p.stderr[-2000:])
    assert took < 5, took


PREP_VARS = 80_000_000  # the preprocessor's tables: some 4 GiB, seconds to fill
STOPS = [  # (how loading is stopped, extra arguments, exit code, the last lines)
    ("time limit", ["--seconds", "0"], 0, "c time limit reached while reading the formula\ns UNKNOWN\n"),
    ("SIGTERM", [], 143, "c interrupted while reading the formula\ns UNKNOWN\n"),
]


def rss_mib(pid):
    """The resident memory of `pid` and its children (the search program sizes the tables)."""
    try:
        with open(f"/proc/{pid}/status") as f:
            own = next(int(ln.split()[1]) for ln in f if ln.startswith("VmRSS:")) // 1024
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            kids = f.read().split()
    except (OSError, StopIteration):  # ended
        return 1 << 30
    return own + sum(rss_mib(int(k)) for k in kids if rss_mib(int(k)) < 1 << 30)


@pytest.mark.parametrize("how,extra,code,tail", STOPS, ids=[s[0] for s in STOPS])
def test_loading_stops_while_a_preprocessor_is_sized(tmp_path, how, extra, code, tail):
    # The command ends long before the tables are filled: its peak memory
    # stays far below them.
    (tmp_path / "big.cnf").write_text(f"p cnf {PREP_VARS} 1\n1 -{PREP_VARS} 0\n")
    p = subprocess.Popen([sys.executable, "-m", "quillon_native_cli", "solve", "big.cnf", "--preprocess", "--portfolio",
                          "2", *extra], env=ENV, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True, preexec_fn=small_address_space)
    if how == "SIGTERM":
        while rss_mib(p.pid) < 300:  # the tables are being filled
            time.sleep(0.01)
        p.send_signal(signal.SIGTERM)
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    out, err = p.stdout.read(), p.stderr.read()
    assert (p.returncode, out[-len(tail):]) == (code, tail), out + err
    assert usage.ru_maxrss < PREP_VARS * 53 // 1024 * 3 // 4, usage.ru_maxrss  # KiB
