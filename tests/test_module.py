"""Module surface and the binding conventions every function shares."""
import inspect

import pytest

import quillon_native as qn


def test_module_attributes():
    assert qn.__version__ == "0.1.6"
    assert qn.__doc__ == "Native engine for quillon (clause arena + CDCL search core)"
    names = ["ClauseDb", "Solver", "Preprocessor", "solve_portfolio", "check_proof",
             "neg", "var_of", "is_neg", "mk_lit", "from_dimacs", "to_dimacs"]
    public = [n for n in vars(qn) if not n.startswith("__")]
    assert public == names


@pytest.mark.parametrize("name, sig", [
    ("neg", "(l)"), ("var_of", "(l)"), ("is_neg", "(l)"), ("mk_lit", "(v, negated=False)"),
    ("to_dimacs", "(l)"), ("from_dimacs", "(d)"),
    ("check_proof", "(nvars, clauses, steps, check_rat=True, apply_deletions=True)"),
    ("solve_portfolio", "(nvars, clauses, configs, alt=None, alt_threads=0, want_proof=False)"),
    ("ClauseDb", "(nvars=0)"),
    ("Preprocessor", "(nvars=0, do_bve=True, max_resolvent_len=20, with_proof=False)"),
])
def test_signatures(name, sig):
    assert str(inspect.signature(getattr(qn, name))) == sig


def test_function_docs_and_module():
    assert qn.neg.__doc__ is None or qn.neg.__doc__ == ""
    assert qn.check_proof.__doc__.startswith("Check a DRAT proof against a formula.")
    assert qn.solve_portfolio.__doc__.endswith("would make the entire exercise pointless.")
    for f in (qn.neg, qn.check_proof, qn.solve_portfolio):
        assert f.__module__ == "quillon_native"
    assert qn.ClauseDb.__doc__ == "A clause database living in native memory."


@pytest.mark.parametrize("call, exc, msg", [
    (lambda: qn.neg(), TypeError, "neg() missing 1 required positional argument: 'l'"),
    (lambda: qn.mk_lit(), TypeError, "mk_lit() missing 1 required positional argument: 'v'"),
    (lambda: qn.check_proof(), TypeError,
     "check_proof() missing 3 required positional arguments: 'nvars', 'clauses', and 'steps'"),
    (lambda: qn.check_proof(1), TypeError,
     "check_proof() missing 2 required positional arguments: 'clauses' and 'steps'"),
    (lambda: qn.neg(1, 2), TypeError, "neg() takes 1 positional arguments but 2 were given"),
    (lambda: qn.mk_lit(1, True, 3), TypeError, "mk_lit() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: qn.neg(x=1), TypeError, "neg() got an unexpected keyword argument 'x'"),
    (lambda: qn.mk_lit(1, v=2), TypeError, "mk_lit() got multiple values for argument 'v'"),
    (lambda: qn.ClauseDb(1, 2), TypeError, "ClauseDb.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: qn.ClauseDb(n=1), TypeError, "ClauseDb.__new__() got an unexpected keyword argument 'n'"),
    (lambda: qn.ClauseDb().clause(), TypeError, "ClauseDb.clause() missing 1 required positional argument: 'i'"),
])
def test_binding_errors(call, exc, msg):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == msg
    assert not getattr(info.value, "__notes__", None)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("call, exc, msg, note", [
    (lambda: qn.neg(-1), OverflowError, "number too small to fit in target type", "l"),
    (lambda: qn.neg(2**32), OverflowError, "number too large to fit in target type", "l"),
    (lambda: qn.neg(2**64), OverflowError, None, "l"),
    (lambda: qn.neg("1"), TypeError, None, "l"),
    (lambda: qn.neg(1.0), TypeError, None, "l"),
    (lambda: qn.neg(None), TypeError, None, "l"),
    (lambda: qn.mk_lit(1, negated=1), TypeError, "'int' object is not an instance of 'bool'", "negated"),
    (lambda: qn.mk_lit(1, None), TypeError, "'None' is not an instance of 'bool'", "negated"),
    (lambda: qn.from_dimacs(2**31), OverflowError, "number too large to fit in target type", "d"),
    (lambda: qn.from_dimacs(-2**31 - 1), OverflowError, "number too small to fit in target type", "d"),
    (lambda: qn.ClauseDb(-1), OverflowError, "number too small to fit in target type", "nvars"),
    (lambda: qn.ClauseDb().add_clause("abc"), TypeError, "Can't extract `str` to `Vec`", "lits"),
    (lambda: qn.ClauseDb().add_clause(5), TypeError, "'int' object is not an instance of 'Sequence'", "lits"),
    (lambda: qn.ClauseDb().add_clause(None), TypeError, "'None' is not an instance of 'Sequence'", "lits"),
    (lambda: qn.ClauseDb().add_clause({1: 2}), TypeError, "'dict' object is not an instance of 'Sequence'", "lits"),
    (lambda: qn.ClauseDb().add_clause([1, -1]), OverflowError, "number too small to fit in target type", "lits"),
    (lambda: qn.ClauseDb().add_clause([1, "x"]), TypeError, None, "lits"),
    (lambda: qn.ClauseDb().clause(-1), OverflowError, None, "i"),
])
def test_conversion_errors_carry_note(call, exc, msg, note):
    with pytest.raises(exc) as info:
        call()
    if msg is not None:
        assert str(info.value) == msg
    assert info.value.__notes__ == [f"while processing '{note}'"]


def test_index_objects_and_sequences_accepted():
    assert qn.neg(Index(6)) == 7
    db = qn.ClauseDb()
    assert db.add_clause((0, 2))
    assert db.add_clause(range(4, 8, 2))
    assert db.add_clause([Index(8), True])  # True is the int 1
    assert db.clauses() == [[0, 2], [4, 6], [8, 1]]


def test_registered_sequence_abc_accepted():
    import collections.abc

    class Lits:
        def __init__(self, items):
            self.items = items

        def __iter__(self):
            return iter(self.items)

        def __len__(self):
            return len(self.items)

    collections.abc.Sequence.register(Lits)
    db = qn.ClauseDb()
    assert db.add_clause(Lits([0, 3]))
    assert db.clauses() == [[0, 3]]


def test_numpy_bool_accepted():
    np = pytest.importorskip("numpy")
    assert qn.mk_lit(2, np.True_) == 5
    assert qn.mk_lit(2, negated=np.bool_(False)) == 4


def test_item_error_is_first_failure_and_object_unchanged():
    db = qn.ClauseDb()
    db.add_clause([0])

    def items():
        yield 2
        raise KeyError("boom")

    class Seq(list):
        def __iter__(self):
            return items()

    with pytest.raises(KeyError):
        db.add_clause(Seq())
    assert db.clauses() == [[0]]


def test_reentry_from_index_conflicts_with_exclusive_access():
    db = qn.ClauseDb()
    seen = []

    class Reader:
        def __index__(self):
            try:
                db.num_clauses
            except RuntimeError as e:
                seen.append(str(e))
            return 0

    class Writer:
        def __index__(self):
            try:
                db.add_clause([2])
            except RuntimeError as e:
                seen.append(str(e))
            return 0

    assert db.add_clause([Reader(), Writer()])
    assert seen == ["Already mutably borrowed", "Already borrowed"]
    # access released: the object is usable again
    assert db.num_clauses == 1 and db.add_clause([4])


def test_reentry_from_iter_during_shared_access():
    db = qn.ClauseDb()
    db.add_clause([0])
    seen = []

    class Idx:
        def __index__(self):
            try:
                db.add_clause([2])
            except RuntimeError as e:
                seen.append(str(e))
            # a nested reader is fine while another reader holds access
            seen.append(repr(db))
            return 0

    assert db.clause(Idx()) == [0]
    assert seen[0] == "Already borrowed"
    assert seen[1].startswith("<ClauseDb vars=1 clauses=1")
    assert db.add_clause([2])


def test_failed_conversion_releases_access():
    db = qn.ClauseDb()
    for _ in range(3):
        with pytest.raises(TypeError):
            db.add_clause([object()])
    assert db.add_clause([0]) and db.num_clauses == 1


def test_import_emits_no_warning():
    import subprocess
    import sys

    subprocess.run([sys.executable, "-W", "error", "-c", "import quillon_native"], check=True)


@pytest.mark.parametrize("name", ["ClauseDb", "Solver", "Preprocessor"])
def test_class_names(name):
    cls = getattr(qn, name)
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == "quillon_native"


def test_classes_are_gc_tracked_and_collectable():
    import gc
    import weakref

    db = qn.ClauseDb()
    assert gc.is_tracked(db)
    with pytest.raises(TypeError):
        weakref.ref(db)  # no weakref support, nothing to leak through
    del db
    gc.collect()
