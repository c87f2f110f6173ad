// Standard output and standard error of the native front end, as the
// Python front end writes them (output.py, common.fail): comment lines, the
// answer and the model; a reader that went away is taken calmly, an output
// that cannot be written ends the run with kExitOutput.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qn::cli {

// The command's exit codes (common.py's Exit).
enum ExitCode : int {
  kExitDone = 0,
  kExitFailed = 1,
  kExitUsage = 2,
  kExitInput = 3,
  kExitOutput = 4,
  kExitSat = 10,
  kExitUnsat = 20,
};

// Prints "c error: MESSAGE" on standard error; returns `code`.
int fail(int code, std::string_view message);

class Output {
 public:
  explicit Output(bool quiet) : quiet_(quiet) {}
  void comment(std::string_view text);  // "c TEXT", unless quiet
  void line(std::string_view text);
  // "v" lines of 20 literals, the final 0 included; value[i] is variable i+1's.
  void model(const uint8_t *value, size_t nvars);
  // `code`, or kExitOutput (with its error line) if standard output failed.
  int done(int code);

 private:
  void write(std::string_view text);

  bool quiet_;
  bool closed_ = false;
  std::string failure_;  // why standard output could not be written
};

}  // namespace qn::cli
