"""The benchmark guard (bench/guard.py): its scores, its verdict against a
baseline, and a whole run that must catch a wrong answer."""
import json
import os
import subprocess
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench")
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
sys.path.insert(0, BENCH)

import guard  # noqa: E402


def rec(answer, cpu, expected="UNSAT"):
    return dict(answer=answer, cpu=cpu, expected=expected)


# (records of the rounds, cap, score): a right answer scores its CPU time, the
# median over rounds; unknown, wrong or over the cap scores twice the cap.
SCORES = [
    ([rec("UNSAT", 1.5)], 10, 1.5),
    ([rec(None, 3.0)], 10, 20),
    ([rec("SAT", 0.2)], 10, 20),
    ([rec("UNSAT", 10.5)], 10, 20),
    ([rec("SAT", 0.7, expected="")], 10, 0.7),
    ([rec("UNSAT", 4.0), rec("UNSAT", 1.0), rec("UNSAT", 2.0)], 10, 2.0),
    ([rec("UNSAT", 1.0), rec(None, 1.0), rec(None, 1.0)], 10, 20),
]


@pytest.mark.parametrize("recs, cap, expected", SCORES)
def test_score(recs, cap, expected):
    assert guard.score(recs, cap) == expected


def summary(solved, par2, geo):
    return {"auto": (4, solved, par2, geo)}


# (baseline, this run, complaints): slower beyond the tolerance and beyond
# the noise floor, or fewer solved, is a regression; faster never is.
VERDICTS = [
    (summary(4, 1.0, 0.5), summary(4, 1.2, 0.6), 0),
    (summary(4, 1.0, 0.5), summary(4, 1.4, 0.5), 1),
    (summary(4, 1.0, 0.5), summary(4, 1.4, 0.7), 2),
    (summary(4, 1.0, 0.5), summary(3, 0.5, 0.2), 1),
    (summary(4, 0.02, 0.01), summary(4, 0.06, 0.03), 0),
    (summary(3, 9.0, 2.0), summary(4, 1.0, 0.5), 0),
]


@pytest.mark.parametrize("old, new, complaints", VERDICTS)
def test_compare(old, new, complaints):
    bad = guard.compare({"op": new}, {"op": old}, ["auto"], 1.25)
    assert len(bad) == complaints, bad


def run_guard(tmp_path, manifest, *extra):
    cmd = [sys.executable, os.path.join(BENCH, "guard.py"), "--manifest", str(manifest), "--part", "all",
           "--solvers", "default", "--rounds", "1", "--cap", "20", "-o", str(tmp_path / "runs.jsonl"), *extra]
    return subprocess.run(cmd, capture_output=True, text=True, timeout=120)


def test_whole_run_reports_and_catches_a_wrong_answer(tmp_path):
    # php5 is unsatisfiable: a manifest that says SAT must fail the run.
    manifest = tmp_path / "m.tsv"
    lines = ["file\texpected\tfamily", f"{EXAMPLES}/php5.cnf\tSAT\tphp", f"{EXAMPLES}/example.cnf\tSAT\tqueens"]
    manifest.write_text("\n".join(lines) + "\n")
    p = run_guard(tmp_path, manifest, "--save-baseline", str(tmp_path / "base.json"))
    assert p.returncode == 1, p.stdout + p.stderr
    assert "WRONG: default answered UNSAT on" in p.stdout
    base = json.loads((tmp_path / "base.json").read_text())
    assert base["table"]["php"]["default"][:3] == [1, 0, 40.0]
    assert base["table"]["queens"]["default"][:2] == [1, 1]
    # The same records reported again once the manifest is put right: the
    # verdict follows the manifest, and solving more than the baseline passes.
    lines[1] = f"{EXAMPLES}/php5.cnf\tUNSAT\tphp"
    manifest.write_text("\n".join(lines) + "\n")
    p = run_guard(tmp_path, manifest, "--report", "--baseline", str(tmp_path / "base.json"), "--watch", "default")
    assert p.returncode == 0 and "WRONG" not in p.stdout, p.stdout
    assert "1/1" in p.stdout.splitlines()[1]
