// Finding symmetries by colour refinement, and breaking them.
#include "cli/symmetry.hpp"

#include <algorithm>
#include <numeric>
#include <utility>
#include <vector>

#include "core/lit.hpp"

namespace qn::cli {
namespace {

// The formula's clauses without repeated literals, tautologies or repeated
// clauses, over its occurring variables renumbered from 0.
struct Clauses {
  std::vector<Var> original;            // compact variable: the formula's
  std::vector<std::vector<Lit>> lists;  // sorted clauses, sorted, distinct

  Clauses(const Formula &f, uint32_t nvars) {
    std::vector<int64_t> compact(nvars, -1);
    std::vector<Lit> c;
    for (size_t i = 0; i < f.size(); ++i) {
      c.assign(f.clause(i), f.clause(i) + f.clause_len(i));
      std::sort(c.begin(), c.end());
      c.erase(std::unique(c.begin(), c.end()), c.end());
      bool tautology = false;
      for (size_t k = 1; k < c.size(); ++k) tautology |= var_of(c[k]) == var_of(c[k - 1]);
      if (tautology) continue;
      for (Lit &l : c) {
        int64_t &v = compact[var_of(l)];
        if (v < 0) {
          v = static_cast<int64_t>(original.size());
          original.push_back(var_of(l));
        }
        l = mk_lit(static_cast<Var>(v), is_neg(l));
      }
      std::sort(c.begin(), c.end());
      lists.push_back(c);
    }
    std::sort(lists.begin(), lists.end());
    lists.erase(std::unique(lists.begin(), lists.end()), lists.end());
  }

  uint32_t nvars() const { return static_cast<uint32_t>(original.size()); }
  bool contains(const std::vector<Lit> &c) const { return std::binary_search(lists.begin(), lists.end(), c); }
};

// Vertices 0 .. 2n-1 are the literals (a literal's number), then one per clause.
class Graph {
 public:
  explicit Graph(const Clauses &cs) : literals_(2 * cs.nvars()) {
    const uint32_t v = literals_ + static_cast<uint32_t>(cs.lists.size());
    std::vector<uint32_t> degree(v, 0);
    for (uint32_t l = 0; l < literals_; ++l) ++degree[l];  // the negation
    for (uint32_t j = 0; j < cs.lists.size(); ++j) {
      for (Lit l : cs.lists[j]) {
        ++degree[l];
        ++degree[literals_ + j];
      }
    }
    start_.assign(v + 1, 0);
    for (uint32_t x = 0; x < v; ++x) start_[x + 1] = start_[x] + degree[x];
    adj_.resize(start_[v]);
    std::vector<uint32_t> at(start_.begin(), start_.end() - 1);
    for (uint32_t l = 0; l < literals_; ++l) adj_[at[l]++] = neg(l);
    for (uint32_t j = 0; j < cs.lists.size(); ++j) {
      for (Lit l : cs.lists[j]) {
        adj_[at[l]++] = literals_ + j;
        adj_[at[literals_ + j]++] = l;
      }
    }
  }

  uint32_t vertices() const { return static_cast<uint32_t>(start_.size() - 1); }
  uint32_t literals() const { return literals_; }
  const uint32_t *begin(uint32_t x) const { return adj_.data() + start_[x]; }
  const uint32_t *end(uint32_t x) const { return adj_.data() + start_[x + 1]; }
  size_t edges() const { return adj_.size(); }

 private:
  uint32_t literals_;
  std::vector<uint32_t> start_;  // per vertex: its first neighbour in adj_
  std::vector<uint32_t> adj_;
};

using Colours = std::vector<uint32_t>;  // per vertex; 0 .. cells-1

// Colour refinement: a vertex's next colour ranks its colour and the sorted
// colours of its neighbours, until no class splits.  Ranks are sorted
// orders, so isomorphic inputs get colours that correspond.
class Refiner {
 public:
  explicit Refiner(const Graph &g) : g_(g), sig_start_(g.vertices() + 1), order_(g.vertices()), next_(g.vertices()) {}

  uint32_t refine(Colours &c, uint64_t *work) {
    uint32_t cells = rank(c, false, work);
    for (;;) {
      const uint32_t more = rank(c, true, work);
      if (more == cells) return cells;
      cells = more;
    }
  }

 private:
  // Renumbers `c` by rank of (colour, neighbours' colours if `deep`).
  uint32_t rank(Colours &c, bool deep, uint64_t *work) {
    const uint32_t v = g_.vertices();
    sig_.clear();
    for (uint32_t x = 0; x < v; ++x) {
      sig_start_[x] = sig_.size();
      if (deep) {
        for (const uint32_t *y = g_.begin(x); y != g_.end(x); ++y) sig_.push_back(c[*y]);
        std::sort(sig_.begin() + static_cast<ptrdiff_t>(sig_start_[x]), sig_.end());
      }
    }
    sig_start_[v] = sig_.size();
    *work += sig_.size() + v;
    std::iota(order_.begin(), order_.end(), 0u);
    auto less = [&](uint32_t a, uint32_t b) {
      if (c[a] != c[b]) return c[a] < c[b];
      return std::lexicographical_compare(sig_.begin() + static_cast<ptrdiff_t>(sig_start_[a]),
                                          sig_.begin() + static_cast<ptrdiff_t>(sig_start_[a + 1]),
                                          sig_.begin() + static_cast<ptrdiff_t>(sig_start_[b]),
                                          sig_.begin() + static_cast<ptrdiff_t>(sig_start_[b + 1]));
    };
    std::sort(order_.begin(), order_.end(), less);
    uint32_t cells = 0;
    for (uint32_t i = 0; i < v; ++i) {
      if (i > 0 && less(order_[i - 1], order_[i])) ++cells;
      next_[order_[i]] = cells;
    }
    c.swap(next_);
    return v ? cells + 1 : 0;
  }

  const Graph &g_;
  std::vector<uint32_t> sig_;
  std::vector<size_t> sig_start_;
  std::vector<uint32_t> order_, next_;
};

// The search: a first path of individualised vertices down to a discrete
// colouring, then, level by level from the deepest, the other vertices of
// each level's cell individualised in its place, each path down to a leaf
// whose colours, matched with the first leaf's, give a candidate symmetry.
class Finder {
 public:
  Finder(const Clauses &cs, uint64_t budget) : cs_(cs), g_(cs), refiner_(g_), budget_(budget) {}

  std::vector<std::vector<Lit>> run(uint64_t *work, bool *gave_up) {
    Colours c(g_.vertices());
    for (uint32_t x = 0; x < g_.vertices(); ++x) c[x] = x < g_.literals() ? 0 : 1;
    refiner_.refine(c, &work_);
    while (!over()) {  // the first path
      const int64_t cell = target(c);
      if (cell < 0) break;
      const uint32_t v = lowest_in(c, static_cast<uint32_t>(cell));
      path_.push_back(c);
      chosen_.push_back(v);
      cells_.push_back(individualise(c, v));
    }
    const Colours leaf = std::move(c);
    orbit_.resize(g_.vertices());
    std::iota(orbit_.begin(), orbit_.end(), 0u);
    for (size_t i = path_.size(); i-- > 0 && !over();) try_level(i, leaf);
    *work = work_;
    *gave_up = over();
    return std::move(found_);
  }

 private:
  bool over() const { return work_ > budget_; }

  // The first cell of more than one vertex, -1 for none.
  int64_t target(const Colours &c) {
    size_.assign(g_.vertices(), 0);
    for (uint32_t x = 0; x < g_.vertices(); ++x) ++size_[c[x]];
    for (uint32_t k = 0; k < g_.vertices(); ++k) {
      if (size_[k] > 1) return k;
    }
    return -1;
  }

  static uint32_t lowest_in(const Colours &c, uint32_t cell) {
    uint32_t x = 0;
    while (c[x] != cell) ++x;
    return x;
  }

  // Gives `v` a colour of its own and refines; the number of cells.
  uint32_t individualise(Colours &c, uint32_t v) {
    const uint32_t cell = c[v];
    for (uint32_t x = 0; x < c.size(); ++x) c[x] = 2 * c[x] + (c[x] == cell && x != v ? 1 : 0);
    return refiner_.refine(c, &work_);
  }

  // The other vertices of level i's cell in place of the first path's.
  void try_level(size_t i, const Colours &leaf) {
    const Colours &at = path_[i];
    const uint32_t v = chosen_[i];
    for (uint32_t w = 0; w < at.size() && !over(); ++w) {
      if (w == v || at[w] != at[v] || find(w) == find(v)) continue;
      // Down, the first path's vertex where it fits; a symmetry splits as
      // many cells at every level as the first path did.
      Colours c = at;
      bool same = individualise(c, w) == cells_[i];
      for (size_t j = i + 1; same && j < path_.size() && !over(); ++j) {
        const int64_t cell = target(c);
        const uint32_t u = c[chosen_[j]] == static_cast<uint32_t>(cell) ? chosen_[j] : lowest_in(c, cell);
        same = individualise(c, u) == cells_[j];
      }
      if (same && target(c) < 0) keep_if_symmetry(leaf, c);
    }
  }

  // The permutation taking each vertex of colour k in `a` to the vertex of colour k in `b`.
  void keep_if_symmetry(const Colours &a, const Colours &b) {
    std::vector<uint32_t> by_colour(b.size()), map(a.size());
    for (uint32_t y = 0; y < b.size(); ++y) by_colour[b[y]] = y;
    for (uint32_t x = 0; x < a.size(); ++x) map[x] = by_colour[a[x]];
    std::vector<Lit> lits(map.begin(), map.begin() + g_.literals());
    if (!maps_clauses(lits)) return;
    for (uint32_t x = 0; x < map.size(); ++x) unite(x, map[x]);
    found_.push_back(std::move(lits));
  }

  bool maps_clauses(const std::vector<Lit> &m) {
    bool moves = false;
    for (Lit l = 0; l < m.size(); ++l) {
      if (m[l] >= m.size() || m[neg(l)] != neg(m[l])) return false;
      moves |= m[l] != l;
    }
    if (!moves) return false;
    std::vector<Lit> image;
    for (const std::vector<Lit> &c : cs_.lists) {
      image.clear();
      for (Lit l : c) image.push_back(m[l]);
      std::sort(image.begin(), image.end());
      work_ += c.size();
      if (!cs_.contains(image)) return false;
    }
    return true;
  }

  uint32_t find(uint32_t x) {
    while (orbit_[x] != x) x = orbit_[x] = orbit_[orbit_[x]];
    return x;
  }
  void unite(uint32_t a, uint32_t b) { orbit_[find(a)] = find(b); }

  const Clauses &cs_;
  Graph g_;
  Refiner refiner_;
  uint64_t budget_;
  uint64_t work_ = 0;
  std::vector<Colours> path_;     // the colouring before each level's individualisation
  std::vector<uint32_t> chosen_;  // the first path's vertex at each level
  std::vector<uint32_t> cells_;   // the first path's cells after each level
  std::vector<uint32_t> size_;
  std::vector<uint32_t> orbit_;   // union-find over the symmetries found
  std::vector<std::vector<Lit>> found_;
};

// Lex-leader clauses of `m` (compact literals) in the order of the formula's
// variables: e_0 is true, e_i says the two agree on the first i variables,
// and where they agree so far, x_i <= m(x_i).
uint64_t add_lex_leader(const std::vector<Lit> &m, const Clauses &cs, Formula *f, uint32_t *nvars) {
  std::vector<std::pair<Var, Lit>> moved;  // (formula's variable, its image as a formula's literal)
  for (Var v = 0; v < cs.nvars(); ++v) {
    const Lit to = m[mk_lit(v)];
    if (to != mk_lit(v)) moved.push_back({cs.original[v], mk_lit(cs.original[var_of(to)], is_neg(to))});
  }
  std::sort(moved.begin(), moved.end());
  if (moved.size() > kLexLeaderLength) moved.resize(kLexLeaderLength);
  uint64_t added = 0;
  Lit c[4];
  auto add = [&](size_t n) {
    f->add(c, n);
    ++added;
  };
  bool first = true;
  Lit prev = 0;  // e_{i-1}
  for (size_t i = 0; i < moved.size(); ++i) {
    const Lit x = mk_lit(moved[i].first), y = moved[i].second;
    const size_t p = first ? 0 : 1;
    c[0] = neg(prev);
    c[p] = neg(x);
    c[p + 1] = y;
    add(p + 2);  // agreeing so far: x <= y
    if (y == neg(x) || i + 1 == moved.size()) break;
    const Lit e = mk_lit((*nvars)++);
    c[p + 1] = e;
    add(p + 2);  // ... and x true: they agree here too
    c[p] = y;
    add(p + 2);  // ... and y false: likewise
    prev = e;
    first = false;
  }
  return added;
}

}  // namespace

SymmetryBreaking break_symmetries(Formula *f, uint32_t nvars, uint64_t budget) {
  SymmetryBreaking r;
  r.nvars = nvars;
  if (f->size() > kSymmetryMaxClauses || f->num_lits() > kSymmetryMaxLiterals || f->size() == 0) return r;
  const Clauses cs(*f, nvars);
  Finder finder(cs, budget);
  const std::vector<std::vector<Lit>> symmetries = finder.run(&r.work, &r.gave_up);
  for (const std::vector<Lit> &m : symmetries) r.clauses += add_lex_leader(m, cs, f, &r.nvars);
  r.generators = static_cast<uint32_t>(symmetries.size());
  return r;
}

}  // namespace qn::cli
