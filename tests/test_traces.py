# Recorded searches: for each formula, option set and call sequence below,
# data/solver_traces.json holds the answer and every counter after each call,
# the model, and a digest of the whole proof.  Any change to a decision, a
# conflict, a learned clause, a deletion, a walk or a restart shows up here.
#
# After a deliberate change to the search, re-record with
#     QUILLON_RECORD=1 python -m pytest tests/test_traces.py
# and review the diff of the data file before committing it.
import hashlib
import json
import os
import random

import pytest

import quillon_native as qn
from oracles import pigeonhole, refutes, random_3sat, random_cnf, satisfies

PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "solver_traces.json")
# The order of the counters in each recorded entry of the data file.
STATS = ("decisions", "propagations", "conflicts", "learned", "learned_lits", "minimized_lits", "restarts",
         "blocked_restarts", "reductions", "deleted", "max_trail")
EARLY = dict(walk_min_conflicts=0, luby_base=2.0)
OPTION_SETS = [
    dict(), dict(restart="glucose"), dict(restart="none", ccmin="basic"),
    dict(ccmin="none", phase_saving=False, init_phase=True), dict(target_phase=False, rnd_freq=0.2, rnd_seed=1),
    dict(luby_base=1.0, first_reduce=5, reduce_inc=1, glue_keep=0, walk_min_conflicts=0, walk_flips=40),
    dict(restart="glucose", target_reset=1, walk_min_conflicts=0, walk_interval=2, walk_patience=100),
    dict(walk_interval=0, walk_min_conflicts=0),
    dict(first_reduce=20, reduce_inc=2, luby_base=3.0, walk_min_conflicts=10, walk_flips=25),
    dict(restart="glucose", first_reduce=10, reduce_inc=1, glue_keep=1, walk_min_conflicts=0, walk_flips=7),
    dict(var_decay=0.5, var_decay_max=0.99, cla_decay=0.5, rnd_freq=0.05, rnd_seed=7, first_reduce=10),
    dict(restart="none", target_phase=False, phase_saving=False, walk_min_conflicts=3, walk_patience=1),
    dict(restart="glucose", ccmin="basic", phase_saving=False, block_restart=False, cla_decay=0.9),
    dict(EARLY, walk_flips=2000), dict(EARLY, walk_flips=3, walk_patience=50),
    dict(EARLY, walk_flips=400, walk_patience=6, rnd_freq=0.2),
    dict(EARLY, target_phase=False, phase_saving=False, walk_interval=2, walk_flips=300, walk_patience=20),
    dict(EARLY, restart="glucose", target_reset=3, walk_patience=7),
    dict(walk_min_conflicts=40, luby_base=1.0, walk_flips=60, walk_patience=1000, first_reduce=50, reduce_inc=5),
]


def cases():
    # (name, nvars, options, script): a script is a list of clauses to add
    # (lists), "new_var", and conflict limits for solve (int or None).
    for i, opts in enumerate(OPTION_SETS):
        for seed in range(10):
            rng = random.Random(seed * 1000 + i)
            if seed < 6:
                n = rng.randint(10, 45)
                clauses = random_3sat(seed * 31 + i, n, ratio=rng.choice([3.8, 4.0, 4.26, 4.5]))
                clauses += [[2 * rng.randrange(n) + rng.randrange(2)] for _ in range(rng.randrange(3))]
            else:  # units, repeated literals, tautologies
                n = rng.randint(1, 12)
                clauses = random_cnf(rng, n, rng.randint(1, 60), 1, 4)
            more = random_cnf(rng, n + 2, rng.randint(1, 6), 1, 3)
            yield f"o{i}s{seed}", n, opts, clauses + [7, None] + ["new_var"] + more + [3, None]
    long = dict(first_reduce=300, reduce_inc=30, walk_min_conflicts=500, walk_flips=2000)
    yield "3sat120", 120, long, random_3sat(11, 120) + [None]
    yield "3sat150g", 150, dict(long, restart="glucose"), random_3sat(12, 150) + [None]
    # past 10000 conflicts: restarts blocked, default walks
    yield "3sat200", 200, dict(), random_3sat(3, 200) + [None]
    yield "3sat190g", 190, dict(restart="glucose"), random_3sat(3, 190) + [None]
    yield "3sat190n", 190, dict(restart="none"), random_3sat(3, 190) + [None]
    nv, php = pigeonhole(6)
    for j, opts in enumerate([dict(), dict(restart="glucose", ccmin="basic"), dict(first_reduce=300, reduce_inc=50,
                                                                              walk_min_conflicts=0)]):
        yield f"php6o{j}", nv, opts, php + [500, None]
    nv, php = pigeonhole(7)
    yield "php7g", nv, dict(restart="glucose", walk_flips=0), php + [None]


def run(nvars, opts, script):
    s = qn.Solver(nvars, **opts)
    s.enable_proof()
    calls = []
    for step in script:
        if step == "new_var":
            s.new_var()
        elif isinstance(step, list):
            s.add_clause(step)
        else:
            r = s.solve(step)
            bits = "".join("1" if b else "0" for b in s.model)
            calls.append([r, [getattr(s, k) for k in STATS], "%x/%d" % (int(bits[::-1] or "0", 2), len(bits))])
    steps = json.dumps(s.proof_steps(), separators=(",", ":")).encode()
    return calls, hashlib.sha256(steps).hexdigest()[:20], s


def test_search_matches_recorded_traces():
    got = {}
    for name, nvars, opts, script in cases():
        calls, digest, s = run(nvars, opts, script)
        got[name] = [calls, digest]
        clauses = [c for c in script if isinstance(c, list)]
        if calls[-1][0]:
            assert satisfies(s.model, clauses), name
        elif s.conflicts < 5000:  # the biggest proofs would double the time
            assert refutes(clauses, s.proof_steps(), s.nvars), name
        assert s.check_watch_invariant() == [], name
    if os.environ.get("QUILLON_RECORD"):
        items = [f"{json.dumps(k)}:{json.dumps(v, separators=(',', ':'))}" for k, v in got.items()]
        with open(PATH, "w") as f:  # ten cases a line: a compact file, readable diffs
            f.write("{" + ",\n".join(",".join(items[i:i + 10]) for i in range(0, len(items), 10)) + "}\n")
        pytest.skip("traces recorded")
    with open(PATH) as f:
        want = json.load(f)
    assert list(got) == list(want)
    diff = [k for k in want if got[k] != want[k]]
    assert not diff, (diff[:5], got[diff[0]], want[diff[0]])
