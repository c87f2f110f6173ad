// Solver state: construction, variables, input clauses, attaching and
// detaching watches, and the watch-invariant audit.
#include <algorithm>
#include <new>
#include <string>

#include "core/memory.hpp"
#include "core/panic.hpp"
#include "solver/solver.hpp"

namespace qn {

namespace {

// Grows `v`'s capacity to hold `n` elements: geometrically when that fits,
// exactly when only that fits.  Throws std::bad_alloc, changing nothing.
template <class V>
void reserve_for(V &v, uint64_t n) {
  if (n > v.max_size()) throw std::bad_alloc();
  if (v.capacity() >= n) return;
  const uint64_t doubled = std::min<uint64_t>(2 * static_cast<uint64_t>(v.capacity()), v.max_size());
  if (doubled > n) {
    try {
      v.reserve(doubled);
      return;
    } catch (const std::bad_alloc &) {
    }
  }
  v.reserve(n);
}

template <class V>
constexpr uint64_t elem = sizeof(typename V::value_type);

}  // namespace

uint64_t Solver::table_bytes(uint64_t nvars) {
  // Per variable: two literals' watch lists and values, one entry in each
  // of the other arrays that reserve_vars sizes.
  constexpr uint64_t per_var =
      2 * elem<decltype(watches_)> + 2 * elem<decltype(values_)> + elem<decltype(level_stamp_)> +
      elem<decltype(activity_)> + elem<decltype(vardata_)> + elem<decltype(heap_index_)> +
      elem<decltype(heap_)> + elem<decltype(trail_)> + elem<decltype(phase_)> + elem<decltype(target_)> +
      elem<decltype(seen_)>;
  // Literals of kMaxVars variables or more would need the bit that marks
  // binary watches; their tables (some 90 GiB) count as beyond any memory.
  if (nvars > kMaxVars) return UINT64_MAX;
  return mul_sat(nvars, per_var);
}

Solver::Solver(uint32_t nvars, const Config &config)
    : var_decay_now_(config.var_decay),
      luby_limit_(config.luby_base * luby(0)),
      rng_(config.rnd_seed),
      next_reduce_(config.first_reduce),
      config_(config) {
  reserve_vars(nvars);
  for (uint32_t i = 0; i < nvars; ++i) new_var();
}

void Solver::reserve_vars(uint64_t n) {
  // Largest element first, so that a hopeless size fails before anything
  // big has been committed.  Reserving never changes observable state.
  if (n > watches_.capacity() / 2) require_memory(table_bytes(n));
  reserve_for(watches_, 2 * n);
  reserve_for(level_stamp_, n + 1);
  reserve_for(activity_, n);
  reserve_for(vardata_, n);
  reserve_for(heap_index_, n);
  reserve_for(heap_, n);
  reserve_for(trail_, n);
  reserve_for(values_, 2 * n);
  reserve_for(phase_, n);
  reserve_for(target_, n);
  reserve_for(seen_, n);
}

Var Solver::new_var() {
  QN_CHECK(nvars_ < (1u << 31), "too many variables");
  reserve_vars(static_cast<uint64_t>(nvars_) + 1);
  // Nothing below allocates: every array has room for one more variable.
  const Var v = nvars_++;
  values_.push_back(kUnassigned);
  values_.push_back(kUnassigned);
  vardata_.push_back(VarData{kNoReason, 0});
  watches_.emplace_back();
  watches_.emplace_back();
  activity_.push_back(0.0);
  phase_.push_back(config_.init_phase ? 1 : 0);
  target_.push_back(0);
  seen_.push_back(0);
  if (level_stamp_.empty()) level_stamp_.push_back(0);  // decision levels run 0 .. nvars
  level_stamp_.push_back(0);
  heap_insert(v);
  return v;
}

bool Solver::add_clause(const Lit *in, size_t n) {
  if (!ok_) {
    used_ = true;
    return false;
  }
  // Literals are taken in order: a repeated one is skipped, and the clause
  // is done (nothing stored) at a literal whose complement came earlier or
  // at one already true at the root.  Literals false at the root are
  // dropped.  The clause may name variables that do not exist yet: those up
  // to where the scan stops are created, after reserving for all of them
  // before anything changes.
  const size_t closing = add_scan_.run(in, n);
  const uint8_t *const first = add_scan_.first.data();
  uint64_t need = nvars_;
  size_t stop = n;
  for (size_t i = 0; i < n; ++i) {
    const Var v = var_of(in[i]);
    need = std::max<uint64_t>(need, uint64_t{v} + 1);
    if (i == closing || (first[i] && v < nvars_ && value(in[i]) == kTrue && vardata_[v].level == 0)) {
      stop = i;
      break;
    }
  }
  if (need > nvars_) {
    if (need > (uint64_t{1} << 31)) throw std::bad_alloc();
    reserve_vars(need);
  }
  used_ = true;
  if (decision_level() > 0) cancel_until(0);
  while (nvars_ < need) new_var();
  if (stop < n) return true;  // tautology or satisfied

  add_buf_.clear();
  for (size_t i = 0; i < n; ++i) {
    if (first[i] && value(in[i]) == kUnassigned) add_buf_.push_back(in[i]);
  }
  if (add_buf_.empty()) {
    refute();
    return false;
  }
  if (add_buf_.size() == 1) {
    assign(add_buf_[0], kNoReason);
    if (propagate() != kNoReason) {
      refute();
      return false;
    }
    return true;
  }
  const CRef c = store_clause(add_buf_.data(), static_cast<uint32_t>(add_buf_.size()), false, 0.0, 0);
  inputs_.push_back(c);
  attach(c);
  return true;
}

CRef Solver::store_clause(const Lit *lits, uint32_t n, bool learnt, double activity, uint32_t glue) {
  QN_CHECK(lits_.size() + n + kArenaHead <= UINT32_MAX, "clause arena is full");
  QN_CHECK(headers_.size() < INT32_MAX, "clause table is full");
  const CRef c = static_cast<CRef>(headers_.size());
  const uint32_t start = static_cast<uint32_t>(lits_.size() + kArenaHead);
  lits_.push_back(learnt ? c | kLearntTag : c);
  lits_.push_back(n);
  lits_.insert(lits_.end(), lits, lits + n);
  ClauseHeader h{};
  h.activity = activity;
  h.start = start;
  h.glue = std::min<uint32_t>(glue, kMaxGlue);  // saturates only beyond 2^29 decision levels
  h.learnt = learnt;
  h.deleted = false;
  h.vivified = false;
  headers_.push_back(h);
  if (config_.search_pos) search_pos_.push_back(2);
  return c;
}

void Solver::attach(CRef c) {
  const uint32_t start = headers_[c].start;
  const Lit l0 = lits_[start], l1 = lits_[start + 1];
  const Lit tag = lits_[start - 1] == 2 ? kBinary : 0;
  watches_[l0 ^ 1].push_back(Watch{start, l1 | tag});
  watches_[l1 ^ 1].push_back(Watch{start, l0 | tag});
}

void Solver::detach(CRef c) {
  const uint32_t start = headers_[c].start;
  for (int k = 0; k < 2; ++k) {
    WatchList<Watch> &ws = watches_[lits_[start + k] ^ 1];
    for (size_t i = 0; i < ws.size(); ++i) {
      if (ws[i].off == start) {
        ws.erase_at(i);
        break;
      }
    }
  }
}

bool Solver::locked(CRef c) const {
  const Lit first = lits_[headers_[c].start];
  return value(first) == kTrue && vardata_[var_of(first)].reason == static_cast<int32_t>(headers_[c].start);
}

void Solver::record(bool deletion, const Lit *lits, size_t n) {
  if (sink_ != nullptr) {
    sink_->step(deletion, lits, n);
    return;
  }
  proof_.push_back(ProofStep{deletion, std::vector<Lit>(lits, lits + n)});
}

std::vector<std::string> Solver::check_watch_invariant() const {
  std::vector<std::string> out;
  std::vector<uint64_t> count(headers_.size(), 0);
  for (size_t w = 0; w < watches_.size(); ++w) {
    for (const Watch &wt : watches_[w]) {
      QN_CHECK(wt.off >= kArenaHead && wt.off <= lits_.size(), "watch points outside the clause arena");
      const uint64_t c = cref_of(lits_[wt.off - 2]);
      QN_CHECK(c < headers_.size(), "watched clause index out of range");
      const ClauseHeader &h = headers_[c];
      if (h.deleted) out.push_back("deleted clause still watched by " + std::to_string(w));
      QN_CHECK(len_of(h) >= 1, "watched clause has no literals");
      const Lit want = static_cast<Lit>(w ^ 1);
      const bool first = lits_[h.start] == want;
      if (!first) QN_CHECK(len_of(h) >= 2, "watched unit clause does not hold the watched literal");
      if (!first && lits_[h.start + 1] != want)
        out.push_back("clause " + std::to_string(c) + " in watches[" + std::to_string(w) + "] does not watch it");
      ++count[c];
    }
  }
  for (const std::vector<CRef> *list : {&inputs_, &learnts_}) {
    for (CRef c : *list) {
      QN_CHECK(c < headers_.size(), "listed clause index out of range");
      if (headers_[c].deleted) continue;
      if (count[c] != 2)
        out.push_back("clause " + std::to_string(c) + " has " + std::to_string(count[c]) + " watchers, want 2");
    }
  }
  return out;
}

}  // namespace qn
