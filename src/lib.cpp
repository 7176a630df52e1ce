// The module's root: the definition of `zorvat_codec`, its exec step and the
// `columnarize` entry.
//
// Everything here runs with the interpreter lock held (on a free-threaded
// build: with the thread attached, other threads running beside it), except
// the transform, which runs inside run_guarded with the lock released, and
// the copy of a large result into its new bytes object. The functions call
// only the C API and the C library: the only code that can throw is the
// pipeline, contained by run_guarded, so no C++ exception reaches the
// interpreter.
//
// Yet none of them is noexcept: a thread that takes the lock back after the
// interpreter began to finalize is ended by pthread_exit, whose forced unwind
// passes through these frames (from PyEval_RestoreThread, or from any Python
// code that a call runs), and a noexcept frame would turn it into
// std::terminate. Nothing here catches it, and what unwinds meanwhile touches
// no Python object without the lock (see Ref).
//
// Ownership: every reference taken is released on every path, through Ref or
// explicitly; the pipeline's output buffer and message die with the call's
// outcome.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "py_support.h"
#include "base/pages.h"
#include "transform/pipeline.h"

namespace {

namespace tf = zorvat::transform;
namespace json = zorvat::json;
using zorvat::py::Ref;
using zorvat::py::restore_pending_error;
using zorvat::py::take_pending_error;

// ---------------------------------------------------------------------------
// Process-wide objects, created once at first need and never released.

// Any thread may get there first, and on a free-threaded build several at
// once: an atomic compare-and-swap claims the creation, so exactly one thread
// creates. Creation can let other threads run even where there is a lock
// (allocating may start the collector, whose finalizers run Python code that
// may release it), so a thread finding a creation in progress waits for it
// detached from the interpreter (so that the creator, and on a free-threaded
// build the collector's stop-the-world pause, can proceed) and then uses the
// creator's object, or retries if that creation failed. A finalizer on the
// creating thread that needs the same object gets an error rather than
// waiting for itself.
class OnceObject {
 public:
  constexpr OnceObject() noexcept = default;

  // Borrowed reference, or null with an exception set.
  template <class Create>
  PyObject* get(Create create) {
    const unsigned long self = PyThread_get_thread_ident();
    for (;;) {
      int state = state_.load(std::memory_order_acquire);
      if (state == kReady) return value_;
      if (state == kIdle) {
        if (!state_.compare_exchange_strong(state, kCreating, std::memory_order_acquire,
                                            std::memory_order_acquire)) {
          continue;  // another thread claimed it first
        }
        creator_.store(self, std::memory_order_relaxed);
        // Should this thread be ended inside create() (see the top of the
        // file), the claim is dropped so that no waiter waits forever.
        struct Claim {
          OnceObject& once;
          bool settled = false;
          ~Claim() {
            if (!settled) once.settle(nullptr);
          }
        } claim{*this};
        PyObject* made = create();
        claim.settled = true;
        settle(made);
        return made;
      }
      // The creator is read only to find out whether it is this thread. It is
      // cleared before every release of a claim, so a stale value is never
      // this thread's own ident from an earlier, failed creation.
      if (creator_.load(std::memory_order_relaxed) == self) {
        PyErr_SetString(PyExc_RuntimeError,
                        "zorvat_codec: a shared object was needed while it was being created");
        return nullptr;
      }
      PyThreadState* saved = PyEval_SaveThread();
      state_.wait(kCreating, std::memory_order_acquire);
      PyEval_RestoreThread(saved);
    }
  }

 private:
  static constexpr int kIdle = 0;
  static constexpr int kCreating = 1;
  static constexpr int kReady = 2;

  // Publishes a creation's outcome: the object (ready), or null (idle again,
  // for the next caller to retry).
  void settle(PyObject* made) {
    value_ = made;
    creator_.store(0, std::memory_order_relaxed);
    state_.store(made != nullptr ? kReady : kIdle, std::memory_order_release);
    state_.notify_all();
  }

  std::atomic<int> state_{kIdle};
  std::atomic<unsigned long> creator_{0};
  PyObject* value_ = nullptr;  // written before the release of kReady
};

constinit OnceObject g_internal_failure;

constexpr const char kInternalFailureDoc[] =
    "Raised by zorvat_codec when a Python object that it needs on the way out\n"
    "cannot be created (in practice only when memory is exhausted).\n"
    "\n"
    "It derives from BaseException on purpose, like SystemExit: such a failure\n"
    "means the interpreter itself is in trouble, so it must not be swallowed by\n"
    "an `except Exception:` guard but propagate to the top.";

PyObject* internal_failure_type() {
  return g_internal_failure.get([]() {
    return PyErr_NewExceptionWithDoc("zorvat_codec.InternalFailure", kInternalFailureDoc, PyExc_BaseException,
                                     nullptr);
  });
}

// Raises the internal-failure exception with `text` as its one argument. If
// the type itself cannot be created, the error of that attempt stands.
void raise_internal_failure(const char* text) {
  PyObject* type = internal_failure_type();
  if (type != nullptr) PyErr_SetString(type, text);
}

// ---------------------------------------------------------------------------
// Cold error-raising helpers. Each returns null so that callers can
// `return raise_...(...)`.

// A Python object needed on the way out could not be created: the pending
// error goes to the unraisable hook, and the internal failure is raised.
PyObject* null_object_failure() {
  PyErr_WriteUnraisable(nullptr);
  raise_internal_failure("PyObject pointer is null");
  return nullptr;
}

// Raises `type` with `text` (a new reference, or null when building the text
// failed) as its only argument.
PyObject* raise_text(PyObject* type, PyObject* text) {
  if (text == nullptr) return null_object_failure();
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

PyObject* raise_type_error(const char* text) {
  return raise_text(PyExc_TypeError, PyUnicode_FromString(text));
}

// The interpreter's own wording for a failed type check.
PyObject* not_instance_text(PyObject* obj, const char* expected) {
  if (obj == Py_None) return PyUnicode_FromFormat("'None' is not an instance of '%s'", expected);
  PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
  if (qualname == nullptr) {
    PyErr_Clear();
    return PyUnicode_FromFormat("'<failed to extract type name>' object is not an instance of '%s'",
                                expected);
  }
  PyObject* text = PyUnicode_FromFormat("'%U' object is not an instance of '%s'", qualname, expected);
  Py_DECREF(qualname);
  return text;
}

// The keyword as the caller wrote it. A name with lone surrogates has no
// UTF-8 form, so each surrogate is shown as the replacement characters of its
// three surrogatepass bytes rather than failing to report the real error.
// A str subclass whose __str__ fails (or returns something else) is shown by
// its own contents, as str.__str__ would: a bad name is a TypeError, never
// the internal failure that escapes `except Exception:`.
PyObject* unexpected_keyword_text(PyObject* keyword) {
  Ref held(Py_NewRef(keyword));  // __str__ may drop the caller's references
  Ref text(PyObject_Str(keyword));
  if (!text && PyUnicode_Check(keyword) && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    text.p = PyUnicode_FromObject(keyword);
  }
  if (!text) return nullptr;
  Ref bytes(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!bytes) return nullptr;
  Ref shown(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
  if (!shown) return nullptr;
  return PyUnicode_FromFormat("columnarize() got an unexpected keyword argument '%U'", shown.get());
}

// Adds `note` to the pending exception through its own add_note, so that it
// shows in __notes__ and in tracebacks. The exception stays what it was; if
// the note cannot be added, that error is dropped and the exception is
// raised without it.
void add_conversion_note(const char* note) {
  PyObject* value = take_pending_error();
  if (value != nullptr) {
    Ref result(PyObject_CallMethod(value, "add_note", "s", note));
    PyErr_Clear();
  }
  restore_pending_error(value);
}

// A failed append at import: the internal failure, with the interpreter's
// error kept as its context.
void raise_append_failure() {
  PyObject* cause = take_pending_error();
  raise_internal_failure("could not append __name__ to __all__");
  PyObject* failure = take_pending_error();
  if (failure != nullptr && cause != nullptr) {
    PyException_SetContext(failure, cause);  // steals `cause`
    cause = nullptr;
  }
  Py_XDECREF(cause);
  restore_pending_error(failure);
}

// RuntimeError with a transform error's message, built here from its prefix
// and tail so that reporting needs no C++ allocation. The details are
// UTF-8; should a contained failure ever carry other bytes, they are shown
// replaced rather than turning a transform failure into an internal one.
PyObject* raise_transform_error(const zorvat::transform::TransformError& error) {
  const std::string_view prefix = error.prefix();
  const std::string_view rest = error.tail();
  Ref head(PyUnicode_FromStringAndSize(prefix.data(), static_cast<Py_ssize_t>(prefix.size())));
  Ref tail(PyUnicode_DecodeUTF8(rest.data(), static_cast<Py_ssize_t>(rest.size()), "replace"));
  if (!head || !tail) return null_object_failure();
  return raise_text(PyExc_RuntimeError, PyUnicode_Concat(head.get(), tail.get()));
}

// ---------------------------------------------------------------------------
// The `columnarize` entry.

// From this size on, the result is filled with the lock released: copying
// 1 MiB costs far more than giving the lock up and taking it back.
constexpr std::size_t kCopyUnlocked = std::size_t{1} << 20;

constexpr const char kPayloadNote[] = "while processing 'payload'";
constexpr const char kMinRowsNote[] = "while processing 'min_rows'";

constexpr const char* kMultipleValues[2] = {
    "columnarize() got multiple values for argument 'payload'",
    "columnarize() got multiple values for argument 'min_rows'",
};

// The slot that a keyword name selects: 0 payload, 1 min_rows, -1 neither.
int keyword_slot(PyObject* keyword) {
  Py_ssize_t size = 0;
  const char* name = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (name == nullptr) {
    PyErr_Clear();  // lone surrogates: no such parameter either
    return -1;
  }
  if (size == 7 && std::memcmp(name, "payload", 7) == 0) return 0;
  if (size == 8 && std::memcmp(name, "min_rows", 8) == 0) return 1;
  return -1;
}

// Checks that `min_rows` fits an unsigned 64-bit integer; the value itself
// is not used. False with an exception set when it does not.
bool check_min_rows(PyObject* min_rows) {
  unsigned long long value = 0;
  if (PyType_HasFeature(Py_TYPE(min_rows), Py_TPFLAGS_LONG_SUBCLASS)) {
    value = PyLong_AsUnsignedLongLong(min_rows);
    return !(value == ULLONG_MAX && PyErr_Occurred() != nullptr);
  }
  PyObject* index = PyNumber_Index(min_rows);
  if (index == nullptr) return false;
  value = PyLong_AsUnsignedLongLong(index);
  if (value == ULLONG_MAX && PyErr_Occurred() != nullptr) {
    // Releasing an int subclass may run a finalizer: not with an error pending.
    PyObject* error = take_pending_error();
    Py_DECREF(index);
    restore_pending_error(error);
    return false;
  }
  Py_DECREF(index);
  return true;
}

// The document as a new bytes object. The native buffer goes back to the
// system block by block as it is copied, so a huge document is not held
// twice.
PyObject* document_bytes(zorvat::OutputBuffer& document) {
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(document.size()));
  if (bytes == nullptr) return null_object_failure();
  if (document.size() < kCopyUnlocked) {
    document.move_out(PyBytes_AS_STRING(bytes));
  } else {
    // No other thread can see the new object yet, so a large document is
    // copied into it with the lock released (as the io module fills the
    // bytes it reads into): the copy and its page faults are most of what
    // a large call does after the transform, and other threads run meanwhile.
    PyThreadState* const unlocked = PyEval_SaveThread();
    zorvat::advise_huge_pages(PyBytes_AS_STRING(bytes), document.size());
    document.move_out(PyBytes_AS_STRING(bytes));
    PyEval_RestoreThread(unlocked);
  }
  return bytes;
}

// Binds the vector call's arguments to payload and min_rows (borrowed from
// the vector: no argument tuple or dict is built), as CPython words its own
// argument errors; false with the exception set.
bool bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* (&slots)[2]) {
  if (nargs > 2) {
    raise_text(PyExc_TypeError,
               PyUnicode_FromFormat("columnarize() takes from 1 to 2 positional arguments but %zd were given", nargs));
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
      const int slot = keyword_slot(keyword);
      if (slot < 0) return raise_text(PyExc_TypeError, unexpected_keyword_text(keyword)), false;
      if (slots[slot] != nullptr) return raise_type_error(kMultipleValues[slot]), false;
      slots[slot] = args[nargs + k];
    }
  }
  if (slots[0] == nullptr) {
    raise_type_error("columnarize() missing 1 required positional argument: 'payload'");
    return false;
  }
  return true;
}

// zorvat_codec.columnarize: bind, convert, hold references, release the
// lock, run the transform, take the lock back, convert its outcome.
PyObject* py_columnarize(PyObject* /*self: null, the function is static*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* slots[2] = {nullptr, nullptr};
  if (!bind_arguments(args, nargs, kwnames, slots)) return nullptr;
  // Owned from here to the end of the call: converting min_rows, adding a
  // note, even an allocation (a collection runs finalizers) may run Python
  // code that drops the caller's references, and the payload's buffer is
  // read long after that.
  const Ref payload_ref(Py_NewRef(slots[0]));
  const Ref min_rows_ref(Py_XNewRef(slots[1]));
  PyObject* const payload = payload_ref.get();

  if (!PyType_HasFeature(Py_TYPE(payload), Py_TPFLAGS_BYTES_SUBCLASS)) {
    raise_text(PyExc_TypeError, not_instance_text(payload, "bytes"));
    add_conversion_note(kPayloadNote);
    return nullptr;
  }
  const char* data = PyBytes_AsString(payload);
  const Py_ssize_t size = data != nullptr ? PyBytes_Size(payload) : -1;
  if (size < 0) {
    add_conversion_note(kPayloadNote);
    return nullptr;
  }

  // Converted only to reject what an unsigned 64-bit count would not
  // accept: the Python caller applies its own row-count guard before it
  // calls, and the transform has none.
  if (min_rows_ref && !check_min_rows(min_rows_ref.get())) {
    add_conversion_note(kMinRowsNote);
    return nullptr;
  }

  // A bytes object never changes once made, so the transform reads its
  // buffer in place with the lock released, as CPython's own hashing and
  // compression modules do: no copy made under the lock (which two threads
  // would take turns at), and no second payload in memory. payload_ref
  // keeps the object alive even if the caller's reference goes while the
  // lock is free.
  const std::string_view input(data, static_cast<std::size_t>(size));
  PyThreadState* const saved = PyEval_SaveThread();
  tf::Outcome outcome = tf::run_guarded([input] { return tf::columnarize_json(input); });
  PyEval_RestoreThread(saved);

  if (!outcome) return raise_transform_error(outcome.error());
  return document_bytes(outcome.value());
}

// Lines 1-3 give CPython the text signature; __doc__ is the rest. The text
// is published as it stands, word for word (callers compare it), including
// its mention of str, which the binding rejects; "a tool call" is the Python
// caller's own call that the codec serves.
constexpr const char kColumnarizeDoc[] =
    "columnarize(payload, min_rows=20)\n"
    "--\n"
    "\n"
    "Columnarize a row-oriented JSON payload (bytes or str), GIL released\n"
    "for the duration of the transform.\n"
    "\n"
    "Args:\n"
    "    payload: UTF-8 JSON bytes/str encoding a `list[dict]` of rows.\n"
    "    min_rows: Accepted for parity with the Python codec's signature;\n"
    "        not re-checked here (the Python caller already applied the\n"
    "        guard before calling this function).\n"
    "\n"
    "Returns:\n"
    "    UTF-8 JSON bytes encoding `{\"columns\", \"rows\", \"constants\"}`.\n"
    "\n"
    "Panic safety:\n"
    "    `columnarize_json` runs under a catch-all guard, so an unexpected\n"
    "    internal failure (such as an unforeseen indexing error) surfaces as\n"
    "    an ordinary `RuntimeError` rather than as an exception that derives\n"
    "    from `BaseException` but not from `Exception`. Such an exception\n"
    "    would get past the Python caller's `except Exception:` guard and\n"
    "    break the \"a broken codec must never break a tool call\" contract.\n"
    "    A stack overflow is not covered: it ends the process and cannot be\n"
    "    caught by any mechanism.";

// The C API stores every entry as PyCFunction and casts it back by the flags.
PyMethodDef g_columnarize_def = {
    "columnarize",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_columnarize)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    kColumnarizeDoc,
};

// ---------------------------------------------------------------------------
// The exec step: adds `columnarize` and lists it in `__all__`.

int exec_module(PyObject* module) {
  if (!PyType_IsSubtype(Py_TYPE(module), &PyModule_Type)) {
    raise_text(PyExc_TypeError, not_instance_text(module, "module"));
    return -1;
  }
  // The path switch reads the environment once: here, under the lock, so
  // that no call reads it while another thread may be changing os.environ.
  tf::span_pass_enabled();

  Ref function;
  {
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    // The module as owner and its name as __module__; METH_STATIC keeps the
    // owner out of the calls.
    function.p = PyCMethod_New(&g_columnarize_def, module, module_name.get(), nullptr);
    if (!function) return -1;
  }

  Ref function_name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!function_name) return -1;
  if (!PyUnicode_Check(function_name.get())) {
    raise_text(PyExc_TypeError, not_instance_text(function_name.get(), "str"));
    return -1;
  }

  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (all) {
    if (!PyList_Check(all.get())) {
      raise_text(PyExc_TypeError, not_instance_text(all.get(), "list"));
      return -1;
    }
  } else {
    if (!PyErr_GivenExceptionMatches(PyErr_Occurred(), PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all.p = PyList_New(0);
    if (!all) return -1;
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }

  if (PyList_Append(all.get(), function_name.get()) < 0) {
    raise_append_failure();
    return -1;
  }
  if (PyObject_SetAttr(module, function_name.get(), function.get()) < 0) return -1;
  return 0;
}

PyModuleDef_Slot g_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The InternalFailure type is created once per process, in whichever
    // interpreter first needs it, and handed to every caller: objects must
    // not cross interpreters, so sub-interpreters that check their extensions
    // refuse the module. Supporting them would mean per-module state, which
    // the static function (it gets no module) cannot reach.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Nothing here relies on the GIL: the transform already runs without it,
    // the once-created type is claimed by compare-and-swap, and every object
    // a call reads it owns or the caller keeps alive for the call. A
    // free-threaded interpreter keeps the GIL off when it imports the module.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "zorvat_codec",
    "",       // __doc__ is '' rather than None
    0,        // no per-module state
    nullptr,  // columnarize is added by the exec step
    g_module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_zorvat_codec(void) { return PyModuleDef_Init(&g_module_def); }
