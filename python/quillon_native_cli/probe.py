"""auto's probe of a large structured formula, in the forked search process
over the module (the search program probes on its own: search_auto.cpp).

The default configuration searches first, in the slices of `solve --config
default` and with its own proof file, for strategy.PROBE_CONFLICTS
conflicts: the start of that command's search, so what it answers there
(or leaves open at a limit or a stop) it reports as that command does, with
its proof.  A formula still open is handed to the preprocessor: the probe's
solver and proof are dropped, and the run goes on as `solve --preprocess`
does, its proof the preprocessor's steps and then the winner's.
"""
import time

from quillon_native_cli import configs, strategy, supervise
from quillon_native_cli.driver import Formula, ProofDest

NAME = "default"


class Probe:
    def __init__(self, work):
        self.work, self.s, self.args = work, work.s, work.args

    def run(self, ch, t0, feat):
        """Probes; True when the run ended in the probe and was reported,
        False when it goes on with the preprocessor in place (s.pre) and the
        probe's conflicts in work.spent."""
        s, args = self.s, self.args
        ch.send("plan", strategy.describe_probe(feat, args.slice))
        d = self.open()
        limit = strategy.PROBE_CONFLICTS if args.max_conflicts is None \
            else min(strategy.PROBE_CONFLICTS, args.max_conflicts)

        def report():
            ch.send("progress", dict(d.stats(), seconds=time.monotonic() - t0))

        answer = supervise.in_slices(args.slice, limit, s.deadline, d.run, d.conflicts, report)
        spent = d.conflicts()
        open_ = answer is None and (args.max_conflicts is None or spent < args.max_conflicts) \
            and (s.deadline is None or time.monotonic() < s.deadline)
        if not open_:
            self.report(ch, t0, d, answer)
            return True
        d.close()
        self.work.spent = spent
        self.preprocessor()
        return False

    def open(self):
        s, opts = self.s, dict(configs.CONFIGS[NAME])
        from quillon_native_cli.driver import open_driver
        d = open_driver(s.nvars, opts, ProofDest(None, self.args.binary_proof) if s.want_proof else None, NAME)
        d.add_formula(Formula(s.nvars, s.flat))
        return d

    def report(self, ch, t0, d, answer):
        """The probe's answer (or none, at a limit or a stop) and its proof."""
        s, work = self.s, self.work
        stats = dict(d.stats(), seconds=time.monotonic() - t0)
        model = d.model() if answer else None
        steps = d.proof_steps() if s.want_proof else []
        ch.send("answer", answer, stats, bytes(model) if answer else None, None)
        if s.proof_fh:
            work.write_proof(ch, steps)
        if self.args.check and answer is not None:
            ch.send("check", work.check(answer, model, steps))
        d.close()

    def preprocessor(self):
        """The preprocessor over the whole formula, ready to run."""
        s = self.s
        import quillon_native as qn
        pre = qn.Preprocessor(s.nvars, with_proof=s.want_proof)
        for clause in s.flat:
            pre.add_clause(clause)
        s.pre = pre
        # The formula as read goes (the reader's sinks held it too): the
        # preprocessor has it now.
        s.flat = s.sinks = s.plan = s.feat = None

