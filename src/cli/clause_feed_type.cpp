// ClauseFeed(fd): the clauses the command reads, written to its search
// program's socket `fd` (search_wire.hpp) in blocks of 64 KiB, so that the
// command itself never keeps the formula.  feed(block, limit, tail) and
// add_clause(lits) as Runner's; finish(proof_fd) ends the formula (handing
// over the proof file when proof_fd >= 0) and closes the socket;
// add_formula(formula) sends the clauses of a Formula read beforehand.  When the
// program has gone away, clauses are dropped without an error: its exit
// tells the command what happened.  socketpair() gives the two ends.
#include <Python.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "cli/module.hpp"
#include "cli/py_glue.hpp"
#include "cli/search_wire.hpp"

namespace qn::cli {
namespace {

constexpr size_t kBlockWords = size_t{1} << 14;

struct FeedState {
  int fd = -1;
  bool gone = false;  // the program closed its end
  std::vector<uint32_t> words;
  std::vector<int64_t> codes;  // scratch of the clause input
  std::vector<Lit> lits;
  ~FeedState() {
    if (fd >= 0) ::close(fd);
  }
  bool add(const Lit *lits, size_t n);
};

// Sends the buffered words (with `proof_fd` attached when >= 0); false with
// a Python error (a signal handler's, or a closed feed).
bool send_words(FeedState *o, int proof_fd = -1) {
  if (o->fd < 0) {
    PyErr_SetString(PyExc_ValueError, "the feed is finished");
    return false;
  }
  const wire::Sent sent =
      o->gone ? wire::Sent::kAll
              : wire::send_words(o->fd, o->words.data(), o->words.size(), proof_fd,
                                 [] { return PyErr_CheckSignals() == 0; });
  if (sent == wire::Sent::kStopped) return false;
  if (sent == wire::Sent::kGone) o->gone = true;
  o->words.clear();
  return true;
}

bool FeedState::add(const Lit *l, size_t n) {
  words.push_back(static_cast<uint32_t>(n));
  words.insert(words.end(), l, l + n);
  return words.size() < kBlockWords || send_words(this);
}

PyObject *feed_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  int fd = -1;
  static const char *kw[] = {"fd", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i:ClauseFeed", const_cast<char **>(kw), &fd)) return nullptr;
  auto *o = new FeedState();
  o->fd = fd;
  o->words.reserve(kBlockWords + 64);
  return glue::box_alloc(type, o);
}

// finish(proof_fd=-1): True when the program took the whole formula.
PyObject *feed_finish(FeedState &feed, PyObject *args) {
  int proof_fd = -1;
  if (!PyArg_ParseTuple(args, "|i:finish", &proof_fd)) return nullptr;
  feed.words.push_back(wire::kEndOfFormula);
  if (!send_words(&feed, proof_fd)) return nullptr;
  ::close(feed.fd);
  feed.fd = -1;
  return PyBool_FromLong(!feed.gone);
}

PyObject *feed_close(FeedState &o, PyObject *) {
  if (o.fd >= 0) ::close(o.fd);
  o.fd = -1;
  Py_RETURN_NONE;
}

PyObject *make_socketpair(PyObject *, PyObject *) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) < 0) return PyErr_SetFromErrno(PyExc_OSError);
  return Py_BuildValue("ii", fds[0], fds[1]);
}

PyMethodDef feed_methods[] = {
    QN_CLAUSE_INPUT(FeedState, "Send"),
    QN_FORMULA_INPUT(FeedState, "Send"),
    {"finish", method<FeedState, feed_finish>, METH_VARARGS,
     "finish(proof_fd=-1)\n--\n\nEnd the formula (with the proof file) and close; whether the program took it."},
    {"close", method<FeedState, feed_close>, METH_NOARGS, "close()\n--\n\nClose the socket without ending the formula."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef feed_functions[] = {
    {"socketpair", entry<make_socketpair>, METH_NOARGS,
     "socketpair()\n--\n\nTwo connected Unix stream sockets (close-on-exec): (fd, fd)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_clause_feed_type(PyObject *module) {
  if (add_class<FeedState>(module, kFeedType,
                           {.name = "quillon_native_cli._scan.ClauseFeed",
                            .doc = "ClauseFeed(fd)\n--\n\nClauses sent to the search program over socket fd.",
                            .make = make<feed_new>, .methods = feed_methods}) < 0)
    return -1;
  return PyModule_AddFunctions(module, feed_functions);
}

}  // namespace qn::cli
