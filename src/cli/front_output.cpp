#include "cli/front_output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qn::cli {
namespace {

// Writes all of `text` to `fd`; 0 or the errno of the failed write.
int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t w = ::write(fd, text.data(), text.size());
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return errno;
    text.remove_prefix(static_cast<size_t>(w));
  }
  return 0;
}

// The rest of standard output goes nowhere.
void discard_stdout() {
  const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devnull < 0) return;
  ::dup2(devnull, 1);
  ::close(devnull);
}

}  // namespace

int fail(int code, std::string_view message) {
  std::string text = "c error: ";
  text += message;
  text += '\n';
  write_all(2, text);  // nobody listening: the exit code still tells
  return code;
}

void Output::write(std::string_view text) {
  if (closed_) return;
  const int err = write_all(1, text);
  if (err == 0) return;
  closed_ = true;
  if (err == EBADF) return;  // started without standard output
  if (err != EPIPE) failure_ = std::strerror(err);
  discard_stdout();
}

void Output::comment(std::string_view text) {
  if (quiet_) return;
  std::string line = "c ";
  line += text;
  line += '\n';
  write(line);
}

void Output::line(std::string_view text) {
  std::string line(text);
  line += '\n';
  write(line);
}

void Output::model(const uint8_t *value, size_t nvars) {
  constexpr size_t kPerLine = 20;
  constexpr size_t kPerWrite = 200 * kPerLine;
  std::string text;
  for (size_t i = 0; i <= nvars; ++i) {  // i == nvars: the final 0
    text += i % kPerLine == 0 ? "v " : " ";
    if (i < nvars) {
      if (!value[i]) text += '-';
      text += std::to_string(i + 1);
    } else {
      text += '0';
    }
    if (i % kPerLine == kPerLine - 1 || i == nvars) text += '\n';
    if ((i + 1) % kPerWrite == 0) {
      write(text);
      text.clear();
    }
  }
  write(text);
}

int Output::done(int code) {
  if (!failure_.empty()) return fail(kExitOutput, "standard output: " + failure_);
  return code;
}

}  // namespace qn::cli
