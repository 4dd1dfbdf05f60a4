#pragma once

#include <Python.h>

namespace vorn::detail {

// The EventReader heap type, created on first use and kept for the life of
// the process. Returns null with a Python error set when creation fails.
PyTypeObject* event_reader_type();

}  // namespace vorn::detail
