#pragma once

#include <Python.h>

#include <cstdio>
#include <new>
#include <string>
#include <string_view>

#include "py_ref.hpp"
#include "stream/fault.hpp"
#include "stream/read_error.hpp"

namespace vorn::detail {

// --- Faults -------------------------------------------------------------

// The text of the pending Python error, taken out of the interpreter, as
// "PyErr { type: ..., value: ..., traceback: ... }".
std::string take_error_rendering();

// A fault that wraps the pending Python error: "{message}: PyErr { ... }".
[[noreturn]] void fault_with_error(
    std::string_view message,
    std::source_location where = std::source_location::current());

// A Python call that can only fail when memory or the interpreter is broken
// failed anyway: prints the pending error and faults.
[[noreturn]] void api_fault(
    std::source_location where = std::source_location::current());

// Returns `obj` when it is not null, else api_fault().
inline PyObject* checked(PyObject* obj, std::source_location where =
                                            std::source_location::current()) {
  if (obj == nullptr) api_fault(where);
  return obj;
}

// Writes the fault report to standard error and sets the panic exception.
void raise_fault(const Fault& fault) noexcept;
void raise_unknown_fault() noexcept;

// Runs an entry point's body; a fault or allocation failure becomes one
// Python exception and a null return. Nothing unwinds into the interpreter.
template <class Body>
PyObject* guard(Body&& body) noexcept {
  try {
    return body();
  } catch (const Fault& fault) {
    raise_fault(fault);
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError, "cannot allocate memory");
  } catch (...) {
    raise_unknown_fault();
  }
  return nullptr;
}

// For deallocation slots, which cannot return an error: a fault is reported
// through sys.unraisablehook, leaving any exception already in flight alone.
void report_unraisable_fault(const Fault* fault) noexcept;

template <class Body>
void guard_void(Body&& body) noexcept {
  try {
    body();
  } catch (const Fault& fault) {
    report_unraisable_fault(&fault);
  } catch (...) {
    report_unraisable_fault(nullptr);
  }
}

// --- The pending exception ----------------------------------------------

// The pending exception as one normalised object (with its traceback
// attached), leaving no exception set.
PyRef take_exception();

// Sets `exc` as the pending exception again; nothing happens for an empty one.
void restore_exception(PyRef exc);

// --- Error values -------------------------------------------------------

// Raises a read or open failure. kOs picks the OSError subclass that the
// errno names; with `plain_os_error` every kind raises exactly OSError.
// End of data raises its fixed message. Always returns null.
PyObject* raise_read_error(const ReadError& err, bool plain_os_error = false);

// Raises `type(message)`. Always returns null.
PyObject* raise_message(PyObject* type, std::string_view message);
PyObject* raise_with(PyObject* type, PyRef message);

}  // namespace vorn::detail
