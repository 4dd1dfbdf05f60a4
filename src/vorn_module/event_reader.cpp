#include "event_reader.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "python_support/arguments.hpp"
#include "python_support/errors.hpp"
#include "python_support/once_cell.hpp"
#include "python_support/py_ref.hpp"
#include "reader_binding/formats.hpp"

namespace vorn::detail {
namespace {

struct EventReaderObject {
  PyObject_HEAD ReaderState reader;
  // 0: free; -1: one __next__ holds it; n > 0: n __iter__ calls hold it.
  std::atomic<std::int64_t> borrow;
};

constexpr std::int64_t kExclusive = -1;

EventReaderObject* as_reader(PyObject* self) {
  return reinterpret_cast<EventReaderObject*>(self);
}

// Returns the borrow on every way out of __next__ or __iter__, faults
// included.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(EventReaderObject* self) : self_(self) {
    std::int64_t expected = 0;
    taken_ = self->borrow.compare_exchange_strong(expected, kExclusive,
                                                  std::memory_order_acq_rel,
                                                  std::memory_order_relaxed);
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() {
    if (taken_) self_->borrow.store(0, std::memory_order_release);
  }
  bool taken() const noexcept { return taken_; }

 private:
  EventReaderObject* self_;
  bool taken_ = false;
};

class SharedBorrow {
 public:
  explicit SharedBorrow(EventReaderObject* self) : self_(self) {
    std::int64_t current = self->borrow.load(std::memory_order_relaxed);
    while (current != kExclusive) {
      if (self->borrow.compare_exchange_weak(current, current + 1,
                                             std::memory_order_acq_rel,
                                             std::memory_order_relaxed)) {
        taken_ = true;
        break;
      }
    }
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() {
    if (taken_) self_->borrow.fetch_sub(1, std::memory_order_release);
  }
  bool taken() const noexcept { return taken_; }

 private:
  EventReaderObject* self_;
  bool taken_ = false;
};

// --- Slots ----------------------------------------------------------------

constexpr std::array<const char*, 2> kParameters = {"path", "reader_type"};

PyObject* event_reader_new(PyTypeObject* subtype, PyObject* args,
                           PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    std::array<PyObject*, 2> bound{};
    if (!bind_arguments("EventReader.__new__()", kParameters, args, kwargs,
                        bound)) {
      return nullptr;
    }
    std::optional<ReaderState> reader = open_event_file(bound[0], bound[1]);
    if (!reader) return nullptr;

    auto* alloc = subtype->tp_alloc;
    PyObject* self =
        (alloc != nullptr ? alloc : PyType_GenericAlloc)(subtype, 0);
    if (self == nullptr) {
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError,
                        "attempted to fetch exception but none was set");
      }
      return nullptr;  // `reader` closes the file
    }
    std::construct_at(&as_reader(self)->reader, std::move(*reader));
    std::construct_at(&as_reader(self)->borrow, 0);
    return self;
  });
}

bool check_receiver(PyObject* self) {
  PyTypeObject* type = event_reader_type();
  if (type == nullptr) return false;
  if (!PyObject_TypeCheck(self, type)) {
    raise_cast_error(self, "EventReader");
    return false;
  }
  return true;
}

PyObject* event_reader_iter(PyObject* self) {
  return guard([&]() -> PyObject* {
    if (!check_receiver(self)) return nullptr;
    SharedBorrow borrow(as_reader(self));
    if (!borrow.taken()) {
      return raise_message(PyExc_RuntimeError, "Already mutably borrowed");
    }
    return Py_NewRef(self);
  });
}

PyObject* event_reader_next(PyObject* self) {
  return guard([&]() -> PyObject* {
    if (!check_receiver(self)) return nullptr;
    // Keeps the object, and so the borrow word, alive until the borrow is
    // returned, whatever the event's Python objects do meanwhile.
    PyRef keep = PyRef::borrow(self);
    ExclusiveBorrow borrow(as_reader(self));
    if (!borrow.taken()) {
      return raise_message(PyExc_RuntimeError, "Already borrowed");
    }
    PyRef dict = PyRef::steal(checked(PyDict_New()));
    return std::visit(
        [&](auto& reader) -> PyObject* {
          auto outcome = reader.next();
          if (auto* err = std::get_if<ReadError>(&outcome)) {
            // End of data ends the iteration quietly; it can be resumed.
            if (err->is_end_of_data()) return nullptr;
            return raise_read_error(*err);
          }
          fill_event_dict(dict.get(), std::move(std::get<0>(outcome)));
          return dict.release();
        },
        as_reader(self)->reader);
  });
}

void event_reader_dealloc(PyObject* self) {
  guard_void([self] {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&as_reader(self)->reader);
    std::destroy_at(&as_reader(self)->borrow);
    auto* free_slot = type->tp_free;
    if (free_slot == nullptr)
      throw Fault("PyBaseObject_Type should have tp_free");
    free_slot(self);
    Py_DECREF(type);
  });
}

PyType_Slot event_reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("EventReader(path, reader_type)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&event_reader_new)},
    {Py_tp_iter, reinterpret_cast<void*>(&event_reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&event_reader_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&event_reader_dealloc)},
    {0, nullptr},
};

PyType_Spec event_reader_spec = {
    .name = "builtins.EventReader",
    .basicsize = static_cast<int>(sizeof(EventReaderObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = event_reader_slots,
};

OnceCell<PyTypeObject*> event_reader_type_cell;

}  // namespace

PyTypeObject* event_reader_type() {
  const auto* type = event_reader_type_cell.get_or_try_init(
      []() -> std::optional<PyTypeObject*> {
        PyObject* made = PyType_FromSpec(&event_reader_spec);
        if (made == nullptr) return std::nullopt;
        return reinterpret_cast<PyTypeObject*>(made);
      });
  return type != nullptr ? *type : nullptr;
}

}  // namespace vorn::detail
