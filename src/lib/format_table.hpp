#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "../stream/event_stream.hpp"
#include "../wd1_reader/wd1_reader.hpp"
#include "../wd2_reader/wd2_reader.hpp"
#include "errors.hpp"
#include "py_ref.hpp"

namespace vorn::detail {

using ReaderState = std::variant<WD1Reader, WD2Reader>;

// One event file format as Python sees it: the reader_type string and how a
// reader is created over a freshly opened stream.
struct FormatRow {
  std::string_view reader_type;
  // Returns the reader, or nullopt with a Python exception set and the file
  // closed.
  std::optional<ReaderState> (*create)(EventStream stream);
};

const FormatRow& wd1_format();
const FormatRow& wd2_format();

// Fills the empty `dict` with one event's header values, in the format's key
// order, followed by "data". Faults when the interpreter refuses.
void fill_event_dict(PyObject* dict, WD1Event&& event);
void fill_event_dict(PyObject* dict, WD2Event&& event);

// A dictionary key, kept 8-byte aligned because CPython decodes aligned
// ASCII a machine word at a time when it builds the fresh key string.
struct alignas(8) DictKey {
  char text[24] = {};
  std::size_t size = 0;

  consteval DictKey(std::string_view name) : size(name.size()) {
    for (std::size_t i = 0; i < name.size() && i < sizeof text; ++i) {
      text[i] = name[i];
    }
  }
};

// Inserts a fresh key string and the new reference `value`. A null value or
// a refused insertion is a fault.
inline void insert(PyObject* dict, const DictKey& key, PyObject* value) {
  PyRef owned_value = PyRef::steal(checked(value));
  PyRef owned_key = PyRef::steal(checked(PyUnicode_FromStringAndSize(
      key.text, static_cast<Py_ssize_t>(key.size))));
  if (PyDict_SetItem(dict, owned_key.get(), owned_value.get()) != 0) {
    fault_with_error("called `Result::unwrap()` on an `Err` value");
  }
}

}  // namespace vorn::detail
