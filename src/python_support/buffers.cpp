#include "buffers.hpp"

#include <string_view>

namespace vorn::detail {

Element element_of(const Py_buffer& view) {
  std::string_view format = view.format != nullptr ? view.format : "B";
  if (!format.empty() &&
      (format[0] == '@' || format[0] == '=' || format[0] == '<')) {
    format.remove_prefix(1);
  }
  if (format.size() != 1) return Element::kOther;
  const auto size = view.itemsize;
  switch (format[0]) {
    case 'H':
      return size == 2 ? Element::kU16 : Element::kOther;
    case 'f':
      return size == 4 ? Element::kF32 : Element::kOther;
    case 'd':
      return size == 8 ? Element::kF64 : Element::kOther;
    case 'i':
      return size == 4 ? Element::kI32 : Element::kOther;
    case 'I':
      return size == 4 ? Element::kU32 : Element::kOther;
    case 'l':
    case 'q':
      return size == 8 ? Element::kI64 : Element::kOther;
    case 'L':
    case 'Q':
      return size == 8 ? Element::kU64 : Element::kOther;
    case 'b':
      return size == 1 ? Element::kI8 : Element::kOther;
    case '?':
    case 'B':
      return size == 1 ? Element::kFlag : Element::kOther;
    default:
      return Element::kOther;
  }
}

std::string type_name(const Py_buffer& view) {
  std::string_view format = view.format != nullptr ? view.format : "B";
  if (!format.empty() &&
      (format[0] == '@' || format[0] == '=' || format[0] == '<')) {
    format.remove_prefix(1);
  }
  struct Name {
    char code;
    const char* name;
  };
  static constexpr Name kNames[] = {
      {'?', "bool"},    {'b', "int8"},    {'B', "uint8"},     {'h', "int16"},
      {'H', "uint16"},  {'i', "int32"},   {'I', "uint32"},    {'e', "float16"},
      {'f', "float32"}, {'d', "float64"}, {'g', "longdouble"}};
  if (format.size() == 1) {
    for (const Name& n : kNames) {
      if (n.code == format[0]) return n.name;
    }
    if (format[0] == 'l' || format[0] == 'q') return "int64";
    if (format[0] == 'L' || format[0] == 'Q') return "uint64";
  }
  return "buffer format '" + std::string(format) + "'";
}

bool require_contiguous(const HeldBuffer& buffer, const char* what) {
  if (PyBuffer_IsContiguous(&buffer.view(), 'C')) return true;
  PyErr_Format(PyExc_ValueError, "%s must be C-contiguous", what);
  return false;
}

}  // namespace vorn::detail
