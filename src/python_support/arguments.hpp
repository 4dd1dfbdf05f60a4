#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

namespace vorn::detail {

// TypeError "'{qualname of obj's type}' object cannot be cast as '{target}'".
PyObject* raise_cast_error(PyObject* obj, std::string_view target);

// Binds positional and keyword arguments to required parameters, the first
// `positional` of them positional-or-keyword and the rest keyword-only. Fills
// `out` with borrowed references, or raises TypeError with the message the
// interpreter gives for a Python function of that signature and returns
// false.
bool bind_arguments(std::string_view full_name,
                    std::span<const char* const> names, std::size_t positional,
                    PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// Every parameter positional-or-keyword.
inline bool bind_arguments(std::string_view full_name,
                           std::span<const char* const> names, PyObject* args,
                           PyObject* kwargs, std::span<PyObject*> out) {
  return bind_arguments(full_name, names, names.size(), args, kwargs, out);
}

// UTF-8 text of a str argument, borrowed from the object. Raises and returns
// false when `obj` is not a str or has no UTF-8 form.
bool argument_text(PyObject* obj, const char* parameter, std::string_view& out);

}  // namespace vorn::detail
