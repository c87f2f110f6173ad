"""quillon_sat: the quillon-native SAT engine for programs.

Literals are DIMACS integers throughout (3 is variable 3, -3 its negation;
any integer type, numpy's included).

    Solver      an incremental solver: add clauses (or a DIMACS file) between calls, solve under
                assumptions, the failed assumptions (core), statistics, a
                DRAT proof file, interrupt() from another thread
    solve       one call, the engine and strategy of `quillon-native solve`
    check       a DRAT proof's verdict
    read_dimacs, write_dimacs   DIMACS files, with the command's strict reader
    models      models one after another, each blocked once found
"""
from quillon_native_cli.dimacs import InputError as DimacsError
from quillon_sat.calls import Cnf, Result, Verdict, check, models, read_dimacs, solve, write_dimacs
from quillon_sat.solver import Solver, Stats

__all__ = ["Cnf", "DimacsError", "Result", "Solver", "Stats", "Verdict", "check", "models", "read_dimacs", "solve",
           "write_dimacs"]
