"""A slow, plain-Python model of the native search core, written separately
from the C++ code, step by step from the algorithm's description.  Tests run
both on small formulas and compare every counter, the model and the proof:
any difference in an order, a tie-break or a constant shows up.

Simple data structures on purpose: clauses are lists, watch removal is
eager, and root simplification always scans every clause.
"""

U64 = (1 << 64) - 1
SCORE = [(0.9 + b) ** -2.06 for b in range(33)]


class Ema:
    def __init__(self, alpha):
        self.value, self.alpha, self.beta, self.wait, self.period = 0.0, alpha, 1.0, 0, 0

    def update(self, x):
        self.value += self.beta * (x - self.value)
        if self.beta > self.alpha and self.wait == 0:
            self.period = 2 * self.period + 1
            self.beta *= 0.5
            self.wait = self.period
        elif self.wait > 0:
            self.wait -= 1


class Clause:
    __slots__ = ("lits", "activity", "glue", "learnt", "deleted")

    def __init__(self, lits, learnt=False, activity=0.0, glue=0):
        self.lits, self.learnt, self.activity, self.glue, self.deleted = list(lits), learnt, activity, glue, False


DEFAULTS = dict(restart="luby", ccmin="deep", phase_saving=True, init_phase=False, target_phase=True,
                target_reset=0, walk_flips=20000, walk_interval=1, walk_patience=3, walk_min_conflicts=5000,
                var_decay=0.8, var_decay_max=0.95, cla_decay=0.999, luby_base=100.0, first_reduce=2000,
                reduce_inc=300, glue_keep=2, block_restart=True, rnd_freq=0.0, rnd_seed=91648253)

STATS = ("decisions", "propagations", "conflicts", "learned", "learned_lits", "minimized_lits", "restarts",
         "blocked_restarts", "reductions", "deleted", "max_trail")


def luby(k):
    size, s = 1, 0
    while size < k + 1:
        s += 1
        size = 2 * size + 1
    while size - 1 != k:
        size = (size - 1) // 2
        s -= 1
        k = k % size
    return 2.0 ** s


class ModelSolver:
    def __init__(self, nvars=0, **opts):
        self.o = dict(DEFAULTS, **opts)
        self.clauses, self.inputs, self.learnts = [], [], []
        self.values, self.level, self.reason, self.watches = [], [], [], []
        self.activity, self.heap, self.hidx = [], [], []
        self.phase, self.target, self.seen, self.level_stamp = [], [], [], []
        self.trail, self.trail_lim, self.qhead = [], [], 0
        self.toclear, self.stamp = [], 0
        self.model, self.proof = [], []
        self.var_inc = self.cla_inc = 1.0
        self.var_decay_now = self.o["var_decay"]
        self.target_len = self.target_copied = 0
        self.best_walk_unsat, self.walk_stalls = U64, 0
        self.lbd_fast, self.lbd_slow, self.trail_avg = Ema(0.02), Ema(0.0002), Ema(0.0002)
        self.next_reduce, self.reduce_count = self.o["first_reduce"], 0
        self.luby_index = self.last_restart = self.simplify_props = 0
        self.nvars, self.rng = 0, self.o["rnd_seed"]
        self.ok, self.proof_enabled, self.used = True, False, False
        self.stats = dict.fromkeys(STATS, 0)
        for _ in range(nvars):
            self.new_var()

    # -- state -----------------------------------------------------------
    def new_var(self):
        v = self.nvars
        self.nvars += 1
        self.values += [0, 0]
        self.level.append(0)
        self.reason.append(-1)
        self.watches += [[], []]
        self.activity.append(0.0)
        self.phase.append(self.o["init_phase"])
        self.target.append(False)
        self.seen.append(False)
        self.level_stamp.append(0)
        self.heap_insert(v)
        return v

    def log(self, deletion, lits):
        if self.proof_enabled:
            self.proof.append((deletion, list(lits)))

    def dlevel(self):
        return len(self.trail_lim)

    def assign(self, p, why):
        self.values[p], self.values[p ^ 1] = 1, 2
        self.level[p >> 1] = self.dlevel()
        self.reason[p >> 1] = why
        self.trail.append(p)

    def add_clause(self, lits):
        self.used = True
        if not self.ok:
            return False
        if self.dlevel() > 0:
            self.cancel_until(0)
        met, kept = set(), []
        for p in lits:
            while self.nvars <= p >> 1:
                self.new_var()
            if p in met:
                continue
            if p ^ 1 in met:
                return True
            met.add(p)
            if self.values[p] == 1:
                return True
            if self.values[p] == 2:
                continue
            kept.append(p)
        if not kept:
            self.log(False, [])
            self.ok = False
            return False
        if len(kept) == 1:
            self.assign(kept[0], -1)
            if self.propagate() is not None:
                self.log(False, [])
                self.ok = False
                return False
            return True
        self.clauses.append(Clause(kept))
        c = len(self.clauses) - 1
        self.inputs.append(c)
        self.attach(c)
        return True

    def attach(self, c):
        l0, l1 = self.clauses[c].lits[0], self.clauses[c].lits[1]
        self.watches[l0 ^ 1].append([c, l1])
        self.watches[l1 ^ 1].append([c, l0])

    def detach(self, c):
        for lit in self.clauses[c].lits[:2]:
            ws = self.watches[lit ^ 1]
            for i, w in enumerate(ws):
                if w[0] == c:
                    del ws[i]
                    break

    def locked(self, c):
        f = self.clauses[c].lits[0]
        return self.values[f] == 1 and self.reason[f >> 1] == c

    def propagate(self):
        confl = None
        start_trail = self.qhead
        dequeued = 0
        while self.qhead < len(self.trail):
            p = self.trail[self.qhead]
            self.qhead += 1
            dequeued += 1
            false_lit = p ^ 1
            ws = self.watches[p]
            self.watches[p] = []
            kept = []
            i = 0
            while i < len(ws):
                w = ws[i]
                i += 1
                if self.values[w[1]] == 1:
                    kept.append(w)
                    continue
                lits = self.clauses[w[0]].lits
                if lits[0] == false_lit:
                    lits[0], lits[1] = lits[1], lits[0]
                first = lits[0]
                if first != w[1] and self.values[first] == 1:
                    kept.append([w[0], first])
                    continue
                for k in range(2, len(lits)):
                    if self.values[lits[k]] != 2:
                        lits[1], lits[k] = lits[k], lits[1]
                        self.watches[lits[1] ^ 1].append([w[0], first])
                        break
                else:
                    kept.append(w)
                    if self.values[first] == 2:
                        confl = w[0]
                        self.qhead = len(self.trail)
                        kept.extend(ws[i:])
                        break
                    self.assign(first, w[0])
            self.watches[p] = kept
            if confl is not None:
                break
        del start_trail
        self.stats["propagations"] += dequeued
        self.stats["max_trail"] = max(self.stats["max_trail"], len(self.trail))
        return confl

    def cancel_until(self, lvl):
        if lvl >= self.dlevel():
            return
        stop = self.trail_lim[lvl]
        for i in range(len(self.trail) - 1, stop - 1, -1):
            p = self.trail[i]
            v = p >> 1
            self.values[p] = self.values[p ^ 1] = 0
            self.reason[v] = -1
            if self.o["phase_saving"]:
                self.phase[v] = not (p & 1)
            self.heap_insert(v)
        del self.trail[stop:]
        del self.trail_lim[lvl:]
        self.qhead = len(self.trail)
        self.target_copied = min(self.target_copied, len(self.trail))

    # -- heap ------------------------------------------------------------
    def above(self, a, b):
        return self.activity[a] > self.activity[b] or (self.activity[a] == self.activity[b] and a < b)

    def heap_insert(self, v):
        while len(self.hidx) <= v:
            self.hidx.append(-1)
        if self.hidx[v] < 0:
            self.heap.append(v)
            self.hidx[v] = len(self.heap) - 1
            self.heap_up(len(self.heap) - 1)

    def heap_up(self, i):
        h = self.heap
        while i > 0 and self.above(h[i], h[(i - 1) // 2]):
            par = (i - 1) // 2
            h[i], h[par] = h[par], h[i]
            self.hidx[h[i]], self.hidx[h[par]] = i, par
            i = par

    def heap_pop(self):
        h = self.heap
        top = h[0]
        last = h.pop()
        self.hidx[top] = -1
        if h:
            h[0] = last
            self.hidx[last] = 0
            i = 0
            while True:
                left = 2 * i + 1
                if left >= len(h):
                    break
                child = left + 1 if left + 1 < len(h) and self.above(h[left + 1], h[left]) else left
                if not self.above(h[child], h[i]):
                    break
                h[i], h[child] = h[child], h[i]
                self.hidx[h[i]], self.hidx[h[child]] = i, child
                i = child
        return top

    # -- analysis ----------------------------------------------------------
    def glue_of(self, lits):
        self.stamp += 1
        n = 0
        for q in lits:
            lv = self.level[q >> 1]
            if self.level_stamp[lv] != self.stamp:
                self.level_stamp[lv] = self.stamp
                n += 1
        return n

    def visit(self, c):
        cl = self.clauses[c]
        if cl.learnt:
            cl.activity += self.cla_inc
            if cl.activity > 1e20:
                for x in self.learnts:
                    self.clauses[x].activity *= 1e-20
                self.cla_inc *= 1e-20
        if cl.learnt and cl.glue >= 3:
            g = self.glue_of(cl.lits)
            if g < cl.glue:
                cl.glue = g

    def bump(self, v):
        self.activity[v] += self.var_inc
        if self.activity[v] > 1e100:
            self.activity = [a * 1e-100 for a in self.activity]
            self.var_inc *= 1e-100
        if self.hidx[v] >= 0:
            self.heap_up(self.hidx[v])

    def analyze(self, confl):
        learnt = [None]
        d = self.dlevel()
        path, index, skip, c = 0, len(self.trail), False, confl
        while True:
            self.visit(c)
            lits = self.clauses[c].lits
            for q in lits[1 if skip else 0:]:
                v = q >> 1
                if self.seen[v] or self.level[v] == 0:
                    continue
                self.seen[v] = True
                self.bump(v)
                if self.level[v] < d:
                    learnt.append(q)
                else:
                    path += 1
            index -= 1
            while not self.seen[self.trail[index] >> 1]:
                index -= 1
            p = self.trail[index]
            path -= 1
            c = self.reason[p >> 1]
            self.seen[p >> 1] = False
            skip = True
            if path <= 0:
                break
        learnt[0] = p ^ 1
        self.toclear = list(learnt)
        before = len(learnt)
        mode = self.o["ccmin"]
        if mode == "deep":
            abstract = 0
            for q in learnt[1:]:
                abstract |= 1 << (self.level[q >> 1] & 31)
            learnt = [learnt[0]] + [q for q in learnt[1:] if self.reason[q >> 1] == -1
                                    or not self.redundant(q, abstract)]
        elif mode == "basic":
            out = [learnt[0]]
            for q in learnt[1:]:
                r = self.reason[q >> 1]
                if r == -1 or any(not self.seen[l >> 1] and self.level[l >> 1] != 0
                                  for l in self.clauses[r].lits[1:]):
                    out.append(q)
            learnt = out
        self.stats["minimized_lits"] += before - len(learnt)
        bj = 0
        if len(learnt) > 1:
            best = 1
            for i in range(2, len(learnt)):
                if self.level[learnt[i] >> 1] > self.level[learnt[best] >> 1]:
                    best = i
            learnt[1], learnt[best] = learnt[best], learnt[1]
            bj = self.level[learnt[1] >> 1]
        glue = self.glue_of(learnt)
        for q in self.toclear:
            self.seen[q >> 1] = False
        self.toclear = []
        return learnt, bj, glue

    def redundant(self, p, abstract):
        stack = [p]
        top = len(self.toclear)
        while stack:
            q = stack.pop()
            r = self.reason[q >> 1]
            fail = r == -1
            if not fail:
                for l in self.clauses[r].lits[1:]:
                    v = l >> 1
                    if not self.seen[v] and self.level[v] != 0:
                        if self.reason[v] != -1 and (abstract >> (self.level[v] & 31)) & 1:
                            self.seen[v] = True
                            stack.append(l)
                            self.toclear.append(l)
                        else:
                            fail = True
                            break
            if fail:
                for l in self.toclear[top:]:
                    self.seen[l >> 1] = False
                del self.toclear[top:]
                return False
        return True

    # -- search ------------------------------------------------------------
    def draw(self):
        x = self.rng
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.rng = x
        return x * 2.3283064365386963e-10

    def restart_due(self):
        since = self.stats["conflicts"] - self.last_restart
        r = self.o["restart"]
        if r == "luby":
            return self.o["luby_base"] * luby(self.luby_index) <= since
        if r == "glucose":
            return since >= 50 and self.lbd_fast.value * 0.8 > self.lbd_slow.value
        return False

    def update_target(self):
        if self.o["target_phase"] and len(self.trail) > self.target_len:
            self.target_len = len(self.trail)
            for p in self.trail[self.target_copied:]:
                self.target[p >> 1] = not (p & 1)
            self.target_copied = len(self.trail)

    def decide(self):
        v = None
        if self.o["rnd_freq"] > 0:
            r = self.draw()
            if r < self.o["rnd_freq"] and self.heap:
                c = self.heap[int(self.draw() * len(self.heap))]
                if self.values[2 * c] == 0:
                    v = c
        while v is None:
            if not self.heap:
                return False
            c = self.heap_pop()
            if self.values[2 * c] == 0:
                v = c
        self.stats["decisions"] += 1
        self.trail_lim.append(len(self.trail))
        pos = self.target[v] if self.o["target_phase"] else self.phase[v]
        self.assign(2 * v + (0 if pos else 1), -1)
        return True

    def solve(self, max_conflicts=None):
        self.used = True
        if not self.ok:
            return False
        self.model = []
        self.cancel_until(0)
        n = 0
        st = self.stats
        while True:
            limited = max_conflicts is not None and n >= max_conflicts
            if not limited:
                restarted = False
                while True:
                    confl = self.propagate()
                    if confl is not None:
                        break
                    self.update_target()
                    if self.restart_due():
                        self.luby_index += 1
                        self.last_restart = st["conflicts"]
                        st["restarts"] += 1
                        if self.o["target_reset"] > 0 and st["restarts"] % self.o["target_reset"] == 0:
                            self.target_len = 0
                        self.walk_test()
                        self.cancel_until(0)
                        restarted = True
                        break
                    if self.dlevel() == 0 and st["propagations"] > self.simplify_props:
                        if not self.simplify():
                            return False
                    if not self.decide():
                        self.model = [self.values[2 * v] == 1 for v in range(self.nvars)]
                        return True
                if restarted:
                    continue
            else:
                confl = self.propagate()
                if confl is None:
                    self.update_target()
                    self.cancel_until(0)
                    return None
            st["conflicts"] += 1
            if self.dlevel() == 0:
                self.log(False, [])
                self.ok = False
                return False
            n += 1
            learnt, bj, glue = self.analyze(confl)
            self.lbd_fast.update(glue)
            self.lbd_slow.update(glue)
            self.trail_avg.update(len(self.trail))
            if self.o["block_restart"] and st["conflicts"] >= 10000 and \
                    self.trail_avg.value * 1.4 < len(self.trail):
                self.last_restart = st["conflicts"]
                st["blocked_restarts"] += 1
            self.cancel_until(bj)
            st["learned"] += 1
            st["learned_lits"] += len(learnt)
            self.log(False, learnt)
            why = -1
            if len(learnt) >= 2:
                self.clauses.append(Clause(learnt, True, self.cla_inc, glue))
                why = len(self.clauses) - 1
                self.learnts.append(why)
                self.attach(why)
            self.assign(learnt[0], why)
            self.var_inc = self.var_inc / self.var_decay_now
            self.cla_inc = self.cla_inc / self.o["cla_decay"]
            if self.var_decay_now < self.o["var_decay_max"]:
                self.var_decay_now = min(self.var_decay_now + 0.01, self.o["var_decay_max"])
            self.reduce_db()

    # -- reduction and simplification --------------------------------------
    def reduce_db(self):
        st = self.stats
        if st["conflicts"] < self.next_reduce:
            return
        self.reduce_count += 1
        k = self.reduce_count
        st["reductions"] += 1
        self.next_reduce = (self.o["first_reduce"] + k * k * self.o["reduce_inc"]) & U64
        cands = [c for c in self.learnts if not self.clauses[c].deleted and self.clauses[c].glue > self.o["glue_keep"]
                 and len(self.clauses[c].lits) >= 3 and not self.locked(c)]
        cands.sort(key=lambda c: (-self.clauses[c].glue, self.clauses[c].activity))
        for c in cands[:len(cands) // 2]:
            self.log(True, self.clauses[c].lits)
            self.detach(c)
            self.clauses[c].deleted = True
            st["deleted"] += 1
        self.learnts = [c for c in self.learnts if not self.clauses[c].deleted]

    def simplify(self):
        if self.propagate() is not None:
            self.log(False, [])
            self.ok = False
            return False
        for name in ("learnts", "inputs"):
            out = []
            for c in getattr(self, name):
                cl = self.clauses[c]
                if cl.deleted:
                    continue
                if self.locked(c):
                    out.append(c)
                    continue
                if any(self.values[q] == 1 for q in cl.lits):
                    self.log(True, cl.lits)
                    self.detach(c)
                    cl.deleted = True
                    continue
                if not any(self.values[q] == 2 for q in cl.lits):
                    out.append(c)
                    continue
                short = [q for q in cl.lits if self.values[q] != 2]
                self.log(False, short)
                self.log(True, cl.lits)
                self.detach(c)
                if len(short) == 1:
                    cl.deleted = True
                    if self.values[short[0]] == 0:
                        self.assign(short[0], -1)
                    elif self.values[short[0]] == 2:
                        self.log(False, [])
                        self.ok = False
                        return False
                    continue
                cl.lits[:] = short
                self.attach(c)
                out.append(c)
            setattr(self, name, out)
        if self.propagate() is not None:
            self.log(False, [])
            self.ok = False
            return False
        self.simplify_props = self.stats["propagations"]
        return True

    # -- walk --------------------------------------------------------------
    def walk_test(self):
        o = self.o
        if o["walk_flips"] > 0 and self.stats["conflicts"] >= o["walk_min_conflicts"] and \
                self.walk_stalls < o["walk_patience"] and o["walk_interval"] and \
                self.stats["restarts"] % o["walk_interval"] == 0:
            self.cancel_until(0)
            self.walk()

    def walk(self):
        wc = [list(c.lits) for c in self.clauses if not c.learnt and not c.deleted and len(c.lits) >= 2]
        if not wc:
            return
        occ = [[] for _ in range(2 * self.nvars)]
        for i, c in enumerate(wc):
            for q in c:
                occ[q].append(i)
        assign = list(self.target if self.o["target_phase"] else self.phase)
        for p in self.trail:
            assign[p >> 1] = not (p & 1)

        def true_lit(v):
            return 2 * v + (0 if assign[v] else 1)

        tc = [sum(1 for q in c if assign[q >> 1] != bool(q & 1)) for c in wc]
        unsat = [i for i in range(len(wc)) if tc[i] == 0]
        pos = {c: i for i, c in enumerate(unsat)}
        best, best_count, flips = list(assign), len(unsat), 0
        while unsat:
            c = unsat[int(self.draw() * len(unsat))]
            cands, total = [], 0.0
            for q in wc[c]:
                v = q >> 1
                brk = sum(1 for d in occ[true_lit(v)] if tc[d] == 1)
                w = SCORE[min(brk, 32)]
                cands.append((v, w))
                total += w
            threshold = self.draw() * total
            flips += 1
            run, pick = 0.0, cands[-1][0]
            for v, w in cands:
                run += w
                if run >= threshold:
                    pick = v
                    break
            old = true_lit(pick)
            assign[pick] = not assign[pick]
            for d in occ[old]:
                tc[d] -= 1
                if tc[d] == 0:
                    pos[d] = len(unsat)
                    unsat.append(d)
            for d in occ[old ^ 1]:
                if tc[d] == 0:
                    i = pos.pop(d)
                    last = unsat.pop()
                    if last != d:
                        unsat[i] = last
                        pos[last] = i
                tc[d] += 1
            if len(unsat) < best_count:
                best_count, best = len(unsat), list(assign)
            if flips == self.o["walk_flips"]:
                break
        if best_count < self.best_walk_unsat:
            self.best_walk_unsat, self.walk_stalls = best_count, 0
        else:
            self.walk_stalls += 1
        self.target = list(best)
        self.phase = list(best)
        self.target_len = self.target_copied = 0

    # -- what the tests compare -----------------------------------------------
    def proof_steps(self):
        def dim(q):
            return -((q >> 1) + 1) if q & 1 else (q >> 1) + 1
        return [("d" if d else "a", [dim(q) for q in lits]) for d, lits in self.proof]
