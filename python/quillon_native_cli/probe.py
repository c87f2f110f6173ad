"""auto's probe of a large structured formula, in the search process.

The default configuration searches first, in the slices of `solve --config
default` and with its own proof file, for strategy.PROBE_CONFLICTS
conflicts: the start of that command's search, so what it answers there
(or leaves open at a limit or a stop) it reports as that command does, with
its proof.  A formula still open is handed to the preprocessor: the probe's
solver and proof are dropped, and the run goes on as `solve --preprocess`
does, its proof the preprocessor's steps and then the winner's.
"""
import os
import time

from quillon_native_cli import configs, native, strategy, supervise
from quillon_native_cli.driver import Formula, ProofDest

NAME = "default"
INDEX = "probe"  # its proof file among the members' (native.ProofFiles)


class Probe:
    def __init__(self, work):
        self.work, self.s, self.args = work, work.s, work.args
        self.files = self.s.proof_files if self.s.auto_native else None

    def run(self, ch, t0, feat):
        """Probes; True when the run ended in the probe and was reported,
        False when it goes on with the preprocessor in place (s.prep natively,
        else s.pre) and the probe's conflicts in work.spent."""
        s, args = self.s, self.args
        ch.send("plan", strategy.describe_probe(feat, args.slice))
        d = self.open()
        limit = strategy.PROBE_CONFLICTS if args.max_conflicts is None \
            else min(strategy.PROBE_CONFLICTS, args.max_conflicts)

        def report():
            ch.send("progress", dict(d.stats(), seconds=time.monotonic() - t0))

        stopped = native.stop_requested if s.auto_native else (lambda: False)
        answer = supervise.in_slices(args.slice, limit, s.deadline, d.run, d.conflicts, report, stopped)
        spent = d.conflicts()
        open_ = answer is None and not stopped() and (args.max_conflicts is None or spent < args.max_conflicts) \
            and (s.deadline is None or time.monotonic() < s.deadline)
        if not open_:
            self.report(ch, t0, d, answer)
            return True
        d.close()
        if self.files:
            try:
                os.unlink(self.files.dest(INDEX).path)
            except OSError:
                pass
        self.work.spent = spent
        self.preprocessor()
        return False

    def open(self):
        s, opts = self.s, dict(configs.CONFIGS[NAME])
        if s.auto_native:
            native.stop_on_signals()
            dest = self.files.dest(INDEX) if self.files else None
            d = native.open_native_driver(s.nvars, opts, dest, NAME)
        else:
            from quillon_native_cli.driver import open_driver
            d = open_driver(s.nvars, opts, ProofDest(None, self.args.binary_proof) if s.want_proof else None, NAME)
        d.add_formula(Formula(s.nvars, s.flat))
        return d

    def report(self, ch, t0, d, answer):
        """The probe's answer (or none, at a limit or a stop) and its proof."""
        s, work = self.s, self.work
        stats = dict(d.stats(), seconds=time.monotonic() - t0)
        model = d.model() if answer else None
        if s.auto_native:
            ch.send("answer", answer, stats, bytes(model) if answer else None, None)
            if s.proof_fh:
                try:
                    written = d.finish_proof()
                except OSError as e:
                    written = e
                native.send_kept(ch, self.files, INDEX, s.proof_fh, written)
            d.close()
            return
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
        if s.auto_native:
            prep = native.make_prep(s.nvars, s.proof_fh is not None, self.args.binary_proof)
            prep.add_formula(s.flat)
            if s.proof_fh:
                prep.attach_proof(s.proof_fh.fileno())
            s.prep = prep
        else:
            import quillon_native as qn
            pre = qn.Preprocessor(s.nvars, with_proof=s.want_proof)
            for clause in s.flat:
                pre.add_clause(clause)
            s.pre = pre
        # The formula as read goes (the reader's sinks held it too): the
        # preprocessor has it now.
        s.flat = s.sinks = s.plan = s.feat = None

