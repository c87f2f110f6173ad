// Internal failures.  A broken invariant inside a core throws Panic; the
// binding layer turns it into PanicException at the call boundary and
// writes the text and the place where it arose to stderr.
#pragma once

#include <stdexcept>
#include <string>

namespace qn {

class Panic : public std::runtime_error {
 public:
  Panic(std::string msg, const char *file, int line)
      : std::runtime_error(std::move(msg)), file_(file), line_(line) {}
  const char *file() const { return file_; }
  int line() const { return line_; }

 private:
  const char *file_;
  int line_;
};

[[noreturn]] inline void panic_at(std::string msg, const char *file, int line) {
  throw Panic(std::move(msg), file, line);
}

}  // namespace qn

#define QN_PANIC(msg) ::qn::panic_at((msg), __FILE__, __LINE__)
// Checked in every build: used where a violation must surface as a panic
// rather than undefined behaviour (index checks on caller-visible data).
#define QN_CHECK(cond, msg)        \
  do {                             \
    if (!(cond)) QN_PANIC(msg);    \
  } while (0)
