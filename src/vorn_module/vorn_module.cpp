// vorn: the module that holds EventReader. It keeps process-wide state (its
// types and the fault exception), so it is imported by one interpreter only.
#include <Python.h>

#if defined(VORN_EXPECT_PY_DEBUG) && !defined(Py_DEBUG)
#error "building for a debug interpreter, but its headers lack Py_DEBUG"
#endif

#include <atomic>
#include <cstdint>
#include <optional>

#include "event_reader.hpp"
#include "python_support/arguments.hpp"
#include "python_support/errors.hpp"
#include "python_support/once_cell.hpp"
#include "python_support/py_ref.hpp"

namespace vorn::detail {
namespace {

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vorn",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The interpreter that first imported the module; the module keeps process
// state that cannot be shared with sub-interpreters.
std::atomic<std::int64_t> owner_interpreter{-1};

OnceCell<PyObject*> module_cell;

bool check_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError,
                      "attempted to fetch exception but none was set");
    }
    return false;
  }
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, id) &&
      expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "vorn does not support sub-interpreters: it was already "
                    "imported by another interpreter in this process");
    return false;
  }
  return true;
}

bool add_class(PyObject* module) {
  PyTypeObject* type = event_reader_type();
  if (type == nullptr) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(checked(PyList_New(0)));
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  } else if (!PyList_Check(all.get())) {
    raise_cast_error(all.get(), "list");
    return false;
  }
  PyRef name = PyRef::steal(checked(PyUnicode_FromString("EventReader")));
  if (PyList_Append(all.get(), name.get()) != 0) {
    fault_with_error("could not append __name__ to __all__");
  }
  return PyObject_SetAttrString(module, "EventReader",
                                reinterpret_cast<PyObject*>(type)) == 0;
}

std::optional<PyObject*> create_module() {
  PyRef module =
      PyRef::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
  if (!module) return std::nullopt;
#ifdef Py_GIL_DISABLED
  // The readers are not built for concurrent use; a free-threaded
  // interpreter re-enables the GIL when it imports the module.
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) {
    return std::nullopt;
  }
#endif
  if (!add_class(module.get())) return std::nullopt;
  return module.release();
}

}  // namespace
}  // namespace vorn::detail

PyMODINIT_FUNC PyInit_vorn() {
  using namespace vorn::detail;
  return guard([]() -> PyObject* {
    if (!check_interpreter()) return nullptr;
    PyObject* const* module = module_cell.get_or_try_init(create_module);
    return module != nullptr ? Py_NewRef(*module) : nullptr;
  });
}
