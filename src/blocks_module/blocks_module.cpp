// vorn_tools._blocks: the readers filling caller-owned arrays a block of
// events at a time. An event costs a header store and one copy of its
// samples instead of a dict and an array; the arrays are checked once per
// call, and the reading runs with the interpreter lock released.
#include <Python.h>

#if defined(VORN_EXPECT_PY_DEBUG) && !defined(Py_DEBUG)
#error "building for a debug interpreter, but its headers lack Py_DEBUG"
#endif

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "python_support/arguments.hpp"
#include "python_support/buffers.hpp"
#include "python_support/errors.hpp"
#include "python_support/py_ref.hpp"
#include "reader_binding/formats.hpp"

namespace vorn::detail {
namespace {

// One header key of EventReader's dict, with the element type its column
// must have: the type the value has in the file.
struct Column {
  const char* name;
  Element element;
  const char* type;
};

template <class T>
void put(void* column, std::size_t row, T value) noexcept {
  static_cast<T*>(column)[row] = value;
}

struct WD1Format {
  using Format = WD1Format;
  using Reader = WD1Reader;
  using Event = WD1Event;
  using Sample = std::uint16_t;
  static constexpr Element kSample = Element::kU16;
  static constexpr const char* kSampleType = "uint16";
  static constexpr std::array<Column, 6> kColumns = {{
      {"event_size", Element::kI32, "int32"},
      {"board_id", Element::kI32, "int32"},
      {"pattern", Element::kI32, "int32"},
      {"board_channel", Element::kI32, "int32"},
      {"event_counter", Element::kI32, "int32"},
      {"timestamp", Element::kI32, "int32"},
  }};
  static SampleVector<Sample>& samples(Event& event) { return event.samples; }
  static void store(const Event& e, const std::array<void*, 6>& columns,
                    std::size_t row) noexcept {
    put(columns[0], row, e.event_size);
    put(columns[1], row, e.board_id);
    put(columns[2], row, e.pattern);
    put(columns[3], row, e.board_channel);
    put(columns[4], row, e.event_counter);
    put(columns[5], row, e.timestamp);
  }
  static std::int32_t channels(const Reader&) { return 1; }
  static bool channel_word(const Reader&) { return false; }
};

struct WD2Format {
  using Format = WD2Format;
  using Reader = WD2Reader;
  using Event = WD2Event;
  using Sample = float;
  static constexpr Element kSample = Element::kF32;
  static constexpr const char* kSampleType = "float32";
  static constexpr std::array<Column, 5> kColumns = {{
      {"event_counter", Element::kU32, "uint32"},
      {"timestamp", Element::kU64, "uint64"},
      {"samples", Element::kU32, "uint32"},
      {"sampling_period", Element::kU64, "uint64"},
      {"channels", Element::kI32, "int32"},
  }};
  static SampleVector<Sample>& samples(Event& event) { return event.data; }
  static void store(const Event& e, const std::array<void*, 5>& columns,
                    std::size_t row) noexcept {
    put(columns[0], row, e.event_counter);
    put(columns[1], row, e.timestamp);
    put(columns[2], row, e.samples);
    put(columns[3], row, e.sampling_period);
    put(columns[4], row, e.channels);
  }
  static std::int32_t channels(const Reader& r) { return r.channel_count(); }
  static bool channel_word(const Reader& r) { return r.has_channel_word(); }
};

template <class Format>
using Columns = std::array<void*, Format::kColumns.size()>;

template <class F>
struct Source {
  using Format = F;
  explicit Source(typename Format::Reader opened) noexcept
      : reader(std::move(opened)) {}

  typename Format::Reader reader;
  // An event read but not handed over: it had another width than the
  // caller asked for, or did not fit. The next call that can take it does.
  std::optional<typename Format::Event> pending;
  std::uint64_t pending_end = 0;  // offset just past the pending event
  // A failure that struck after a call had already filled rows: those were
  // returned, and the next call raises this before reading on.
  std::optional<ReadError> deferred;
  std::uint64_t position = 0;  // offset just past the last event handed over
};

using BlockState = std::variant<Source<WD1Format>, Source<WD2Format>>;

struct BlockReaderObject {
  PyObject_HEAD BlockState state;
  // Set while a call reads without the interpreter lock; another thread's
  // call then fails instead of sharing the reader.
  bool busy;
};

BlockReaderObject* as_blocks(PyObject* self) {
  return reinterpret_cast<BlockReaderObject*>(self);
}

// Holds the reader for one call: marks it busy and lets the interpreter
// run other threads until the destructor, whatever way the call ends.
class ReleasedLock {
 public:
  explicit ReleasedLock(BlockReaderObject* self)
      : self_(self), saved_((self->busy = true, PyEval_SaveThread())) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() {
    PyEval_RestoreThread(saved_);
    self_->busy = false;
  }

 private:
  BlockReaderObject* self_;
  PyThreadState* saved_;
};

bool check_free(BlockReaderObject* self) {
  if (!self->busy) return true;
  raise_message(PyExc_RuntimeError, "Already borrowed");
  return false;
}

// Where a call puts the events: rows of `width` samples, or (flat) one
// run of samples with each event's length beside its headers.
template <class Format>
struct Target {
  Columns<Format> columns{};
  typename Format::Sample* samples = nullptr;
  std::size_t width = 0;
  bool flat = false;
  std::int64_t* lengths = nullptr;
  std::size_t capacity = 0;  // flat: samples the run holds
  std::size_t used = 0;      // flat: samples filled so far
};

struct Filled {
  std::size_t events = 0;
  std::optional<ReadError> error;  // what stopped the call, end of data aside
};

// Reads events into rows start.. of the target until `stop`, the end of the
// data, an event that does not belong (kept pending) or a failure.
template <class Format>
Filled fill(Source<Format>& source, Target<Format>& target, std::size_t start,
            std::size_t stop) {
  using Event = typename Format::Event;
  using Sample = typename Format::Sample;
  Filled out;
  for (std::size_t row = start; row < stop; ++row) {
    Event event;
    std::uint64_t end = 0;
    if (source.pending) {
      event = std::move(*source.pending);
      source.pending.reset();
      end = source.pending_end;
    } else {
      auto outcome = source.reader.next();
      if (auto* err = std::get_if<ReadError>(&outcome)) {
        if (!err->is_end_of_data()) out.error = std::move(*err);
        break;
      }
      event = std::move(std::get<Event>(outcome));
      end = source.reader.stream().position();
    }
    auto& samples = Format::samples(event);
    const std::size_t n = samples.size();
    const bool fits =
        target.flat ? n <= target.capacity - target.used : n == target.width;
    if (!fits) {
      source.pending = std::move(event);
      source.pending_end = end;
      break;
    }
    Sample* dest = target.samples;
    if (target.flat) {
      dest += target.used;
      target.used += n;
      target.lengths[row] = static_cast<std::int64_t>(n);
    } else {
      dest += row * target.width;
    }
    if (n != 0) std::memcpy(dest, samples.data(), n * sizeof(Sample));
    Format::store(event, target.columns, row);
    source.reader.reuse(std::move(samples));
    source.position = end;
    ++out.events;
  }
  return out;
}

// Raises a failure left by the previous call; false when it did.
template <class Format>
bool raise_deferred(Source<Format>& source) {
  if (!source.deferred) return true;
  const ReadError err = std::move(*source.deferred);
  source.deferred.reset();
  raise_read_error(err);
  return false;
}

// The rows filled, or null with the failure raised when none were.
template <class Format>
PyObject* finish(Source<Format>& source, Filled filled, PyObject* result) {
  PyRef owned = PyRef::steal(result);
  if (filled.error) {
    if (filled.events == 0) return raise_read_error(*filled.error);
    source.deferred = std::move(filled.error);
  }
  return owned.release();
}

// --- Argument checks --------------------------------------------------------

bool check_range(Py_ssize_t start, Py_ssize_t stop, Py_ssize_t rows) {
  if (0 <= start && start <= stop && stop <= rows) return true;
  PyErr_Format(PyExc_ValueError,
               "start and stop must satisfy 0 <= start <= stop <= %zd, not "
               "%zd and %zd",
               rows, start, stop);
  return false;
}

bool check_array(const HeldBuffer& buffer, const char* what, Element element,
                 const char* type, int ndim) {
  const Py_buffer& view = buffer.view();
  if (element_of(view) != element) {
    PyErr_Format(PyExc_TypeError, "%s must be %s, not %s", what, type,
                 type_name(view).c_str());
    return false;
  }
  if (view.ndim != ndim) {
    PyErr_Format(PyExc_ValueError, "%s must be %d-dimensional, not %d", what,
                 ndim, view.ndim);
    return false;
  }
  return require_contiguous(buffer, what);
}

// Takes a writable view of every header column, each at least `rows` long.
template <class Format>
bool take_headers(PyObject* headers, Py_ssize_t rows,
                  std::array<HeldBuffer, Format::kColumns.size()>& held,
                  Columns<Format>& columns) {
  if (!PyDict_Check(headers)) {
    PyErr_SetString(PyExc_TypeError, "headers must be a dict of arrays");
    return false;
  }
  for (std::size_t k = 0; k < Format::kColumns.size(); ++k) {
    const Column& column = Format::kColumns[k];
    PyObject* obj = PyDict_GetItemString(headers, column.name);
    if (obj == nullptr) {
      PyErr_Format(PyExc_ValueError, "headers lacks '%s'", column.name);
      return false;
    }
    if (!held[k].acquire(obj, /*writable=*/true)) return false;
    const std::string what = std::string("header '") + column.name + "'";
    if (!check_array(held[k], what.c_str(), column.element, column.type, 1)) {
      return false;
    }
    if (held[k].items() < rows) {
      PyErr_Format(PyExc_ValueError,
                   "header '%s' has %zd rows, fewer than stop (%zd)",
                   column.name, held[k].items(), rows);
      return false;
    }
    columns[k] = held[k].view().buf;
  }
  return true;
}

// --- Methods ----------------------------------------------------------------

template <class Format>
PyObject* read_rows(BlockReaderObject* self, Source<Format>& source,
                    PyObject* args) {
  PyObject* headers = nullptr;
  PyObject* data_obj = nullptr;
  Py_ssize_t start = 0;
  Py_ssize_t stop = 0;
  if (!PyArg_ParseTuple(args, "OOnn:read", &headers, &data_obj, &start,
                        &stop)) {
    return nullptr;
  }
  HeldBuffer data;
  if (!data.acquire(data_obj, /*writable=*/true) ||
      !check_array(data, "data", Format::kSample, Format::kSampleType, 2) ||
      !check_range(start, stop, data.view().shape[0])) {
    return nullptr;
  }
  std::array<HeldBuffer, Format::kColumns.size()> held;
  Target<Format> target;
  if (!take_headers<Format>(headers, stop, held, target.columns)) {
    return nullptr;
  }
  target.samples = static_cast<typename Format::Sample*>(data.view().buf);
  target.width = static_cast<std::size_t>(data.view().shape[1]);
  if (!raise_deferred(source)) return nullptr;
  Filled filled;
  {
    ReleasedLock unlocked(self);
    filled = fill(source, target, static_cast<std::size_t>(start),
                  static_cast<std::size_t>(stop));
  }
  const auto events = static_cast<Py_ssize_t>(filled.events);
  return finish(source, std::move(filled), checked(PyLong_FromSsize_t(events)));
}

template <class Format>
PyObject* read_flat_rows(BlockReaderObject* self, Source<Format>& source,
                         PyObject* args) {
  PyObject* headers = nullptr;
  PyObject* flat_obj = nullptr;
  PyObject* lengths_obj = nullptr;
  Py_ssize_t start = 0;
  Py_ssize_t stop = 0;
  Py_ssize_t flat_start = 0;
  if (!PyArg_ParseTuple(args, "OOOnnn:read_flat", &headers, &flat_obj,
                        &lengths_obj, &start, &stop, &flat_start)) {
    return nullptr;
  }
  HeldBuffer flat;
  HeldBuffer lengths;
  if (!flat.acquire(flat_obj, /*writable=*/true) ||
      !check_array(flat, "flat", Format::kSample, Format::kSampleType, 1) ||
      !lengths.acquire(lengths_obj, /*writable=*/true) ||
      !check_array(lengths, "lengths", Element::kI64, "int64", 1) ||
      !check_range(start, stop, lengths.items())) {
    return nullptr;
  }
  if (flat_start < 0 || flat_start > flat.items()) {
    PyErr_Format(PyExc_ValueError,
                 "flat_start must satisfy 0 <= flat_start <= %zd, not %zd",
                 flat.items(), flat_start);
    return nullptr;
  }
  std::array<HeldBuffer, Format::kColumns.size()> held;
  Target<Format> target;
  if (!take_headers<Format>(headers, stop, held, target.columns)) {
    return nullptr;
  }
  target.samples = static_cast<typename Format::Sample*>(flat.view().buf);
  target.flat = true;
  target.lengths = static_cast<std::int64_t*>(lengths.view().buf);
  target.capacity = static_cast<std::size_t>(flat.items());
  target.used = static_cast<std::size_t>(flat_start);
  if (!raise_deferred(source)) return nullptr;
  Filled filled;
  {
    ReleasedLock unlocked(self);
    filled = fill(source, target, static_cast<std::size_t>(start),
                  static_cast<std::size_t>(stop));
  }
  const auto samples = static_cast<Py_ssize_t>(target.used) - flat_start;
  return finish(source, std::move(filled),
                checked(Py_BuildValue(
                    "(nn)", static_cast<Py_ssize_t>(filled.events), samples)));
}

template <class Format>
PyObject* pending_length_of(Source<Format>& source) {
  if (!source.pending) Py_RETURN_NONE;
  return checked(PyLong_FromSize_t(Format::samples(*source.pending).size()));
}

template <class Format>
PyObject* peek_event(BlockReaderObject* self, Source<Format>& source) {
  if (!source.pending) {
    if (!raise_deferred(source)) return nullptr;
    std::optional<ReadError> error;
    {
      ReleasedLock unlocked(self);
      auto outcome = source.reader.next();
      if (auto* err = std::get_if<ReadError>(&outcome)) {
        if (!err->is_end_of_data()) error = std::move(*err);
      } else {
        source.pending = std::move(std::get<0>(outcome));
        source.pending_end = source.reader.stream().position();
      }
    }
    if (error) return raise_read_error(*error);
  }
  return pending_length_of(source);
}

// Runs `body(self, source)` on the reader of whichever format it holds,
// once the receiver and the busy flag are checked.
template <class Body>
PyObject* with_source(PyObject* self, Body&& body) {
  return guard([&]() -> PyObject* {
    BlockReaderObject* blocks = as_blocks(self);
    if (!check_free(blocks)) return nullptr;
    PyRef keep = PyRef::borrow(self);
    return std::visit([&](auto& source) { return body(blocks, source); },
                      blocks->state);
  });
}

PyObject* block_read(PyObject* self, PyObject* args) {
  return with_source(self, [&](BlockReaderObject* blocks, auto& source) {
    return read_rows(blocks, source, args);
  });
}

PyObject* block_read_flat(PyObject* self, PyObject* args) {
  return with_source(self, [&](BlockReaderObject* blocks, auto& source) {
    return read_flat_rows(blocks, source, args);
  });
}

PyObject* block_peek(PyObject* self, PyObject*) {
  return with_source(self, [&](BlockReaderObject* blocks, auto& source) {
    return peek_event(blocks, source);
  });
}

PyObject* get_channels(PyObject* self, void*) {
  return with_source(self, [](BlockReaderObject*, auto& source) {
    return checked(PyLong_FromLong(
        std::decay_t<decltype(source)>::Format::channels(source.reader)));
  });
}

PyObject* get_channel_word(PyObject* self, void*) {
  return with_source(self, [](BlockReaderObject*, auto& source) {
    return Py_NewRef(
        std::decay_t<decltype(source)>::Format::channel_word(source.reader)
            ? Py_True
            : Py_False);
  });
}

PyObject* get_position(PyObject* self, void*) {
  return with_source(self, [](BlockReaderObject*, auto& source) {
    return checked(PyLong_FromUnsignedLongLong(source.position));
  });
}

PyObject* get_pending_length(PyObject* self, void*) {
  return with_source(self, [](BlockReaderObject*, auto& source) {
    return pending_length_of(source);
  });
}

// --- The type
// -----------------------------------------------------------------

constexpr std::array<const char*, 2> kParameters = {"path", "reader_type"};

PyObject* block_reader_new(PyTypeObject* subtype, PyObject* args,
                           PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    std::array<PyObject*, 2> bound{};
    if (!bind_arguments("BlockReader.__new__()", kParameters, args, kwargs,
                        bound)) {
      return nullptr;
    }
    std::optional<ReaderState> reader = open_event_file(bound[0], bound[1]);
    if (!reader) return nullptr;
    auto* alloc = subtype->tp_alloc;
    PyObject* self =
        (alloc != nullptr ? alloc : PyType_GenericAlloc)(subtype, 0);
    if (self == nullptr) return nullptr;  // `reader` closes the file
    // Built in place rather than moved in, which also keeps GCC's
    // maybe-uninitialized check quiet about the empty pending event under
    // the sanitizers.
    std::visit(
        [self](auto& opened) {
          using Opened = std::decay_t<decltype(opened)>;
          using Format = std::conditional_t<std::is_same_v<Opened, WD1Reader>,
                                            WD1Format, WD2Format>;
          std::construct_at(&as_blocks(self)->state,
                            std::in_place_type<Source<Format>>,
                            std::move(opened));
        },
        *reader);
    as_blocks(self)->busy = false;
    return self;
  });
}

void block_reader_dealloc(PyObject* self) {
  guard_void([self] {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&as_blocks(self)->state);
    auto* free_slot = type->tp_free;
    if (free_slot == nullptr) {
      throw Fault("PyBaseObject_Type should have tp_free");
    }
    free_slot(self);
    Py_DECREF(type);
  });
}

constexpr const char kDoc[] =
    "BlockReader(path, reader_type)\n--\n\n"
    "Events of a WD1 or WD2 file read into caller-owned arrays. The file is "
    "opened exactly as vorn.EventReader opens it, with the same errors, and "
    "read the same way: an event cut short by the end of the data is "
    "completed by a later call.";

constexpr const char kReadDoc[] =
    "read($self, headers, data, start, stop, /)\n--\n\n"
    "Fills rows start.. of data (2-D, C-contiguous, uint16 for WD1, float32 "
    "for WD2) and of every header column with consecutive events of exactly "
    "data.shape[1] samples, at most up to row stop; returns how many. It "
    "stops early at the end of the data and before an event of another "
    "length, which stays pending (see pending_length). A failure after "
    "some events returns them and is raised by the next call.";

constexpr const char kReadFlatDoc[] =
    "read_flat($self, headers, flat, lengths, start, stop, flat_start, /)\n"
    "--\n\n"
    "Like read for events of any length: their samples go one after the "
    "other into flat from flat_start, their lengths into lengths[start:]. "
    "Stops before an event that would not fit, which stays pending. Returns "
    "(events, samples).";

constexpr const char kPeekDoc[] =
    "peek($self, /)\n--\n\n"
    "Reads the next event, unless one is pending already, and keeps it "
    "pending; returns its number of samples, or None at the end of the "
    "data.";

PyMethodDef block_reader_methods[] = {
    {"read", block_read, METH_VARARGS, kReadDoc},
    {"read_flat", block_read_flat, METH_VARARGS, kReadFlatDoc},
    {"peek", block_peek, METH_NOARGS, kPeekDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef block_reader_getset[] = {
    {"channels", get_channels, nullptr,
     "The channel count that sizes every WD2 payload; 1 for WD1.", nullptr},
    {"channel_word", get_channel_word, nullptr,
     "Whether every WD2 event carries the channels word.", nullptr},
    {"position", get_position, nullptr,
     "File offset just past the last event handed over.", nullptr},
    {"pending_length", get_pending_length, nullptr,
     "Samples of the event read but not handed over, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot block_reader_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, reinterpret_cast<void*>(&block_reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&block_reader_dealloc)},
    {Py_tp_methods, block_reader_methods},
    {Py_tp_getset, block_reader_getset},
    {0, nullptr},
};

PyType_Spec block_reader_spec = {
    .name = "vorn_tools._blocks.BlockReader",
    .basicsize = static_cast<int>(sizeof(BlockReaderObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = block_reader_slots,
};

int exec_module(PyObject* module) {
  PyRef type = PyRef::steal(
      PyType_FromModuleAndSpec(module, &block_reader_spec, nullptr));
  if (!type) return -1;
  return PyModule_AddObjectRef(module, "BlockReader", type.get());
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The fault exception is process-wide state.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_GIL_DISABLED
    // A reader serves one call at a time, which the busy flag checks under
    // the lock.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vorn_tools._blocks",
    .m_doc = "Events of WD1 and WD2 files read into caller-owned arrays.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace vorn::detail

PyMODINIT_FUNC PyInit__blocks() {
  return PyModuleDef_Init(&vorn::detail::module_def);
}
