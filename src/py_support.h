// Small helpers over the CPython C API for the binding: an owning reference,
// and the pending exception as one object on every supported version.
//
// None of these is noexcept, for the reason given at the top of lib.cpp: a
// thread ended at interpreter exit unwinds through them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zorvat::py {

// An owned reference, released when it goes out of scope. Unless the thread
// lost the lock: a thread ended at interpreter exit unwinds without it, and
// the reference is then left to the dying interpreter.
struct Ref {
  PyObject* p = nullptr;
  explicit Ref(PyObject* o = nullptr) noexcept : p(o) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() {
    if (p != nullptr && PyGILState_Check()) Py_DECREF(p);
  }
  PyObject* get() const noexcept { return p; }
  explicit operator bool() const noexcept { return p != nullptr; }
};

// The pending exception as one object. 3.12 keeps it that way and deprecates
// the (type, value, traceback) triple; 3.11 has only the triple, normalized
// here so that both paths see the same exception object.

// Takes the pending exception out of the error indicator (new reference, or
// null when none is pending), its traceback attached.
inline PyObject* take_pending_error() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

// Makes `error` (stolen; null clears) the pending exception again.
inline void restore_pending_error(PyObject* error) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(error);
#else
  if (error == nullptr) {
    PyErr_Restore(nullptr, nullptr, nullptr);
    return;
  }
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(error))), error,
                PyException_GetTraceback(error));
#endif
}

}  // namespace zorvat::py
