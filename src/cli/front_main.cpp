// quillon-native: the command.  `solve` runs here, without an interpreter,
// when its options are ones this program knows and its input is a plain
// file (front_solve.hpp), printing exactly what the Python front end would;
// every other command line goes, untouched, to the Python front end
// (python -m quillon_native_cli, front_python.hpp).
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include <cstring>
#include <string>
#include <vector>

#include "cli/front_args.hpp"
#include "cli/front_python.hpp"
#include "cli/front_solve.hpp"

namespace {

// Standard input, output and error are open (else a descriptor of this
// process's own could take their place).
bool standard_fds_open() {
  for (int fd = 0; fd < 3; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0) return false;
  }
  return true;
}

// A child of `quillon-native batch` (runner.py) is told QUILLON_BATCH_CHILD
// = "PID:MB": it dies with the thread of process PID that started it, and
// its address space is capped at MB MiB (0: no cap), the set-up the batch
// gives its other children between fork and exec.
void set_up_batch_child() {
  const char *spec = std::getenv("QUILLON_BATCH_CHILD");
  if (spec == nullptr) return;
  char *end = nullptr;
  const long parent = std::strtol(spec, &end, 10);
  const unsigned long long mb = *end == ':' ? std::strtoull(end + 1, nullptr, 10) : 0;
  ::unsetenv("QUILLON_BATCH_CHILD");
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(128 + SIGKILL);  // the batch went before the signal was set
  if (mb > 0) {
    const rlimit cap{static_cast<rlim_t>(mb) << 20, static_cast<rlim_t>(mb) << 20};
    ::setrlimit(RLIMIT_AS, &cap);
  }
}

}  // namespace

int main(int argc, char **argv) {
  using namespace qn::cli;
  set_up_batch_child();
  if (argc > 1 && std::strcmp(argv[1], "solve") == 0 && standard_fds_open()) {
    if (const auto a = parse_solve_args(std::vector<std::string>(argv + 2, argv + argc))) {
      if (const auto code = solve_natively(*a)) ::_exit(*code);  // a search may still run: no clean-up
    }
  }
  return run_python_front_end(argc, argv);
}
