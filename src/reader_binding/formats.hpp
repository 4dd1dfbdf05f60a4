#pragma once

#include <Python.h>

#include <optional>
#include <string_view>
#include <variant>

#include "stream/event_stream.hpp"
#include "wd1_reader/wd1_reader.hpp"
#include "wd2_reader/wd2_reader.hpp"

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

// The row whose reader_type is `reader_type`, or null when none is.
const FormatRow* find_format(std::string_view reader_type);

// Opens the file named by the str `path` with the reader the str
// `reader_type` names, as EventReader(path, reader_type) does: the reader,
// or nullopt with the exception EventReader raises set.
std::optional<ReaderState> open_event_file(PyObject* path,
                                           PyObject* reader_type);

// Fills the empty `dict` with one event's header values, in the format's key
// order, followed by "data". Faults when the interpreter refuses.
void fill_event_dict(PyObject* dict, WD1Event&& event);
void fill_event_dict(PyObject* dict, WD2Event&& event);

}  // namespace vorn::detail
