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

#include <cstdint>

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

}  // namespace qn::cli::wire
