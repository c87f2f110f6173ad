// The portfolio runner (see portfolio.hpp).
//
// A threaded run owns three things for its duration: the stop flag, the
// result channel and one context per worker.  Workers borrow the clause
// lists and configurations read-only; every thread that was started is
// joined before run() returns or throws, so the borrowed inputs outlive
// them all.
#include "portfolio/portfolio.hpp"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <system_error>

#include "core/memory.hpp"
#include "core/panic.hpp"

namespace qn::portfolio {
namespace {

constexpr size_t kWorkerStack = 2u << 20;  // 2 MiB per worker thread

// ---------------------------------------------------------------------------
// An unbounded multi-producer, single-consumer queue of outcomes.  Each
// producer holds a sending end (counted in `senders_`); the receiver blocks
// until an outcome arrives or the last sending end is dropped.  A send never
// blocks on the receiver and never fails: the receiver owns the channel and
// outlives every producer.

class Channel {
 public:
  explicit Channel(size_t senders) : senders_(senders) {}

  void add_sender() {
    std::lock_guard<std::mutex> lock(mu_);
    ++senders_;
  }

  void drop_sender() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      --senders_;
    }
    ready_.notify_one();
  }

  void send(Outcome &&o) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.push_back(std::move(o));
    }
    ready_.notify_one();
  }

  // The first queued outcome, or nullopt once every sender is gone and the
  // queue is empty.
  std::optional<Outcome> recv() {
    std::unique_lock<std::mutex> lock(mu_);
    ready_.wait(lock, [this] { return !queue_.empty() || senders_ == 0; });
    if (queue_.empty()) return std::nullopt;
    Outcome o = std::move(queue_.front());
    queue_.pop_front();
    return o;
  }

 private:
  std::mutex mu_;
  std::condition_variable ready_;
  std::deque<Outcome> queue_;
  size_t senders_;
};

// Everything one worker thread needs; lives in the runner's frame until the
// thread has been joined.
struct Worker {
  uint64_t index = 0;
  uint64_t from_alt = 0;
  uint32_t nvars = 0;
  bool want_proof = false;
  ProofSink *sink = nullptr;  // where the proof goes, if not kept
  const Clauses *clauses = nullptr;
  const Config *config = nullptr;
  WorkerBody body = run_one;
  StopFlag stop;             // this worker's share of the flag
  Channel *channel = nullptr;  // this worker's sending end
  bool failed = false;       // an exception escaped the body or the send
  bool out_of_memory = false;  // that exception was std::bad_alloc
  pthread_t thread{};
};

// A worker's own failure is only summarised by the runner ("a scoped thread
// panicked"), so its text and place go to stderr here, as they happen.
void report_failure(uint64_t worker, const char *what, const char *file, int line) noexcept {
  if (file != nullptr)
    std::fprintf(stderr, "quillon_native: portfolio worker %llu failed at %s:%d:\n%s\n",
                 static_cast<unsigned long long>(worker), file, line, what);
  else
    std::fprintf(stderr, "quillon_native: portfolio worker %llu failed:\n%s\n",
                 static_cast<unsigned long long>(worker), what);
  std::fflush(stderr);
}

// The thread body.  Whoever finds the flag clear after its run raises it and
// reports; a worker that finds it raised drops its outcome (it either lost
// the race or was stopped).  The read and the store are separate on
// purpose: two workers finishing together may both report, and the receiver
// keeps the first message.  No exception may leave the thread.
void *worker_main(void *arg) noexcept {
  Worker &w = *static_cast<Worker *>(arg);
  try {
    Outcome o = w.body(w.index, w.nvars, *w.clauses, *w.config, w.stop, w.want_proof, w.sink);
    o.from_alt = w.from_alt;
    if (!w.stop->load(std::memory_order_relaxed)) {
      w.stop->store(true, std::memory_order_relaxed);
      w.channel->send(std::move(o));
    }
  } catch (const Panic &p) {
    w.failed = true;
    report_failure(w.index, p.what(), p.file(), p.line());
  } catch (const std::bad_alloc &) {
    // Every worker builds the same tables, so the others are about to fail
    // the same way or to answer nobody: ask them to stop, and let the
    // caller see a MemoryError rather than a panic.
    w.out_of_memory = true;
    w.stop->store(true, std::memory_order_relaxed);
  } catch (const std::exception &e) {
    w.failed = true;
    report_failure(w.index, e.what(), nullptr, 0);
  } catch (...) {
    w.failed = true;
    report_failure(w.index, "unknown internal failure", nullptr, 0);
  }
  w.stop.reset();
  w.channel->drop_sender();
  return nullptr;
}

std::string spawn_failure(int err) {
  return "failed to spawn thread: " + std::system_category().message(err) + " (os error " + std::to_string(err) +
         ")";
}

// Starts the workers in index order.  Returns the number started and, when
// one could not be started, the system error (0 otherwise).
size_t spawn_all(std::vector<Worker> &workers, Channel &channel, int *error) {
  *error = 0;
  pthread_attr_t attr;
  if (int e = pthread_attr_init(&attr); e != 0) {
    *error = e;
    return 0;
  }
  size_t started = 0;
  if (int e = pthread_attr_setstacksize(&attr, kWorkerStack); e != 0) *error = e;
  for (; *error == 0 && started < workers.size(); ++started) {
    Worker &w = workers[started];
    channel.add_sender();
    if (int e = pthread_create(&w.thread, &attr, worker_main, &w); e != 0) {
      channel.drop_sender();
      *error = e;
      break;
    }
  }
  pthread_attr_destroy(&attr);
  return started;
}

// Joins every started worker on the way out of the runner, also when
// something between spawning and joining throws; the stop flag is raised
// first in that case so the join does not wait for a full search.
class Crew {
 public:
  Crew(std::vector<Worker> &workers, std::atomic<bool> &stop) : workers_(workers), stop_(stop) {}
  ~Crew() {
    if (joined_) return;
    stop_.store(true, std::memory_order_relaxed);
    join();
  }
  Crew(const Crew &) = delete;
  Crew &operator=(const Crew &) = delete;

  size_t started = 0;

  // Waits for every started worker; true when one of them failed.
  bool join() {
    joined_ = true;
    bool failed = false;
    for (size_t i = 0; i < started; ++i) {
      if (pthread_join(workers_[i].thread, nullptr) != 0) failed = true;
      failed = failed || workers_[i].failed;
      out_of_memory = out_of_memory || workers_[i].out_of_memory;
    }
    return failed;
  }

  bool out_of_memory = false;  // set by join()

 private:
  std::vector<Worker> &workers_;
  std::atomic<bool> &stop_;
  bool joined_ = false;
};

std::optional<Outcome> run_threaded(uint32_t nvars, const Clauses &clauses, const Clauses *alt, uint64_t alt_count,
                                    const std::vector<Config> &configs, bool want_proof, WorkerBody body,
                                    const std::vector<ProofSink *> &sinks, StopFlag outer) {
  const size_t n = configs.size();
  StopFlag stop = outer ? outer : std::make_shared<std::atomic<bool>>(false);
  Channel channel(1);  // the runner's own sending end, dropped once all are spawned
  std::vector<Worker> workers(n);
  for (size_t i = 0; i < n; ++i) {
    Worker &w = workers[i];
    const bool on_alt = i >= n - alt_count;
    w.index = i;
    w.from_alt = on_alt ? 1 : 0;
    w.nvars = nvars;
    w.want_proof = want_proof;
    w.sink = i < sinks.size() ? sinks[i] : nullptr;
    w.clauses = on_alt ? alt : &clauses;
    w.config = &configs[i];
    w.body = body;
    w.stop = stop;
    w.channel = &channel;
  }

  Crew crew(workers, *stop);
  int spawn_error = 0;
  crew.started = spawn_all(workers, channel, &spawn_error);
  // The workers that did start would otherwise search to the end for an
  // answer nobody will read: ask them to stop at their next conflict.
  if (spawn_error != 0) stop->store(true, std::memory_order_relaxed);
  channel.drop_sender();

  std::optional<Outcome> answer;
  if (spawn_error == 0) answer = channel.recv();
  const bool failed = crew.join();
  if (spawn_error != 0) QN_PANIC(spawn_failure(spawn_error));
  if (failed) QN_PANIC("a scoped thread panicked");
  if (crew.out_of_memory) throw std::bad_alloc();
  if (!answer && outer) {  // the caller stopped every worker first
    Outcome o;
    o.stopped = true;
    return o;
  }
  // Only a sender raises the flag and only a raised flag stops a search, so
  // with every worker healthy one of them has sent an answer.
  QN_CHECK(answer.has_value(), "every portfolio worker ended without an answer");
  return answer;
}

// Variables a worker's solver will have: nvars, or more when a clause
// names a larger variable.
uint64_t vars_needed(uint32_t nvars, const Clauses &clauses) {
  uint64_t need = nvars;
  for (const std::vector<Lit> &c : clauses)
    for (const Lit l : c) need = std::max<uint64_t>(need, uint64_t{var_of(l)} + 1);
  return need;
}

}  // namespace

Outcome run_one(uint64_t worker, uint32_t nvars, const Clauses &clauses, const Config &config, StopFlag stop,
                bool want_proof, ProofSink *sink) {
  const bool stoppable = stop != nullptr;
  const std::atomic<bool> *flag = stop.get();
  Solver solver(nvars, config);
  if (stoppable) solver.set_stop(std::move(stop));
  if (want_proof && sink != nullptr) solver.stream_proof(sink);
  if (want_proof && sink == nullptr) solver.enable_proof();
  bool ok = true;
  for (const std::vector<Lit> &c : clauses) {
    if (!solver.add_clause(c.data(), c.size())) {
      ok = false;
      break;
    }
  }
  const uint8_t result = ok ? solver.solve(std::nullopt) : kUnsat;

  Outcome o;
  o.worker = worker;
  if (result == kSat) {
    o.sat = true;
    o.model = solver.take_model();
  } else if (result == kUnsat) {
    if (want_proof) o.proof = solver.take_proof();
  } else if (stoppable && flag->load(std::memory_order_relaxed)) {
    o.stopped = true;
  } else {
    // Without a conflict limit or deadline only the stop flag ends a search
    // early; anything else would pass a non-answer off as a refutation.
    QN_PANIC("search ended without an answer and without a stop request");
  }
  o.stats = solver.stats();
  return o;
}

std::optional<Outcome> run(uint32_t nvars, const Clauses &clauses, const Clauses *alt, uint64_t alt_threads,
                           const std::vector<Config> &configs, bool want_proof, WorkerBody body,
                           const std::vector<ProofSink *> &sinks, StopFlag stop) {
  const size_t n = configs.size();
  if (n == 0) return std::nullopt;
  if (n == 1) {
    const bool on_alt = alt != nullptr && alt_threads >= 1;
    Outcome o = body(0, nvars, on_alt ? *alt : clauses, configs[0], stop, want_proof, sinks.empty() ? nullptr : sinks[0]);
    o.from_alt = on_alt ? 1 : 0;
    return o;
  }
  const uint64_t alt_count = alt != nullptr ? std::min<uint64_t>(alt_threads, n) : 0;
  // Each worker's solver refuses tables beyond physical memory on its own;
  // workers that would fit one by one but not together are refused here,
  // before any thread starts.
  require_memory(add_sat(mul_sat(Solver::table_bytes(vars_needed(nvars, clauses)), n - alt_count),
                         mul_sat(Solver::table_bytes(alt_count > 0 ? vars_needed(nvars, *alt) : 0), alt_count)));
  return run_threaded(nvars, clauses, alt, alt_count, configs, want_proof, body, sinks, std::move(stop));
}

}  // namespace qn::portfolio
