#include "errors.hpp"

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "once_cell.hpp"
#include "py_ref.hpp"

#if defined(__GLIBC__)
// glibc's strerror_r is the GNU flavour under _GNU_SOURCE; this is the POSIX
// one, which reports unknown numbers as a failure instead of inventing text.
extern "C" int __xpg_strerror_r(int errnum, char* buf, std::size_t buflen);
#endif

namespace vorn::detail {
namespace {

// The pending exception as one normalised object (with its traceback
// attached), leaving no exception set.
PyRef take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    // The exception object may still hold a traceback from where it was
    // first raised; the one fetched with it is the one that counts.
    PyException_SetTraceback(value, traceback != nullptr ? traceback : Py_None);
  }
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef::steal(value);
#endif
}

void restore_exception(PyRef exc) {
  if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())));
  PyObject* traceback = PyException_GetTraceback(exc.get());
  PyErr_Restore(type, exc.release(), traceback);
#endif
}

// UTF-8 of str(obj) or repr(obj); a failure to render is swallowed, since
// this runs while a fault is already being reported.
std::string render(PyObject* obj, bool use_repr) {
  PyRef text = PyRef::steal(use_repr ? PyObject_Repr(obj) : PyObject_Str(obj));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return utf8;
}

// Quotes `text` the way a debug rendering of a string does.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u{%x}",
                        static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string render_traceback(PyObject* traceback) {
  PyRef module = PyRef::steal(PyImport_ImportModule("traceback"));
  PyRef lines = module ? PyRef::steal(PyObject_CallMethod(
                             module.get(), "format_tb", "O", traceback))
                       : PyRef();
  PyRef empty = PyRef::steal(PyUnicode_FromString(""));
  PyRef joined = lines && empty
                     ? PyRef::steal(PyUnicode_Join(empty.get(), lines.get()))
                     : PyRef();
  if (!joined) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return "Traceback (most recent call last):\n" + render(joined.get(), false);
}

std::string render_exception(PyObject* exc) {
  std::string out = "PyErr { type: ";
  out += render(reinterpret_cast<PyObject*>(Py_TYPE(exc)), true);
  out += ", value: ";
  out += render(exc, true);
  out += ", traceback: ";
  PyRef traceback = PyRef::steal(PyException_GetTraceback(exc));
  if (traceback && traceback.get() != Py_None) {
    out += "Some(" + quoted(render_traceback(traceback.get())) + ")";
  } else {
    out += "None";
  }
  return out + " }";
}

constexpr const char kPanicDoc[] =
    "The exception raised when an internal fault occurs in code called from "
    "Python.\n\nLike SystemExit, this exception is derived from BaseException "
    "so that it will typically propagate all the way through the stack and "
    "cause the Python interpreter to exit.";

OnceCell<PyObject*> panic_type_cell;

PyObject* panic_type() {
  const auto* type =
      panic_type_cell.get_or_try_init([]() -> std::optional<PyObject*> {
        PyObject* made =
            PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                      PyExc_BaseException, nullptr);
        if (made == nullptr) return std::nullopt;
        return made;
      });
  return type != nullptr ? *type : nullptr;
}

void report(const char* message, const std::source_location* where) {
  if (where != nullptr) {
    std::fprintf(stderr, "vorn: internal fault at %s:%u in %s: %s\n",
                 where->file_name(), static_cast<unsigned>(where->line()),
                 where->function_name(), message);
  } else {
    std::fprintf(stderr, "vorn: internal fault: %s\n", message);
  }
  std::fflush(stderr);
}

constexpr const char kUnknownFault[] = "unknown internal fault";

void set_panic(const char* message) noexcept {
  PyErr_Clear();
  try {
    PyObject* type = panic_type();
    if (type == nullptr) {
      report("Failed to initialize new exception type.", nullptr);
      return;  // the error of the failed creation stays set
    }
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
        message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
  } catch (...) {
    // Creating the class faulted while reporting a fault.
    report("Failed to initialize new exception type.", nullptr);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, message);
  }
}

PyObject* errno_exception_type(int code) {
  switch (code) {
    case ENOENT:
      return PyExc_FileNotFoundError;
    case EPERM:
    case EACCES:
      return PyExc_PermissionError;
    case ECONNREFUSED:
      return PyExc_ConnectionRefusedError;
    case ECONNRESET:
      return PyExc_ConnectionResetError;
    case ECONNABORTED:
      return PyExc_ConnectionAbortedError;
    case EPIPE:
      return PyExc_BrokenPipeError;
    case EEXIST:
      return PyExc_FileExistsError;
    case EAGAIN:
      return PyExc_BlockingIOError;
    case ENOTDIR:
      return PyExc_NotADirectoryError;
    case EISDIR:
      return PyExc_IsADirectoryError;
    case ETIMEDOUT:
      return PyExc_TimeoutError;
    case EINTR:
      return PyExc_InterruptedError;
    case ENOMEM:
      return PyExc_MemoryError;
    default:
      return PyExc_OSError;
  }
}

PyRef os_error_message(int code) {
  char buf[128] = {};
#if defined(__GLIBC__)
  const int rc = __xpg_strerror_r(code, buf, sizeof buf);
#else
  const int rc = strerror_r(code, buf, sizeof buf);
#endif
  // Unknown numbers make it fail with EINVAL but still describe them
  // ("Unknown error 524"); an error from the system is worth its OSError.
  if (rc != 0 && buf[0] == '\0') throw Fault("strerror_r failure");
  PyRef description = PyRef::steal(checked(PyUnicode_DecodeUTF8(
      buf, static_cast<Py_ssize_t>(std::strlen(buf)), "replace")));
  return PyRef::steal(checked(
      PyUnicode_FromFormat("%U (os error %d)", description.get(), code)));
}

PyRef make_text(std::string_view text) {
  return PyRef::steal(checked(PyUnicode_DecodeUTF8(
      text.data(), static_cast<Py_ssize_t>(text.size()), "replace")));
}

PyObject* raise_with(PyObject* type, PyRef message) {
  PyErr_SetObject(type, message.get());
  return nullptr;
}

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

std::string take_error_rendering() {
  PyRef exc = take_exception();
  if (!exc) {
    return "PyErr { type: <class 'SystemError'>, value: SystemError('attempted "
           "to fetch exception but none was set'), traceback: None }";
  }
  return render_exception(exc.get());
}

void fault_with_error(std::string_view message, std::source_location where) {
  std::string text(message);
  text += ": ";
  text += take_error_rendering();
  throw Fault(std::move(text), where);
}

void api_fault(std::source_location where) {
  if (PyErr_Occurred()) PyErr_Print();
  throw Fault("Python API call failed", where);
}

void raise_fault(const Fault& fault) noexcept {
  report(fault.message().c_str(), &fault.where());
  set_panic(fault.message().empty() ? kUnknownFault : fault.message().c_str());
}

void raise_unknown_fault() noexcept {
  report(kUnknownFault, nullptr);
  set_panic(kUnknownFault);
}

void report_unraisable_fault(const Fault* fault) noexcept {
  PyRef in_flight = take_exception();
  if (fault != nullptr) {
    raise_fault(*fault);
  } else {
    raise_unknown_fault();
  }
  PyErr_WriteUnraisable(nullptr);
  restore_exception(std::move(in_flight));
}

PyObject* raise_read_error(const ReadError& err, bool plain_os_error) {
  switch (err.kind) {
    case ReadError::Kind::kEndOfData:
      return raise_with(PyExc_OSError, make_text(kEndOfDataMessage));
    case ReadError::Kind::kOs:
      return raise_with(
          plain_os_error ? PyExc_OSError : errno_exception_type(err.code),
          os_error_message(err.code));
    case ReadError::Kind::kInvalidData:
      return raise_with(PyExc_OSError, make_text(err.message));
    case ReadError::Kind::kNoMemory:
      return raise_with(PyExc_MemoryError, make_text(err.message));
  }
  throw Fault("unknown read error kind");
}

PyObject* raise_message(PyObject* type, std::string_view message) {
  return raise_with(type, make_text(message));
}

PyObject* raise_cast_error(PyObject* obj, std::string_view target) {
  PyRef qualname = PyRef::steal(checked(PyType_GetQualName(Py_TYPE(obj))));
  const std::string target_text(target);
  return raise_with(PyExc_TypeError,
                    PyRef::steal(checked(PyUnicode_FromFormat(
                        "'%U' object cannot be cast as '%s'", qualname.get(),
                        target_text.c_str()))));
}

bool bind_arguments(std::string_view full_name,
                    std::span<const char* const> names, PyObject* args,
                    PyObject* kwargs, std::span<PyObject*> out) {
  const auto name = [&] { return std::string(full_name); };
  const Py_ssize_t given = PyTuple_GET_SIZE(args);
  const auto count = static_cast<Py_ssize_t>(names.size());
  if (given > count) {
    raise_message(PyExc_TypeError,
                  name() + " takes " + std::to_string(count) +
                      " positional arguments but " + std::to_string(given) +
                      (given == 1 ? " was given" : " were given"));
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    out[static_cast<std::size_t>(i)] =
        i < given ? PyTuple_GET_ITEM(args, i) : nullptr;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::size_t slot = names.size();
      for (std::size_t j = 0; j < names.size(); ++j) {
        if (PyUnicode_Check(key) &&
            PyUnicode_CompareWithASCIIString(key, names[j]) == 0) {
          slot = j;
          break;
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
    }
  }
  std::vector<const char*> missing;
  for (std::size_t j = 0; j < names.size(); ++j) {
    if (out[j] == nullptr) missing.push_back(names[j]);
  }
  if (!missing.empty()) {
    raise_message(PyExc_TypeError, name() + " missing " +
                                       std::to_string(missing.size()) +
                                       " required positional argument" +
                                       (missing.size() == 1 ? "" : "s") + ": " +
                                       quote_list(missing));
    return false;
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
