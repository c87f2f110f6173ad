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

#include "cli/formula_type.hpp"
#include "cli/module.hpp"
#include "cli/py_glue.hpp"
#include "cli/search_wire.hpp"

namespace qn::cli {
namespace {

constexpr size_t kBlockWords = size_t{1} << 14;

struct FeedObject : NativeObject {
  int fd;
  bool gone;  // the program closed its end
  std::vector<uint32_t> *words;
  std::vector<int64_t> *codes;
  std::vector<Lit> *lits;
};

FeedObject *as_feed(PyObject *o) { return reinterpret_cast<FeedObject *>(o); }

// Sends the buffered words (with `proof_fd` attached when >= 0); false with
// a Python error (a signal handler's, or a closed feed).
bool send_words(FeedObject *o, int proof_fd = -1) {
  if (o->fd < 0) {
    PyErr_SetString(PyExc_ValueError, "the feed is finished");
    return false;
  }
  const char *data = reinterpret_cast<const char *>(o->words->data());
  size_t left = o->words->size() * sizeof(uint32_t);
  while (left > 0 && !o->gone) {
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
    const ssize_t w = ::sendmsg(o->fd, &msg, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) {
      if (PyErr_CheckSignals() < 0) return false;
      continue;
    }
    if (w <= 0) {
      o->gone = true;
      break;
    }
    proof_fd = -1;  // sent with the first bytes
    data += w;
    left -= static_cast<size_t>(w);
  }
  o->words->clear();
  return true;
}

bool add(FeedObject *o, const Lit *lits, size_t n) {
  std::vector<uint32_t> &w = *o->words;
  w.push_back(static_cast<uint32_t>(n));
  w.insert(w.end(), lits, lits + n);
  return w.size() < kBlockWords || send_words(o);
}

PyObject *feed_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  int fd = -1;
  static const char *kw[] = {"fd", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i:ClauseFeed", const_cast<char **>(kw), &fd)) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject *self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  FeedObject *o = as_feed(self);
  o->fd = fd;
  o->gone = false;
  o->words = nullptr;
  o->codes = nullptr;
  o->lits = nullptr;
  PyObject *r = boundary([&]() -> PyObject * {
    o->words = new std::vector<uint32_t>();
    o->words->reserve(kBlockWords + 64);
    o->codes = new std::vector<int64_t>();
    o->lits = new std::vector<Lit>();
    return self;
  });
  if (r == nullptr) Py_DECREF(self);
  return r;
}

void feed_dealloc(PyObject *self) {
  FeedObject *o = as_feed(self);
  if (o->fd >= 0) ::close(o->fd);
  delete o->words;
  delete o->codes;
  delete o->lits;
  dealloc(self);
}

PyObject *feed_feed(PyObject *self, PyObject *args) {
  FeedObject *o = as_feed(self);
  return feed_block(args, *o->codes, *o->lits, [&](const Lit *l, size_t n) { return add(o, l, n); });
}

PyObject *feed_add_clause(PyObject *self, PyObject *clause) {
  FeedObject *o = as_feed(self);
  if (!lits_of(clause, *o->lits)) return nullptr;
  if (!add(o, o->lits->data(), o->lits->size())) return nullptr;
  Py_RETURN_NONE;
}

PyObject *feed_add_formula(PyObject *self, PyObject *formula) {
  FeedObject *o = as_feed(self);
  return add_formula_clauses(formula, [&](const Lit *lits, size_t n) { return add(o, lits, n); });
}

// finish(proof_fd=-1): True when the program took the whole formula.
PyObject *feed_finish(PyObject *self, PyObject *args) {
  int proof_fd = -1;
  if (!PyArg_ParseTuple(args, "|i:finish", &proof_fd)) return nullptr;
  FeedObject *o = as_feed(self);
  o->words->push_back(wire::kEndOfFormula);
  if (!send_words(o, proof_fd)) return nullptr;
  ::close(o->fd);
  o->fd = -1;
  return PyBool_FromLong(!o->gone);
}

PyObject *feed_close(PyObject *self, PyObject *) {
  FeedObject *o = as_feed(self);
  if (o->fd >= 0) ::close(o->fd);
  o->fd = -1;
  Py_RETURN_NONE;
}

PyObject *make_socketpair(PyObject *, PyObject *) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) < 0) return PyErr_SetFromErrno(PyExc_OSError);
  return Py_BuildValue("ii", fds[0], fds[1]);
}

PyMethodDef feed_methods[] = {
    {"feed", method<feed_feed>, METH_VARARGS,
     "feed(block, limit, tail)\n--\n\nSend the clauses of a block of DIMACS numbers; (clauses, maxvar, tail) or None."},
    {"add_clause", method<feed_add_clause>, METH_O, "add_clause(lits)\n--\n\nSend one clause of internal literals."},
    {"add_formula", method<feed_add_formula>, METH_O, "add_formula(formula)\n--\n\nSend every clause of a Formula."},
    {"finish", method<feed_finish>, METH_VARARGS,
     "finish(proof_fd=-1)\n--\n\nEnd the formula (with the proof file) and close; whether the program took it."},
    {"close", method<feed_close>, METH_NOARGS, "close()\n--\n\nClose the socket without ending the formula."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot feed_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(make<feed_new>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(feed_dealloc)},
    {Py_tp_methods, feed_methods},
    {Py_tp_doc, const_cast<char *>("ClauseFeed(fd)\n--\n\nClauses sent to the search program over socket fd.")},
    {0, nullptr},
};

PyType_Spec feed_spec = {"quillon_native_cli._scan.ClauseFeed", sizeof(FeedObject), 0, Py_TPFLAGS_DEFAULT,
                         feed_slots};

PyMethodDef feed_functions[] = {
    {"socketpair", entry<make_socketpair>, METH_NOARGS,
     "socketpair()\n--\n\nTwo connected Unix stream sockets (close-on-exec): (fd, fd)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_clause_feed_type(PyObject *module) {
  static PyObject *feed_type = nullptr;
  if (add_type(module, &feed_spec, "ClauseFeed", &feed_type) < 0) return -1;
  return PyModule_AddFunctions(module, feed_functions);
}

}  // namespace qn::cli
