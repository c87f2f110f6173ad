// Gathering parity equations from clauses, and eliminating them.
#include "cli/xor_refute.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <queue>
#include <utility>
#include <vector>

#include "core/lit.hpp"

namespace qn::cli {
namespace {

struct Equation {
  std::vector<Var> vars;  // sorted, distinct
  bool rhs = false;       // the sum of the variables' values, mod 2
};

// A clause of at most kMaxXorWidth distinct variables, its variables sorted;
// bit i of `negs` is set when the literal of vars[i] is negative.
struct Shape {
  Var vars[kMaxXorWidth];
  uint32_t width = 0;
  uint32_t negs = 0;
  bool same_vars(const Shape &o) const { return width == o.width && std::equal(vars, vars + width, o.vars); }
  bool operator<(const Shape &o) const {
    if (width != o.width) return width < o.width;
    const auto c = std::lexicographical_compare_three_way(vars, vars + width, o.vars, o.vars + width);
    return c != 0 ? c < 0 : negs < o.negs;
  }
};

// The clause's shape; false for a long clause, a repeated variable or a tautology.
bool shape_of(const Lit *c, size_t n, Shape *s) {
  if (n == 0 || n > kMaxXorWidth) return false;
  Lit lits[kMaxXorWidth];
  for (size_t i = 0; i < n; ++i) {  // insertion sort: at most kMaxXorWidth literals
    size_t j = i;
    for (; j > 0 && lits[j - 1] > c[i]; --j) lits[j] = lits[j - 1];
    lits[j] = c[i];
  }
  s->width = static_cast<uint32_t>(n);
  s->negs = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && var_of(lits[i]) == var_of(lits[i - 1])) return false;
    s->vars[i] = var_of(lits[i]);
    if (is_neg(lits[i])) s->negs |= 1u << i;
  }
  return true;
}

// The equations whose every clause is in `f`.  A clause whose negative
// literals are the set N forbids the assignment that makes exactly N's
// variables true; the 2^(k-1) clauses of one parity p of |N| leave the
// assignments whose true variables are 1 - p mod 2 in number.
std::vector<Equation> gather(const Formula &f) {
  // A width can hold an equation only if its clauses show every count of
  // negative literals of one parity: a cheap pass spares sorting the
  // others (such as a formula of negative binaries alone).
  uint32_t counts[kMaxXorWidth + 1] = {};  // per width: bit c when some clause has c negative literals
  Shape s;
  for (size_t i = 0; i < f.size(); ++i) {
    if (shape_of(f.clause(i), f.clause_len(i), &s)) counts[s.width] |= 1u << std::popcount(s.negs);
  }
  bool wanted[kMaxXorWidth + 1] = {};
  bool any = false;
  for (uint32_t k = 1; k <= kMaxXorWidth; ++k) {
    for (uint32_t parity = 0; parity < 2; ++parity) {
      uint32_t need = 0;
      for (uint32_t c = parity; c <= k; c += 2) need |= 1u << c;
      wanted[k] |= (counts[k] & need) == need;
    }
    any |= wanted[k];
  }
  if (!any) return {};
  std::vector<Shape> shapes;
  for (size_t i = 0; i < f.size(); ++i) {
    if (shape_of(f.clause(i), f.clause_len(i), &s) && wanted[s.width]) shapes.push_back(s);
  }
  std::sort(shapes.begin(), shapes.end());
  std::vector<Equation> eqs;
  std::vector<bool> seen;
  for (size_t i = 0, j = 0; i < shapes.size(); i = j) {
    const uint32_t k = shapes[i].width;
    seen.assign(size_t{1} << k, false);
    for (j = i; j < shapes.size() && shapes[j].same_vars(shapes[i]); ++j) seen[shapes[j].negs] = true;
    for (uint32_t parity = 0; parity < 2; ++parity) {
      bool all = true;
      for (uint32_t m = 0; m < seen.size() && all; ++m) all = (std::popcount(m) & 1u) != parity || seen[m];
      if (all) eqs.push_back({{shapes[i].vars, shapes[i].vars + k}, parity == 0});
    }
  }
  return eqs;
}

// Gaussian elimination, the variable of fewest equations first and the
// shortest of them as pivot, so that the equations stay short.
class Eliminator {
 public:
  Eliminator(std::vector<Equation> eqs, uint64_t budget) : eqs_(std::move(eqs)), budget_(budget) {}

  XorRefutation run() {
    XorRefutation r;
    r.equations = eqs_.size();
    Var top = 0;
    for (const Equation &e : eqs_) {
      if (!e.vars.empty()) top = std::max(top, e.vars.back() + 1);
    }
    occurs_.assign(top, {});
    count_.assign(top, 0);
    retired_.assign(eqs_.size(), false);
    for (uint32_t i = 0; i < eqs_.size(); ++i) {
      if (eqs_[i].vars.empty() && eqs_[i].rhs) r.refuted = true;
      for (Var v : eqs_[i].vars) {
        occurs_[v].push_back(i);
        ++count_[v];
      }
    }
    for (Var v = 0; v < top; ++v) {
      if (count_[v]) {
        ++r.variables;
        queue_.push({count_[v], v});
      }
    }
    while (!r.refuted && !queue_.empty()) {
      const auto [n, v] = queue_.top();
      queue_.pop();
      if (n != count_[v] || n == 0) continue;  // stale
      if (work_ > budget_) {
        r.gave_up = true;
        break;
      }
      r.refuted = eliminate(v);
    }
    r.work = work_;
    return r;
  }

 private:
  bool contains(uint32_t e, Var v) const { return std::binary_search(eqs_[e].vars.begin(), eqs_[e].vars.end(), v); }

  // Adds the pivot equation of `v` to every other equation over `v`, then
  // sets the pivot aside; true when some equation became 0 = 1.
  bool eliminate(Var v) {
    std::vector<uint32_t> &occ = occurs_[v];
    occ.erase(std::remove_if(occ.begin(), occ.end(), [&](uint32_t e) { return retired(e) || !contains(e, v); }),
              occ.end());
    std::sort(occ.begin(), occ.end());  // an equation that lost v and took it back is listed twice
    occ.erase(std::unique(occ.begin(), occ.end()), occ.end());
    const uint32_t pivot = *std::min_element(
        occ.begin(), occ.end(), [&](uint32_t a, uint32_t b) { return eqs_[a].vars.size() < eqs_[b].vars.size(); });
    retire(pivot);
    bool contradiction = false;
    for (uint32_t e : occ) {  // the sums hold no v: occ stays as it is
      if (e != pivot) contradiction |= add_into(e, pivot);
    }
    occ.clear();
    return contradiction;
  }

  bool retired(uint32_t e) const { return retired_[e]; }

  void retire(uint32_t e) {
    retired_[e] = true;
    for (Var v : eqs_[e].vars) changed(v, -1);
  }

  void changed(Var v, int by) {
    count_[v] += by;
    if (count_[v] > 0) queue_.push({count_[v], v});
  }

  // Equation `e` += equation `p`; true when it became 0 = 1.
  bool add_into(uint32_t e, uint32_t p) {
    const std::vector<Var> &a = eqs_[e].vars, &b = eqs_[p].vars;
    sum_.clear();
    std::set_symmetric_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(sum_));
    work_ += a.size() + b.size();
    for (Var v : a) {
      if (!std::binary_search(sum_.begin(), sum_.end(), v)) changed(v, -1);
    }
    for (Var v : sum_) {
      if (!std::binary_search(a.begin(), a.end(), v)) {
        occurs_[v].push_back(e);
        changed(v, +1);
      }
    }
    eqs_[e].vars.swap(sum_);
    eqs_[e].rhs ^= eqs_[p].rhs;
    return eqs_[e].vars.empty() && eqs_[e].rhs;
  }

  using Entry = std::pair<uint32_t, Var>;  // (equations over the variable, variable)
  std::vector<Equation> eqs_;
  std::vector<std::vector<uint32_t>> occurs_;  // per variable: equations that held it (some no longer)
  std::vector<uint32_t> count_;                // per variable: live equations over it
  std::vector<bool> retired_;                  // pivots set aside
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> queue_;
  std::vector<Var> sum_;
  uint64_t work_ = 0;
  uint64_t budget_;
};

}  // namespace

XorRefutation refute_by_parity(const Formula &f, uint64_t budget) {
  if (f.size() > kXorMaxClauses) return {};
  std::vector<Equation> eqs = gather(f);
  if (eqs.empty()) return {};
  return Eliminator(std::move(eqs), budget).run();
}

}  // namespace qn::cli
