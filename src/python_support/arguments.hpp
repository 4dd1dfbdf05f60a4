#pragma once

#include <Python.h>

#include <span>
#include <string_view>

namespace vorn::detail {

// TypeError "'{qualname of obj's type}' object cannot be cast as '{target}'".
PyObject* raise_cast_error(PyObject* obj, std::string_view target);

// Binds positional and keyword arguments to required positional-or-keyword
// parameters. Fills `out` with borrowed references, or raises TypeError and
// returns false.
bool bind_arguments(std::string_view full_name,
                    std::span<const char* const> names, PyObject* args,
                    PyObject* kwargs, std::span<PyObject*> out);

// UTF-8 text of a str argument, borrowed from the object. Raises and returns
// false when `obj` is not a str or has no UTF-8 form.
bool argument_text(PyObject* obj, const char* parameter, std::string_view& out);

}  // namespace vorn::detail
