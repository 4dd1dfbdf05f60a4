#include "sample_array.hpp"

#include <cstdlib>
#include <optional>
#include <string>

#include "python_support/arguments.hpp"
#include "python_support/errors.hpp"
#include "python_support/once_cell.hpp"
#include "python_support/py_ref.hpp"

namespace vorn::detail {
namespace {

// --- The holder -----------------------------------------------------------

using ReleaseRoutine = void (*)(void* data, std::size_t length,
                                std::size_t capacity);

struct SliceContainer {
  PyObject_HEAD ReleaseRoutine
      release;  // returns `data` to its allocator, once
  void* data;
  std::size_t length;    // elements
  std::size_t capacity;  // elements allocated; 0 when nothing was
};

template <class T>
void drop_vec(void* data, std::size_t /*length*/, std::size_t capacity) {
  if (capacity != 0) std::free(data);
}

void slice_container_dealloc(PyObject* self) {
  guard_void([self] {
    auto* holder = reinterpret_cast<SliceContainer*>(self);
    holder->release(holder->data, holder->length, holder->capacity);
    PyTypeObject* type = Py_TYPE(self);
    auto* free_slot = type->tp_free;
    if (free_slot == nullptr)
      throw Fault("PyBaseObject_Type should have tp_free");
    free_slot(self);
    Py_DECREF(type);
  });
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Owner of a sample buffer handed to NumPy; frees it when "
                    "the last array viewing it is gone.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    .name = "builtins.PySliceContainer",
    .basicsize = static_cast<int>(sizeof(SliceContainer)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = slice_container_slots,
};

OnceCell<PyTypeObject*> slice_container_type_cell;

PyTypeObject* slice_container_type() {
  const auto* type = slice_container_type_cell.get_or_try_init(
      []() -> std::optional<PyTypeObject*> {
        PyObject* made = PyType_FromSpec(&slice_container_spec);
        if (made == nullptr) return std::nullopt;
        return reinterpret_cast<PyTypeObject*>(made);
      });
  if (type == nullptr) {
    PyErr_WriteUnraisable(nullptr);
    throw Fault("failed to create type object for `PySliceContainer`");
  }
  return *type;
}

// --- NumPy's API table ----------------------------------------------------

// Entries of NumPy's published C API table that are used here.
constexpr std::size_t kArrayTypeSlot = 2;
constexpr std::size_t kDescrFromTypeSlot = 45;
constexpr std::size_t kNewFromDescrSlot = 94;
constexpr std::size_t kSetBaseObjectSlot = 282;

constexpr int kNpyUShort = 4;
constexpr int kNpyFloat = 11;
constexpr int kNpyArrayWriteable = 0x0400;

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, Py_intptr_t*,
                                   Py_intptr_t*, void*, int, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

OnceCell<std::string> core_name_cell;
OnceCell<std::string> multiarray_name_cell;
OnceCell<void**> api_cell;

PyRef import(const char* name) {
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  return text ? PyRef::steal(PyImport_Import(text.get())) : PyRef();
}

PyRef attribute(const PyRef& obj, const char* name) {
  return obj ? PyRef::steal(PyObject_GetAttrString(obj.get(), name)) : PyRef();
}

// NumPy 2 moved the core package from numpy.core to numpy._core.
std::optional<std::string> numpy_core_name() {
  PyRef numpy = import("numpy");
  PyRef version = attribute(numpy, "__version__");
  if (!version) return std::nullopt;
  PyRef numpy_lib = import("numpy.lib");
  PyRef numpy_version = attribute(numpy_lib, "NumpyVersion");
  if (!numpy_version) return std::nullopt;
  PyRef parsed =
      PyRef::steal(PyObject_CallOneArg(numpy_version.get(), version.get()));
  PyRef major_obj = attribute(parsed, "major");
  if (!major_obj) return std::nullopt;
  const long major = PyLong_AsLong(major_obj.get());
  if (major == -1 && PyErr_Occurred()) return std::nullopt;
  if (major < 0 || major > 255) {
    PyErr_SetString(PyExc_OverflowError,
                    "out of range integral type conversion attempted");
    return std::nullopt;
  }
  return major >= 2 ? "numpy._core" : "numpy.core";
}

std::optional<void**> numpy_api(const char* module_name) {
  PyRef module = import(module_name);
  PyRef capsule = attribute(module, "_ARRAY_API");
  if (!capsule) return std::nullopt;
  if (Py_TYPE(capsule.get()) != &PyCapsule_Type) {
    raise_cast_error(capsule.get(), "PyCapsule");
    return std::nullopt;
  }
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (table == nullptr) return std::nullopt;
  // The table lives inside the capsule: keep it alive for good.
  capsule.release();
  return static_cast<void**>(table);
}

template <class T>
const T* fill_or_fault(OnceCell<T>& cell, auto&& step) {
  const T* value = cell.get_or_try_init(step);
  if (value == nullptr) {
    fault_with_error("Failed to access NumPy array API capsule");
  }
  return value;
}

void** api_table() {
  if (void** const* table = api_cell.get()) return *table;
  const std::string& core = *fill_or_fault(core_name_cell, numpy_core_name);
  const std::string& multiarray = *fill_or_fault(
      multiarray_name_cell,
      [&]() -> std::optional<std::string> { return core + ".multiarray"; });
  return *fill_or_fault(api_cell,
                        [&] { return numpy_api(multiarray.c_str()); });
}

// Stands in for the buffer of an empty vector: NumPy wants a non-null,
// aligned address even for zero elements, and never reads it.
alignas(16) unsigned char empty_storage[16];

template <class T>
PyObject* from_vector(SampleVector<T>&& samples, int type_number) {
  auto parts = samples.release();
  void* data = parts.data != nullptr ? static_cast<void*>(parts.data)
                                     : static_cast<void*>(empty_storage);

  PyTypeObject* holder_type = nullptr;
  try {
    holder_type = slice_container_type();
  } catch (...) {
    drop_vec<T>(data, parts.size, parts.capacity);
    throw;
  }
  auto* alloc = holder_type->tp_alloc;
  PyRef holder = PyRef::steal(
      (alloc != nullptr ? alloc : PyType_GenericAlloc)(holder_type, 0));
  if (!holder) {
    drop_vec<T>(data, parts.size, parts.capacity);
    fault_with_error("Failed to create slice container");
  }
  auto* fields = reinterpret_cast<SliceContainer*>(holder.get());
  fields->release = &drop_vec<T>;
  fields->data = data;
  fields->length = parts.size;
  fields->capacity = parts.capacity;
  // From here on the holder owns the buffer; dropping it frees the samples.

  void** api = api_table();
  auto* array_type = static_cast<PyTypeObject*>(api[kArrayTypeSlot]);
  PyObject* descr =
      reinterpret_cast<DescrFromType>(api[kDescrFromTypeSlot])(type_number);
  if (descr == nullptr) api_fault();
  Py_intptr_t dims[1] = {static_cast<Py_intptr_t>(parts.size)};
  Py_intptr_t strides[1] = {static_cast<Py_intptr_t>(sizeof(T))};
  // Steals `descr`, also when it fails.
  PyObject* array = reinterpret_cast<NewFromDescr>(api[kNewFromDescrSlot])(
      array_type, descr, 1, dims, strides, data, kNpyArrayWriteable, nullptr);
  if (array == nullptr) api_fault();
  // Cannot fail for a fresh array and a non-array base; takes the holder.
  reinterpret_cast<SetBaseObject>(api[kSetBaseObjectSlot])(array,
                                                           holder.release());
  return array;
}

}  // namespace

PyObject* make_sample_array(SampleVector<std::uint16_t>&& samples) {
  return from_vector(std::move(samples), kNpyUShort);
}

PyObject* make_sample_array(SampleVector<float>&& samples) {
  return from_vector(std::move(samples), kNpyFloat);
}

}  // namespace vorn::detail
