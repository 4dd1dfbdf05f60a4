#include "errors.hpp"

#include <cerrno>
#include <cstring>
#include <optional>

#include "once_cell.hpp"
#include "py_ref.hpp"

#if defined(__GLIBC__)
// glibc's strerror_r is the GNU flavour under _GNU_SOURCE; this is the POSIX
// one, which reports unknown numbers as a failure instead of inventing text.
extern "C" int __xpg_strerror_r(int errnum, char* buf, std::size_t buflen);
#endif

namespace vorn::detail {

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

PyObject* raise_with(PyObject* type, PyRef message) {
  PyErr_SetObject(type, message.get());
  return nullptr;
}

namespace {

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

}  // namespace vorn::detail
