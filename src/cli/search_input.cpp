#include "cli/search_input.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/search_wire.hpp"

namespace qn::cli {
namespace {
constexpr size_t kReadBytes = size_t{1} << 16;
}

bool ClauseInput::fill() {
  if (words_.size() * sizeof(uint32_t) < bytes_ + kReadBytes) words_.resize((bytes_ + kReadBytes) / 4 + 1);
  iovec iov{reinterpret_cast<char *>(words_.data()) + bytes_, kReadBytes};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  ssize_t r;
  do {
    r = ::recvmsg(fd_, &msg, MSG_CMSG_CLOEXEC);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return false;
  for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS && proof_fd_ < 0) {
      std::memcpy(&proof_fd_, CMSG_DATA(c), sizeof(int));
    }
  }
  bytes_ += static_cast<size_t>(r);
  return true;
}

bool ClauseInput::read(const std::function<void(const Lit *, size_t)> &add) {
  size_t at = 0;  // next word
  for (;;) {
    const size_t have = bytes_ / sizeof(uint32_t);
    if (at < have && words_[at] == wire::kEndOfFormula) return true;
    if (at < have && at + 1 + words_[at] <= have) {
      add(words_.data() + at + 1, words_[at]);
      at += 1 + words_[at];
      continue;
    }
    // An unfinished record: move it to the front, then read more.
    const size_t keep = bytes_ - at * sizeof(uint32_t);
    if (keep > 0) std::memmove(words_.data(), words_.data() + at, keep);
    bytes_ = keep;
    at = 0;
    if (!fill()) return false;
  }
}

}  // namespace qn::cli
