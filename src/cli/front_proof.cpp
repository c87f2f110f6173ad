#include "cli/front_proof.hpp"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "cli/front_output.hpp"
#include "cli/tokens.hpp"

namespace qn::cli {
namespace {

// Python's os.path.dirname: the part before the last '/', its trailing slashes cut.
std::string dirname(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  std::string head = path.substr(0, slash + 1);
  if (head.find_first_not_of('/') != std::string::npos) {
    while (!head.empty() && head.back() == '/') head.pop_back();
  }
  return head;
}

bool same_file(const std::string &a, const std::string &b) {
  struct stat x {}, y {};
  return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

bool is_kind(const std::string &path, mode_t kind) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == kind;
}

// The first line of `head` that is neither blank nor a comment; "" if there
// is none, nullopt if that depends on what follows the last (cut) line,
// unless `whole` says nothing follows.
std::optional<std::string_view> first_line(std::string_view head, bool whole) {
  for (size_t pos = 0; pos <= head.size();) {
    size_t end = head.find('\n', pos);
    if (end == std::string_view::npos) {
      if (!whole) return std::nullopt;
      end = head.size();
    }
    std::string_view s = head.substr(pos, end - pos);
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    if (!s.empty() && s[0] != 'c') return s;
    pos = end + 1;
  }
  return std::string_view();
}

// Reads up to `n` more bytes of `fd` onto `out`.
void read_more(int fd, std::string *out, size_t n) {
  const size_t at = out->size();
  out->resize(at + n);
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, out->data() + at + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out->resize(at + got);
}

// Whether the file starts like a DIMACS formula: comment lines, then a
// 'p cnf' header (in the first MiB).
bool holds_cnf(const std::string &path) {
  constexpr size_t kLimit = size_t{1} << 20, kFirst = size_t{1} << 16;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string head;
  read_more(fd, &head, kFirst);
  auto line = first_line(head, head.size() < kFirst);
  if (!line && head.size() < kLimit) {
    read_more(fd, &head, kLimit - head.size());
    line = first_line(head, true);
  }
  ::close(fd);
  if (!line) return false;
  std::string_view s = *line;  // its first two words are "p" and "cnf"
  auto word = [&s] {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    size_t n = 0;
    while (n < s.size() && !is_space(s[n])) ++n;
    const std::string_view w = s.substr(0, n);
    s.remove_prefix(n);
    return w;
  };
  return word() == "p" && word() == "cnf";
}

std::string new_folder(const std::string &base, int *err) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::string folder = base + "/.quillon-proofs-" + std::to_string(::getpid()) + "-" +
                               std::to_string(ts.tv_sec * 1000000000LL + ts.tv_nsec) + "-" + std::to_string(attempt);
    if (::mkdir(folder.c_str(), 0700) == 0) return folder;
    if (errno != EEXIST) break;
  }
  *err = errno;
  return "";
}

}  // namespace

std::optional<std::pair<int, std::string>> refuse_proof_target(const std::string &path, const std::string &input,
                                                               bool force) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) < 0) {
    std::string folder = dirname(path);
    if (folder.empty()) folder = ".";
    if (!is_kind(folder, S_IFDIR)) return std::pair{kExitOutput, path + ": No such file or directory"};
    if (::access(folder.c_str(), W_OK) != 0) return std::pair{kExitOutput, path + ": Permission denied"};
    return std::nullopt;
  }
  if (same_file(input, path)) return std::pair{kExitUsage, path + ": the proof would overwrite the input " + input};
  if (is_kind(path, S_IFDIR)) return std::pair{kExitOutput, path + ": Is a directory"};
  if (!force && is_kind(path, S_IFREG) && holds_cnf(path)) {
    return std::pair{kExitUsage, path + ": most likely an existing CNF formula, not overwritten (--force overwrites it)"};
  }
  return std::nullopt;
}

bool compressed_file(const std::string &path) {
  if (!is_kind(path, S_IFREG)) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char head[6] = {};
  const ssize_t n = ::pread(fd, head, sizeof(head), 0);
  ::close(fd);
  return (n >= 2 && head[0] == 0x1f && head[1] == 0x8b) || (n >= 6 && std::memcmp(head, "\xfd" "7zXZ\0", 6) == 0) ||
         (n >= 3 && std::memcmp(head, "BZh", 3) == 0);
}

MemberFolder::MemberFolder(const std::string &target) {
  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  const bool regular = !exists || S_ISREG(st.st_mode);  // or a file still to be made
  const bool discard = exists && !regular && same_file(target, "/dev/null");
  std::vector<std::string> places;
  if (regular) {
    char cwd[4096];
    const std::string full = target[0] == '/' ? target : std::string(::getcwd(cwd, sizeof(cwd)) ? cwd : ".") + "/" + target;
    std::string folder = dirname(full);
    places.push_back(folder.empty() ? "/" : folder);
  }
  for (const char *p : std::initializer_list<const char *>{std::getenv("TMPDIR"), "/tmp"}) {
    if (p != nullptr && *p && std::find(places.begin(), places.end(), p) == places.end()) places.emplace_back(p);
  }
  std::string failed;
  for (const std::string &base : places) {
    int err = 0;
    folder_ = new_folder(base, &err);
    if (!folder_.empty()) break;
    failed += (failed.empty() ? "" : "; ") + base + ": " + std::strerror(err);
  }
  if (folder_.empty()) throw Failed{"no folder for the solvers' proofs (" + failed + ")"};
  if (!regular && !discard) {
    note_ = "proof " + target + ": not a regular file; each solver's proof is kept in " + folder_ +
            " until the winner's is copied there";
  }
}

void MemberFolder::remove() {
  if (folder_.empty()) return;
  ::nftw(
      folder_.c_str(),
      [](const char *path, const struct stat *, int, FTW *) {
        ::remove(path);
        return 0;
      },
      8, FTW_DEPTH | FTW_PHYS);
  folder_.clear();
}

int64_t keep_whole_steps(int fd, bool binary) {
  constexpr int64_t kBlock = 1 << 16;
  const char sep = binary ? '\0' : '\n';
  struct stat st {};
  if (::fstat(fd, &st) < 0) return -1;
  std::vector<char> buf(kBlock);
  for (int64_t pos = st.st_size; pos > 0;) {
    const int64_t start = std::max<int64_t>(0, pos - kBlock);
    const ssize_t n = ::pread(fd, buf.data(), static_cast<size_t>(pos - start), start);
    if (n < 0) return -1;
    for (ssize_t i = n - 1; i >= 0; --i) {
      if (buf[static_cast<size_t>(i)] == sep) return ::ftruncate(fd, start + i + 1) < 0 ? -1 : start + i + 1;
    }
    pos = start;
  }
  return ::ftruncate(fd, 0) < 0 ? -1 : 0;
}

}  // namespace qn::cli
