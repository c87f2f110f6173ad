#include "cli/front_search.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "cli/search_auto.hpp"
#include "cli/search_input.hpp"
#include "cli/search_messages.hpp"
#include "cli/search_wire.hpp"
#include "cli/stop.hpp"

namespace qn::cli {
namespace {

constexpr size_t kBlockWords = size_t{1} << 14;  // clause words sent at a time

Counters counters_of(std::string_view text) {
  Counters c;
  while (!text.empty()) {
    const size_t nl = std::min(text.find('\n'), text.size());
    const std::string_view item = text.substr(0, nl);
    const size_t eq = item.find('=');
    if (eq != std::string_view::npos) c.items.emplace_back(item.substr(0, eq), item.substr(eq + 1));
    text.remove_prefix(std::min(nl + 1, text.size()));
  }
  return c;
}

Message decode(char kind, std::string_view payload) {
  Message m;
  m.kind = kind;
  if (kind == wire::kProgress || kind == wire::kPrep) {
    m.counters = counters_of(payload);
  } else if (kind == wire::kAnswer && payload.size() >= 6) {
    uint32_t n = 0;
    std::memcpy(&n, payload.data() + 2, sizeof(n));
    m.answer = static_cast<uint8_t>(payload[0]);
    m.has_model = payload[1] != 0;
    m.counters = counters_of(payload.substr(6, n));
    const std::string_view model = payload.substr(std::min<size_t>(6 + n, payload.size()));
    m.model.assign(model.begin(), model.end());
  } else if (kind == wire::kProofDone || kind == wire::kProofFailed) {
    if (kind == wire::kProofDone && payload.size() == sizeof(uint64_t)) std::memcpy(&m.number, payload.data(), 8);
    uint32_t err = 0;
    if (kind == wire::kProofFailed && payload.size() == sizeof(err)) std::memcpy(&err, payload.data(), sizeof(err));
    if (kind == wire::kProofFailed) m.number = err;
  } else {
    m.text = payload;
  }
  return m;
}

}  // namespace

const std::string *Counters::find(std::string_view name) const {
  for (const auto &[k, v] : items) {
    if (k == name) return &v;
  }
  return nullptr;
}

uint64_t Counters::count(std::string_view name, uint64_t otherwise) const {
  const std::string *v = find(name);
  return v ? std::strtoull(v->c_str(), nullptr, 10) : otherwise;
}

double Counters::seconds() const {
  const std::string *v = find("seconds");
  return v ? std::strtod(v->c_str(), nullptr) : 0.0;
}

InProcessSearch::~InProcessSearch() {
  if (thread_.joinable()) thread_.detach();
}

bool InProcessSearch::start(SearchArgs a) {
  args_ = std::move(a);
  int sock[2], pipe_fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sock) < 0) return false;
  if (::pipe2(pipe_fds, O_CLOEXEC) < 0) return false;
  feed_ = sock[0];
  theirs_ = sock[1];
  messages_ = pipe_fds[0];
  written_ = pipe_fds[1];
  words_.reserve(kBlockWords + 64);
  sigset_t stops, old;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, &old);  // the thread (and its solvers' threads) inherit it
  try {
    thread_ = std::thread([this] {
      Messages out(written_);
      const ReadFormula read = [this](const AddClause &add, int *proof_fd) {
        ClauseInput in(theirs_);
        if (!in.read(add)) return false;
        *proof_fd = in.proof_fd();
        return true;
      };
      try {
        status_ = search_auto(args_, out, read, stop_flag());
      } catch (const std::bad_alloc &) {
        out.send(wire::kError, "out of memory");
        status_ = 1;
      } catch (const std::exception &e) {
        out.send(wire::kError, e.what());
        status_ = 1;
      }
      ::close(theirs_);
      ::close(written_);  // the end of the messages: the program's exit
    });
  } catch (const std::system_error &e) {
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = e.code().value();
    return false;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return true;
}

void InProcessSearch::add_clause(const Lit *lits, size_t n) {
  words_.push_back(static_cast<uint32_t>(n));
  words_.insert(words_.end(), lits, lits + n);
  if (words_.size() >= kBlockWords) send();
}

void InProcessSearch::finish(int proof_fd) {
  words_.push_back(wire::kEndOfFormula);
  send(proof_fd);
  ::close(feed_);
  feed_ = -1;
}

// Sends the words buffered, `proof_fd` with them when >= 0 (the search
// gets a descriptor of its own); once the search stopped taking them, drops them.
void InProcessSearch::send(int proof_fd) {
  if (!gone_ && wire::send_words(feed_, words_.data(), words_.size(), proof_fd, [] { return true; }) == wire::Sent::kGone) {
    gone_ = true;
  }
  words_.clear();
}

std::optional<std::vector<Message>> InProcessSearch::poll(double timeout, bool signals) {
  std::vector<Message> out;
  if (ended_) return std::nullopt;
  timeout = std::max(timeout, 0.0);
  timespec ts{static_cast<time_t>(timeout), static_cast<long>(std::fmod(timeout, 1.0) * 1e9)};
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  if (signals) {
    sigdelset(&mask, SIGINT);
    sigdelset(&mask, SIGTERM);
  }
  pollfd p{messages_, POLLIN, 0};
  if (::ppoll(&p, 1, &ts, &mask) <= 0) return out;
  char data[1 << 16];
  const ssize_t n = ::read(messages_, data, sizeof(data));
  if (n < 0) return out;
  if (n == 0) {
    ended_ = true;
    ::close(messages_);
    if (thread_.joinable()) thread_.join();
    return std::nullopt;
  }
  buf_.append(data, static_cast<size_t>(n));
  take(&out);
  return out;
}

void InProcessSearch::take(std::vector<Message> *out) {
  size_t at = 0;
  while (buf_.size() - at >= 5) {
    uint32_t n = 0;
    std::memcpy(&n, buf_.data() + at + 1, sizeof(n));
    if (buf_.size() - at < 5 + size_t{n}) break;
    out->push_back(decode(buf_[at], std::string_view(buf_).substr(at + 5, n)));
    at += 5 + size_t{n};
  }
  buf_.erase(0, at);
}

}  // namespace qn::cli
