// The interpreter is, in this order: $QUILLON_NATIVE_PYTHON; the python3 or
// python beside this program (in its resolved folder: a virtual
// environment's bin); the interpreter it was built for; python3 on PATH.
#include "cli/front_python.hpp"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/front_output.hpp"

#ifndef QN_PYTHON
#define QN_PYTHON ""
#endif

namespace qn::cli {
namespace {

std::string own_folder() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return "";
  const std::string exe(path, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/') + 1);
}

std::string interpreter() {
  if (const char *env = std::getenv("QUILLON_NATIVE_PYTHON"); env != nullptr && *env) return env;
  const std::string folder = own_folder();
  for (const char *name : {"python3", "python"}) {
    if (!folder.empty() && ::access((folder + name).c_str(), X_OK) == 0) return folder + name;
  }
  if (*QN_PYTHON && ::access(QN_PYTHON, X_OK) == 0) return QN_PYTHON;
  return "python3";
}

}  // namespace

int run_python_front_end(int argc, char **argv) {
  const std::string python = interpreter();
  std::vector<char *> args = {const_cast<char *>(python.c_str()), const_cast<char *>("-P"),
                              const_cast<char *>("-m"), const_cast<char *>("quillon_native_cli")};
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  if (python.find('/') == std::string::npos) ::execvp(python.c_str(), args.data());
  else ::execv(python.c_str(), args.data());
  return fail(kExitFailed, "quillon-native: cannot start the Python front end " + python + ": " + std::strerror(errno));
}

}  // namespace qn::cli
