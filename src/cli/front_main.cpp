// quillon-native: the command.  `solve` runs here, without an interpreter,
// when its options are ones this program knows and its input is a plain
// file (front_solve.hpp), printing exactly what the Python front end would;
// every other command line goes, untouched, to the Python front end
// (python -m quillon_native_cli, front_python.hpp).
#include <fcntl.h>
#include <unistd.h>

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

}  // namespace

int main(int argc, char **argv) {
  using namespace qn::cli;
  if (argc > 1 && std::strcmp(argv[1], "solve") == 0 && standard_fds_open()) {
    if (const auto a = parse_solve_args(std::vector<std::string>(argv + 2, argv + argc))) {
      if (const auto code = solve_natively(*a)) ::_exit(*code);  // a search may still run: no clean-up
    }
  }
  return run_python_front_end(argc, argv);
}
