// The parallel portfolio: several differently configured solvers race on one
// formula (some of them, optionally, on an alternative encoding of it), each
// on a thread of its own; the first to answer wins and raises a shared stop
// flag that the others read at their next conflict.  Plain C++ and POSIX
// threads; nothing here knows about Python.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/lit.hpp"
#include "core/proof_sink.hpp"
#include "solver/config.hpp"
#include "solver/solver.hpp"

namespace qn::portfolio {

using Clauses = std::vector<std::vector<Lit>>;
using StopFlag = std::shared_ptr<std::atomic<bool>>;

// What one worker produced.  `model` is filled only when `sat`; `proof` only
// for a refutation with proof logging on.
struct Outcome {
  uint64_t worker = 0;
  uint64_t from_alt = 0;  // 1 when the worker solved the alternative formula
  bool sat = false;  // false for a refutation, and for a stopped search
  bool stopped = false;  // the search ended at a stop request, without an answer
  std::vector<bool> model;
  std::vector<ProofStep> proof;
  Stats stats;
};

// Builds one solver from `config`, loads `clauses` and searches without a
// conflict limit on the calling thread.  `stop`, when given, is handed to the
// solver, which then returns without an answer at the first conflict after
// the flag was raised.  from_alt is left 0 for the caller to set.  With a
// `sink`, the proof is handed to it step by step instead of being kept.
Outcome run_one(uint64_t worker, uint32_t nvars, const Clauses &clauses, const Config &config, StopFlag stop,
                bool want_proof, ProofSink *sink = nullptr);

// What a worker runs over its formula and configuration: run_one, or in
// the tests a stand-in that fails on purpose.
using WorkerBody = Outcome (*)(uint64_t worker, uint32_t nvars, const Clauses &clauses, const Config &config,
                               StopFlag stop, bool want_proof, ProofSink *sink);

// One run over `configs` (worker i uses configs[i]).  The last
// min(alt_threads, n) workers solve `*alt` when it is given.  Returns the
// first answer, or nullopt for an empty `configs`.  Throws qn::Panic when a
// worker failed internally ("a scoped thread panicked") or a thread could
// not be created ("failed to spawn thread: ..."); every thread started has
// ended by then.
//
// Given `sinks` (one per configuration), worker i streams its proof to
// sinks[i].  Given `stop`, the run uses that flag, so that the caller can
// stop every worker; when it does before any answer, the result is an
// outcome with `stopped` set and no counters.
std::optional<Outcome> run(uint32_t nvars, const Clauses &clauses, const Clauses *alt, uint64_t alt_threads,
                           const std::vector<Config> &configs, bool want_proof, WorkerBody body = run_one,
                           const std::vector<ProofSink *> &sinks = {}, StopFlag stop = nullptr);

}  // namespace qn::portfolio
