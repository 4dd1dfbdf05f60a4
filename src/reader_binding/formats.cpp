// EventReader's format table: both rows side by side, each with its
// reader_type string, how its reader is created and how one of its events
// becomes a dict.
#include "formats.hpp"

#include <cstddef>
#include <utility>

#include "python_support/arguments.hpp"
#include "python_support/errors.hpp"
#include "python_support/py_ref.hpp"
#include "sample_array.hpp"

namespace vorn::detail {
namespace {

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

// --- The WD1 row ----------------------------------------------------------

std::optional<ReaderState> create_wd1(EventStream stream) {
  return ReaderState(std::in_place_type<WD1Reader>, std::move(stream));
}

// --- The WD2 row ----------------------------------------------------------

std::optional<ReaderState> create_wd2(EventStream stream) {
  auto created = WD2Reader::create(std::move(stream));
  if (auto* err = std::get_if<ReadError>(&created)) {
    // Every failure to detect the layout is a plain OSError, whatever errno.
    raise_read_error(*err, /*plain_os_error=*/true);
    return std::nullopt;
  }
  return ReaderState(std::in_place_type<WD2Reader>,
                     std::move(std::get<WD2Reader>(created)));
}

}  // namespace

const FormatRow& wd1_format() {
  static const FormatRow row{"WD1", &create_wd1};
  return row;
}

const FormatRow& wd2_format() {
  static const FormatRow row{"WD2", &create_wd2};
  return row;
}

const FormatRow* find_format(std::string_view reader_type) {
  for (const FormatRow* row : {&wd1_format(), &wd2_format()}) {
    if (row->reader_type == reader_type) return row;
  }
  return nullptr;
}

std::optional<ReaderState> open_event_file(PyObject* path_obj,
                                           PyObject* reader_type_obj) {
  std::string_view path;
  std::string_view reader_type;
  if (!argument_text(path_obj, "path", path) ||
      !argument_text(reader_type_obj, "reader_type", reader_type)) {
    return std::nullopt;
  }
  if (path.find('\0') != std::string_view::npos) {
    raise_message(PyExc_OSError, "file name contained an unexpected NUL byte");
    return std::nullopt;
  }
  // The str object keeps its UTF-8 form, NUL-terminated, while it lives.
  auto opened = open_read_only(path.data());
  if (const int* err = std::get_if<int>(&opened)) {
    raise_read_error(ReadError::os(*err));
    return std::nullopt;
  }
  EventStream stream(std::move(std::get<FileDescriptor>(opened)));

  const FormatRow* row = find_format(reader_type);
  if (row == nullptr) {
    stream.release();
    PyRef message = PyRef::steal(checked(PyUnicode_FromFormat(
        "unknown reader type '%U', expected 'WD1' or 'WD2'", reader_type_obj)));
    PyErr_SetObject(PyExc_ValueError, message.get());
    return std::nullopt;
  }
  return row->create(std::move(stream));
}

void fill_event_dict(PyObject* dict, WD1Event&& event) {
  static constexpr DictKey kEventSize("event_size");
  static constexpr DictKey kBoardId("board_id");
  static constexpr DictKey kPattern("pattern");
  static constexpr DictKey kBoardChannel("board_channel");
  static constexpr DictKey kEventCounter("event_counter");
  static constexpr DictKey kTimestamp("timestamp");
  static constexpr DictKey kData("data");
  insert(dict, kEventSize, PyLong_FromLong(event.event_size));
  insert(dict, kBoardId, PyLong_FromLong(event.board_id));
  insert(dict, kPattern, PyLong_FromLong(event.pattern));
  insert(dict, kBoardChannel, PyLong_FromLong(event.board_channel));
  insert(dict, kEventCounter, PyLong_FromLong(event.event_counter));
  insert(dict, kTimestamp, PyLong_FromLong(event.timestamp));
  insert(dict, kData, make_sample_array(std::move(event.samples)));
}

void fill_event_dict(PyObject* dict, WD2Event&& event) {
  static constexpr DictKey kEventCounter("event_counter");
  static constexpr DictKey kTimestamp("timestamp");
  static constexpr DictKey kSamples("samples");
  static constexpr DictKey kSamplingPeriod("sampling_period");
  static constexpr DictKey kChannels("channels");
  static constexpr DictKey kData("data");
  insert(dict, kEventCounter, PyLong_FromUnsignedLong(event.event_counter));
  insert(dict, kTimestamp, PyLong_FromUnsignedLongLong(event.timestamp));
  insert(dict, kSamples, PyLong_FromUnsignedLong(event.samples));
  insert(dict, kSamplingPeriod,
         PyLong_FromUnsignedLongLong(event.sampling_period));
  insert(dict, kChannels, PyLong_FromLong(event.channels));
  insert(dict, kData, make_sample_array(std::move(event.data)));
}

}  // namespace vorn::detail
