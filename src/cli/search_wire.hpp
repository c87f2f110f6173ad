// What the command (Python) and its search program (search_main.cpp) say to
// each other.  Both ends run on one machine: numbers go in native byte
// order.
//
// Command to program, on the program's standard input (a Unix stream
// socket): the formula's clauses as records of 32-bit words, a length n and
// n internal literals, ended by the single word kEndOfFormula.  With a
// proof, the proof file's descriptor rides along with that end (SCM_RIGHTS).
//
// Program to command, on its standard output: messages of a kind byte, a
// 32-bit payload length and the payload.  Counters are text, one
// "name=value\n" per counter, "seconds" last.
#pragma once

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace qn::cli::wire {

inline constexpr uint32_t kEndOfFormula = 0xFFFFFFFFu;

enum Kind : char {
  kReady = 'O',        // the runner is made: the program takes the clauses
  kProgress = 'P',     // counters after a slice without an answer
  kPrep = 'R',         // the preprocessor's counters
  kAnswer = 'A',       // answer byte (kAnswer* below), model byte (1: a model follows), u32 counters' length,
                      // counters, the model (a 0/1 byte per variable)
  kProofDone = 'F',    // u64: the proof's steps
  kProofFailed = 'E',  // u32: errno of the failed write
  kComment = 'C',      // text: a line to show (a plan, which member's proof is kept)
  kWinner = 'W',       // text: the plan's member that answered (after kAnswer)
  kError = 'X',        // text: the search failed
};

enum AnswerByte : uint8_t { kAnswerUnknown = 0, kAnswerSat = 1, kAnswerUnsat = 2 };

// How a send of clause words ended.
enum class Sent { kAll, kGone, kStopped };

// Sends `n` words on socket `fd`, with descriptor `proof_fd` (when >= 0)
// riding on the first bytes.  Interrupted, it asks `go_on()` whether to try
// again (kStopped if not); kGone when the program stopped reading.
template <class GoOn>
Sent send_words(int fd, const uint32_t *words, size_t n, int proof_fd, GoOn go_on) {
  const char *data = reinterpret_cast<const char *>(words);
  size_t left = n * sizeof(uint32_t);
  while (left > 0) {
    iovec iov{const_cast<char *>(data), left};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (proof_fd >= 0) {
      msg.msg_control = control;
      msg.msg_controllen = sizeof(control);
      cmsghdr *c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(c), &proof_fd, sizeof(int));
    }
    const ssize_t w = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) {
      if (!go_on()) return Sent::kStopped;
      continue;
    }
    if (w <= 0) return Sent::kGone;
    proof_fd = -1;  // sent with the first bytes
    data += w;
    left -= static_cast<size_t>(w);
  }
  return Sent::kAll;
}

}  // namespace qn::cli::wire
