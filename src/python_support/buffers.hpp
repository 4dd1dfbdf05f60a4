#pragma once

#include <Python.h>

#include <string>
#include <utility>

namespace vorn::detail {

// One buffer export, released when the call ends.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  HeldBuffer(HeldBuffer&& other) noexcept
      : view_(other.view_), held_(std::exchange(other.held_, false)) {}
  HeldBuffer& operator=(HeldBuffer&&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  // False with a Python error set when `obj` exports no such buffer.
  bool acquire(PyObject* obj, bool writable) {
    const int flags = PyBUF_RECORDS_RO | (writable ? PyBUF_WRITABLE : 0);
    held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
    return held_;
  }
  const Py_buffer& view() const { return view_; }
  Py_ssize_t items() const { return view_.len / view_.itemsize; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Element types by buffer format character; the byte-order prefixes a
// little-endian machine can read as native are accepted.
enum class Element {
  kOther,
  kU16,
  kF32,
  kF64,
  kI64,
  kU64,
  kI8,
  kFlag,
  kI32,
  kU32
};

Element element_of(const Py_buffer& view);

// NumPy's name for a buffer's element type where it has one.
std::string type_name(const Py_buffer& view);

// Raises ValueError "{what} must be C-contiguous" when it is not.
bool require_contiguous(const HeldBuffer& buffer, const char* what);

}  // namespace vorn::detail
