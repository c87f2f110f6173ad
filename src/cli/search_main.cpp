// quillon-search: the search process of `quillon-native solve`, without an
// interpreter.  The command starts it when it has read the formula's
// header, streams it the clauses (search_input.hpp) and turns its messages
// (search_messages.hpp) into the lines it prints; the program runs the plan
// the command asks for (search_auto.hpp): one configuration in slices,
// auto's plan chosen from the formula, or a race on threads, each member's
// proof streamed to a file and the kept one into the proof it is given.
//
//   quillon-search NVARS [--proof=text|binary] [--preprocess=ROUNDS]
//                  [--slice=K] [--max-conflicts=N] [--deadline=T] [OPTION=VALUE ...]
//   quillon-search NVARS --auto=1 --named=NAME[,OPTION=VALUE...]... [--proof-dir=DIR] [--rounds=N]
//                  [--probe=CLAUSES,CONFLICTS] [--threads=N | --portfolio=NAME,...] ...
//
// T is a CLOCK_MONOTONIC time in seconds; OPTIONs are the Solver's.  SIGINT
// and SIGTERM stop the search at its next conflict: the program flushes its
// proof, reports and ends.
#include <cstdio>
#include <exception>
#include <new>

#include <unistd.h>

#include "cli/search_args.hpp"
#include "cli/search_auto.hpp"
#include "cli/search_input.hpp"
#include "cli/search_messages.hpp"
#include "cli/stop.hpp"

int main(int argc, char **argv) {
  using namespace qn::cli;
  SearchArgs a;
  if (!parse_search_args(argc, argv, &a)) {
    std::fprintf(stderr, "usage: quillon-search NVARS [--proof=text|binary] [--preprocess=ROUNDS] [--slice=K] "
                         "[--max-conflicts=N] [--deadline=T] [--auto=1 --named=NAME,... --proof-dir=DIR --rounds=N] "
                         "[OPTION=VALUE ...]\n");
    return 2;
  }
  catch_stop_signals();
  Messages out(1);
  try {
    // The formula comes on standard input, the proof's descriptor with its end.
    const ReadFormula read = [](const AddClause &add, int *proof_fd) {
      ClauseInput in(0);
      if (!in.read(add)) return false;
      ::close(0);
      *proof_fd = in.proof_fd();
      return true;
    };
    return search_auto(a, out, read, stop_flag());
  } catch (const std::bad_alloc &) {
    out.send(wire::kError, "out of memory");
  } catch (const std::exception &e) {
    out.send(wire::kError, e.what());
  } catch (...) {
    out.send(wire::kError, "unknown internal failure");
  }
  return 1;
}
