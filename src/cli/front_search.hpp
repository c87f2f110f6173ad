// The search of the native front end: search_auto, the search program's
// run, on a thread of this process, fed and heard through the same wire as
// the program (search_wire.hpp): the clauses go in over a socket as they are
// read, the messages come out of a pipe, decoded here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/search_args.hpp"
#include "core/lit.hpp"

namespace qn::cli {

// Counters as a message carries them: name and value text, "seconds" last.
struct Counters {
  std::vector<std::pair<std::string, std::string>> items;
  const std::string *find(std::string_view name) const;
  uint64_t count(std::string_view name, uint64_t otherwise = 0) const;
  double seconds() const;
};

struct Message {
  char kind = 0;  // a wire::Kind
  std::string text;         // comment, winner, error
  uint64_t number = 0;      // a proof's steps, or the errno of its failed write
  Counters counters;        // progress, prep, answer
  uint8_t answer = 0;       // wire::AnswerByte
  bool has_model = false;
  std::vector<uint8_t> model;
};

class InProcessSearch {
 public:
  InProcessSearch() = default;
  InProcessSearch(const InProcessSearch &) = delete;
  InProcessSearch &operator=(const InProcessSearch &) = delete;
  // A search still running is left to the process's end.
  ~InProcessSearch();

  // Starts the search `a` on a thread that takes no stop signal (the
  // signal handler raises its stop flag); false with errno set.
  bool start(SearchArgs a);
  void add_clause(const Lit *lits, size_t n);
  void finish(int proof_fd);  // ends the formula, handing over the proof file (-1: none)
  // The messages within `timeout` seconds (or until a stop signal, when
  // `signals`); nullopt once the search has ended and said everything.
  std::optional<std::vector<Message>> poll(double timeout, bool signals);
  int status() const { return status_; }  // search_auto's exit code, once ended

 private:
  void send(int proof_fd = -1);
  void take(std::vector<Message> *out);

  SearchArgs args_;
  std::thread thread_;
  int feed_ = -1, theirs_ = -1;      // the clause socket's ends
  int messages_ = -1, written_ = -1;  // the message pipe's ends
  bool gone_ = false;                 // the search stopped taking clauses
  bool ended_ = false;
  int status_ = 0;
  std::vector<uint32_t> words_;
  std::string buf_;
};

}  // namespace qn::cli
