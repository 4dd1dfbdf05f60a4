#include "arguments.hpp"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "py_ref.hpp"

namespace vorn::detail {
namespace {

std::string quote_list(std::span<const char* const> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) out += names.size() == 2 ? " and " : ", ";
    if (names.size() > 2 && i + 1 == names.size()) out += "and ";
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

}  // namespace

PyObject* raise_cast_error(PyObject* obj, std::string_view target) {
  PyRef qualname = PyRef::steal(checked(PyType_GetQualName(Py_TYPE(obj))));
  const std::string target_text(target);
  return raise_with(PyExc_TypeError,
                    PyRef::steal(checked(PyUnicode_FromFormat(
                        "'%U' object cannot be cast as '%s'", qualname.get(),
                        target_text.c_str()))));
}

bool bind_arguments(std::string_view full_name,
                    std::span<const char* const> names, std::size_t positional,
                    PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> out) {
  const auto name = [&] { return std::string(full_name); };
  const Py_ssize_t given = PyTuple_GET_SIZE(args);
  const auto count = static_cast<Py_ssize_t>(positional);
  if (given > count) {
    raise_message(PyExc_TypeError,
                  name() + " takes " + std::to_string(count) +
                      " positional arguments but " + std::to_string(given) +
                      (given == 1 ? " was given" : " were given"));
    return false;
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto at = static_cast<Py_ssize_t>(i);
    out[i] = at < given ? PyTuple_GET_ITEM(args, at) : nullptr;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // Callers mostly name the arguments in the order of the parameters, so
    // the search for each starts after the last one found.
    std::size_t next = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::size_t slot = names.size();
      if (PyUnicode_Check(key)) {
        for (std::size_t k = 0; k < names.size(); ++k) {
          const std::size_t j = (next + k) % names.size();
          if (PyUnicode_CompareWithASCIIString(key, names[j]) == 0) {
            slot = j;
            break;
          }
        }
      }
      if (slot == names.size()) {
        raise_with(PyExc_TypeError,
                   PyRef::steal(checked(PyUnicode_FromFormat(
                       "%s got an unexpected keyword argument '%S'",
                       name().c_str(), key))));
        return false;
      }
      if (out[slot] != nullptr) {
        raise_message(
            PyExc_TypeError,
            name() + " got multiple values for argument '" + names[slot] + "'");
        return false;
      }
      out[slot] = value;
      next = slot + 1;
    }
  }
  // As in the interpreter, missing positional arguments are named before
  // missing keyword-only ones.
  for (const bool keyword_only : {false, true}) {
    std::vector<const char*> missing;
    for (std::size_t j = keyword_only ? positional : 0;
         j < (keyword_only ? names.size() : positional); ++j) {
      if (out[j] == nullptr) missing.push_back(names[j]);
    }
    if (!missing.empty()) {
      raise_message(
          PyExc_TypeError,
          name() + " missing " + std::to_string(missing.size()) + " required " +
              (keyword_only ? "keyword-only" : "positional") + " argument" +
              (missing.size() == 1 ? "" : "s") + ": " + quote_list(missing));
      return false;
    }
  }
  return true;
}

bool argument_text(PyObject* obj, const char* parameter,
                   std::string_view& out) {
  if (!PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_UNICODE_SUBCLASS)) {
    raise_cast_error(obj, "str");
  } else {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 != nullptr) {
      out = std::string_view(utf8, static_cast<std::size_t>(size));
      return true;
    }
  }
  // Only a TypeError gains the parameter's name; anything else (a
  // UnicodeEncodeError for lone surrogates) is raised as it is.
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyRef original = take_exception();
  if (Py_TYPE(original.get()) !=
      reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_exception(std::move(original));
    return false;
  }
  PyRef wrapped = PyRef::steal(checked(PyObject_CallFunction(
      PyExc_TypeError, "N",
      checked(PyUnicode_FromFormat("argument '%s': %S", parameter,
                                   original.get())))));
  PyException_SetCause(wrapped.get(), PyException_GetCause(original.get()));
  restore_exception(std::move(wrapped));
  return false;
}

}  // namespace vorn::detail
