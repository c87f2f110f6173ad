// A failing portfolio worker is never lost: the runner reports it, whatever
// the other workers answered.  Workers here run stand-in bodies, since a
// real search does not fail on demand.
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/panic.hpp"
#include "portfolio/portfolio.hpp"

namespace {

using qn::portfolio::Clauses;
using qn::portfolio::Outcome;
using qn::portfolio::StopFlag;

// Worker 0 answers at once; the others fail in the way the test names.
template <int How>
Outcome answer_or_fail(uint64_t worker, uint32_t, const Clauses &, const qn::Config &, StopFlag, bool, qn::ProofSink *) {
  if (worker == 0 && How != 3) {
    Outcome o;
    o.sat = true;
    return o;
  }
  if (How == 0 || How == 3) QN_PANIC("planted failure");
  if (How == 1) throw std::runtime_error("planted failure");
  throw std::bad_alloc();
}

// What run() did: "answer", "panic: TEXT" or "out of memory".
template <int How>
std::string outcome(size_t workers) {
  const std::vector<qn::Config> configs(workers);
  try {
    auto o = qn::portfolio::run(1, Clauses{{0}}, nullptr, 0, configs, false, answer_or_fail<How>);
    return o && o->sat ? "answer" : "no answer";
  } catch (const qn::Panic &p) {
    return std::string("panic: ") + p.what();
  } catch (const std::bad_alloc &) {
    return "out of memory";
  }
}

struct Case {
  const char *name;
  std::string got;
  const char *want;
};

}  // namespace

int main() {
  const Case cases[] = {
      {"one worker panics, another answers", outcome<0>(2), "panic: a scoped thread panicked"},
      {"one of four panics", outcome<0>(4), "panic: a scoped thread panicked"},
      {"one worker throws, another answers", outcome<1>(3), "panic: a scoped thread panicked"},
      {"every worker panics", outcome<3>(2), "panic: a scoped thread panicked"},
      {"a worker runs out of memory", outcome<2>(2), "out of memory"},
      {"a single worker panics", outcome<3>(1), "panic: planted failure"},
  };
  int failed = 0;
  for (const Case &c : cases) {
    const bool ok = c.got == c.want;
    failed += !ok;
    std::printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", c.name, ok ? "" : ": got ", ok ? "" : c.got.c_str());
  }
  const int n = static_cast<int>(std::size(cases));
  std::printf("%d passed, %d failed\n", n - failed, failed);
  return failed != 0;
}
