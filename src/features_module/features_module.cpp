// vorn_tools._features: the pulse-feature kernel over caller-owned buffers.
// Shapes, types and windows are checked once per call; the kernel then runs
// with the interpreter lock released, so another thread can read the next
// block meanwhile.
#include <Python.h>

#if defined(VORN_EXPECT_PY_DEBUG) && !defined(Py_DEBUG)
#error "building for a debug interpreter, but its headers lack Py_DEBUG"
#endif

#include <array>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "features/pulse_features.hpp"
#include "features/pulse_finder.hpp"
#include "python_support/arguments.hpp"
#include "python_support/buffers.hpp"
#include "python_support/errors.hpp"
#include "python_support/py_ref.hpp"

namespace vorn::detail {
namespace {

struct Output {
  const char* name;
  Element element;
  const char* type;
};

constexpr std::array<Output, 16> kOutputs = {{
    {"baseline", Element::kF64, "float64"},
    {"baseline_rms", Element::kF64, "float64"},
    {"amplitude", Element::kF64, "float64"},
    {"charge", Element::kF64, "float64"},
    {"threshold_time", Element::kF64, "float64"},
    {"cfd_time", Element::kF64, "float64"},
    {"peak_index", Element::kI64, "int64"},
    {"polarity", Element::kI8, "int8"},
    {"saturated", Element::kFlag, "bool or uint8"},
    {"rise_time", Element::kF64, "float64"},
    {"fall_time", Element::kF64, "float64"},
    {"fwhm", Element::kF64, "float64"},
    {"time_over_threshold", Element::kF64, "float64"},
    {"tail_ratio", Element::kF64, "float64"},
    {"energy", Element::kF64, "float64"},
    {"energy_time", Element::kF64, "float64"},
}};

// Fills `columns` from the dict of output arrays, each with one element
// per row.
bool take_outputs(PyObject* outputs, Py_ssize_t rows,
                  std::array<HeldBuffer, kOutputs.size()>& held,
                  FeatureColumns& columns) {
  if (!PyDict_Check(outputs)) {
    PyErr_SetString(PyExc_TypeError, "outputs must be a dict of arrays");
    return false;
  }
  std::array<void*, kOutputs.size()> data{};
  for (std::size_t k = 0; k < kOutputs.size(); ++k) {
    const Output& out = kOutputs[k];
    PyObject* obj = PyDict_GetItemString(outputs, out.name);
    if (obj == nullptr) {
      PyErr_Format(PyExc_ValueError, "outputs lacks '%s'", out.name);
      return false;
    }
    if (!held[k].acquire(obj, /*writable=*/true)) return false;
    const Py_buffer& view = held[k].view();
    if (element_of(view) != out.element) {
      PyErr_Format(PyExc_TypeError, "output '%s' must be %s, not %s", out.name,
                   out.type, type_name(view).c_str());
      return false;
    }
    if (!require_contiguous(held[k], out.name)) return false;
    if (held[k].items() != rows) {
      PyErr_Format(PyExc_ValueError,
                   "output '%s' has %zd elements, expected %zd (one per row)",
                   out.name, held[k].items(), rows);
      return false;
    }
    data[k] = view.buf;
  }
  columns = FeatureColumns{
      .baseline = static_cast<double*>(data[0]),
      .baseline_rms = static_cast<double*>(data[1]),
      .amplitude = static_cast<double*>(data[2]),
      .charge = static_cast<double*>(data[3]),
      .threshold_time = static_cast<double*>(data[4]),
      .cfd_time = static_cast<double*>(data[5]),
      .peak_index = static_cast<std::int64_t*>(data[6]),
      .polarity = static_cast<std::int8_t*>(data[7]),
      .saturated = static_cast<std::uint8_t*>(data[8]),
      .rise_time = static_cast<double*>(data[9]),
      .fall_time = static_cast<double*>(data[10]),
      .fwhm = static_cast<double*>(data[11]),
      .time_over_threshold = static_cast<double*>(data[12]),
      .tail_ratio = static_cast<double*>(data[13]),
      .energy = static_cast<double*>(data[14]),
      .energy_time = static_cast<double*>(data[15]),
  };
  return true;
}

// Checks the offsets of variable-length rows against `samples` items.
bool check_offsets(const std::uint64_t* offsets, Py_ssize_t count,
                   Py_ssize_t samples) {
  if (count < 1) {
    PyErr_SetString(PyExc_ValueError,
                    "offsets must hold at least one entry (rows + 1)");
    return false;
  }
  for (Py_ssize_t r = 0; r + 1 < count; ++r) {
    if (offsets[r] > offsets[r + 1]) {
      PyErr_Format(PyExc_ValueError,
                   "offsets must not decrease, but offsets[%zd] = %llu > "
                   "offsets[%zd] = %llu",
                   r, static_cast<unsigned long long>(offsets[r]), r + 1,
                   static_cast<unsigned long long>(offsets[r + 1]));
      return false;
    }
  }
  if (offsets[count - 1] > static_cast<std::uint64_t>(samples)) {
    PyErr_Format(PyExc_ValueError, "offsets end at %llu, past the %zd samples",
                 static_cast<unsigned long long>(offsets[count - 1]), samples);
    return false;
  }
  return true;
}

// The samples as rows: uniform (2-d) or, with offsets, flat. The buffers
// stay held for as long as the kernel reads them.
struct Rows {
  HeldBuffer samples;
  HeldBuffer offsets_buffer;
  Element element = Element::kOther;
  const std::uint64_t* offsets = nullptr;  // null for uniform rows
  Py_ssize_t rows = 0;
  Py_ssize_t length = 0;  // 0 with offsets
};

// Fills `out` from the samples and offsets arguments, checking types,
// shapes and the offsets themselves; the windows are the caller's.
bool take_rows(PyObject* samples_obj, PyObject* offsets_obj, Rows& out) {
  if (!out.samples.acquire(samples_obj, /*writable=*/false)) return false;
  const Py_buffer& view = out.samples.view();
  out.element = element_of(view);
  if (out.element != Element::kU16 && out.element != Element::kF32) {
    PyErr_Format(PyExc_TypeError, "samples must be uint16 or float32, not %s",
                 type_name(view).c_str());
    return false;
  }
  if (!require_contiguous(out.samples, "samples")) return false;
  if (offsets_obj == Py_None) {
    if (view.ndim != 2) {
      PyErr_Format(PyExc_ValueError,
                   "samples must be 2-dimensional (rows, samples), not "
                   "%d-dimensional; pass offsets for rows of differing "
                   "lengths",
                   view.ndim);
      return false;
    }
    out.rows = view.shape[0];
    out.length = view.shape[1];
    return true;
  }
  if (view.ndim != 1) {
    PyErr_Format(PyExc_ValueError,
                 "samples must be 1-dimensional when offsets are given, not "
                 "%d-dimensional",
                 view.ndim);
    return false;
  }
  if (!out.offsets_buffer.acquire(offsets_obj, /*writable=*/false)) {
    return false;
  }
  const Py_buffer& ov = out.offsets_buffer.view();
  if (element_of(ov) != Element::kU64) {
    PyErr_Format(PyExc_TypeError, "offsets must be uint64, not %s",
                 type_name(ov).c_str());
    return false;
  }
  if (ov.ndim != 1) {
    PyErr_SetString(PyExc_ValueError, "offsets must be 1-dimensional");
    return false;
  }
  if (!require_contiguous(out.offsets_buffer, "offsets")) return false;
  out.offsets = static_cast<const std::uint64_t*>(ov.buf);
  if (!check_offsets(out.offsets, out.offsets_buffer.items(),
                     out.samples.items())) {
    return false;
  }
  out.rows = out.offsets_buffer.items() - 1;
  out.length = 0;
  return true;
}

// A polarity per row: int8, one per row, each -1, 0 or 1.
bool take_polarities(PyObject* obj, Py_ssize_t rows, HeldBuffer& held) {
  if (!held.acquire(obj, /*writable=*/false)) return false;
  const Py_buffer& view = held.view();
  if (element_of(view) != Element::kI8) {
    PyErr_Format(PyExc_TypeError,
                 "polarity must be an int or an int8 array, not %s",
                 type_name(view).c_str());
    return false;
  }
  if (!require_contiguous(held, "polarity")) return false;
  if (held.items() != rows) {
    PyErr_Format(PyExc_ValueError,
                 "polarity has %zd elements, expected %zd (one per row)",
                 held.items(), rows);
    return false;
  }
  const auto* values = static_cast<const std::int8_t*>(view.buf);
  for (Py_ssize_t r = 0; r < rows; ++r) {
    if (values[r] < -1 || values[r] > 1) {
      PyErr_Format(PyExc_ValueError,
                   "polarity must be -1, 0 or 1, not %d (row %zd)",
                   static_cast<int>(values[r]), r);
      return false;
    }
  }
  return true;
}

// None, or a count of samples.
bool optional_count(PyObject* obj, const char* what,
                    std::optional<std::size_t>& out) {
  if (obj == Py_None) return true;
  const Py_ssize_t value = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0) {
    PyErr_Format(PyExc_ValueError, "%s must not be negative, not %zd", what,
                 value);
    return false;
  }
  out = static_cast<std::size_t>(value);
  return true;
}

bool non_negative(Py_ssize_t value, const char* what) {
  if (value >= 0) return true;
  PyErr_Format(PyExc_ValueError, "%s must not be negative, not %zd", what,
               value);
  return false;
}

template <class Sample>
void run(const Rows& in, const FeatureOptions& options,
         const FeatureColumns& columns) {
  const auto* data = static_cast<const Sample*>(in.samples.view().buf);
  const std::uint64_t* offsets = in.offsets;
  const auto rows = static_cast<std::size_t>(in.rows);
  const auto length = static_cast<std::size_t>(in.length);
  Py_BEGIN_ALLOW_THREADS;
  if (offsets != nullptr) {
    pulse_features(data, offsets, rows, options, columns);
  } else {
    pulse_features(data, rows, length, options, columns);
  }
  Py_END_ALLOW_THREADS;
}

// --- compute()'s options --------------------------------------------------

// A count of samples, named `what` when it is negative.
bool read_count(PyObject* obj, const char* what, std::size_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  const Py_ssize_t value = PyLong_AsSsize_t(index.get());
  if (value == -1 && PyErr_Occurred()) return false;
  if (!non_negative(value, what)) return false;
  out = static_cast<std::size_t>(value);
  return true;
}

bool read_real(PyObject* obj, double& out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool read_optional_real(PyObject* obj, std::optional<double>& out) {
  if (obj == Py_None) return true;
  double value = 0;
  if (!read_real(obj, value)) return false;
  out = value;
  return true;
}

bool read_flag(PyObject* obj, bool& out) {
  const int value = PyObject_IsTrue(obj);
  if (value < 0) return false;
  out = value != 0;
  return true;
}

// One keyword option of compute() and how its value becomes part of the
// kernel's options; every option's conversion and check is in this table.
// The kernel's own check_options() then judges them together.
struct Option {
  const char* name;
  bool (*read)(PyObject* value, FeatureOptions& options);
};

constexpr std::array<Option, 16> kOptions = {{
    {"baseline_begin",
     [](PyObject* v, FeatureOptions& o) {
       return read_count(v, "the baseline window's start", o.baseline_begin);
     }},
    {"baseline_end",
     [](PyObject* v, FeatureOptions& o) {
       return read_count(v, "the baseline window's end", o.baseline_end);
     }},
    {"charge_around_peak",
     [](PyObject* v, FeatureOptions& o) {
       bool around_peak = false;
       if (!read_flag(v, around_peak)) return false;
       o.charge_window =
           around_peak ? ChargeWindow::kAroundPeak : ChargeWindow::kFixed;
       return true;
     }},
    {"charge_begin",
     [](PyObject* v, FeatureOptions& o) {
       return read_count(v, "the charge window's first bound", o.charge_begin);
     }},
    {"charge_end",
     [](PyObject* v, FeatureOptions& o) {
       return read_count(v, "the charge window's second bound", o.charge_end);
     }},
    {"threshold",
     [](PyObject* v, FeatureOptions& o) { return read_real(v, o.threshold); }},
    {"threshold_in_rms",
     [](PyObject* v, FeatureOptions& o) {
       return read_flag(v, o.threshold_in_rms);
     }},
    {"cfd_fraction",
     [](PyObject* v, FeatureOptions& o) {
       return read_real(v, o.cfd_fraction);
     }},
    {"adc_max",
     [](PyObject* v, FeatureOptions& o) {
       return read_optional_real(v, o.adc_max);
     }},
    {"rise_low",
     [](PyObject* v, FeatureOptions& o) { return read_real(v, o.rise_low); }},
    {"rise_high",
     [](PyObject* v, FeatureOptions& o) { return read_real(v, o.rise_high); }},
    {"psd_split",
     [](PyObject* v, FeatureOptions& o) {
       return optional_count(v, "psd_split", o.psd_split);
     }},
    {"trap_rise",
     [](PyObject* v, FeatureOptions& o) {
       return read_count(v, "the trapezoid's rise", o.trap_rise);
     }},
    {"trap_flat",
     [](PyObject* v, FeatureOptions& o) {
       return read_count(v, "the trapezoid's flat top", o.trap_flat);
     }},
    {"tau", [](PyObject* v, FeatureOptions& o) { return read_real(v, o.tau); }},
    {"pickoff",
     [](PyObject* v, FeatureOptions& o) {
       return optional_count(v, "pickoff", o.pickoff);
     }},
}};

// The arrays come first, by position or by name; polarity, which may be an
// array of one per row, and the options are keyword-only.
constexpr std::size_t kArrays = 3;
constexpr std::size_t kPolarity = kArrays;
constexpr std::size_t kFirstOption = kPolarity + 1;

constexpr auto kComputeParameters = [] {
  std::array<const char*, kFirstOption + kOptions.size()> names = {
      "samples", "offsets", "outputs", "polarity"};
  for (std::size_t k = 0; k < kOptions.size(); ++k) {
    names[kFirstOption + k] = kOptions[k].name;
  }
  return names;
}();

// --- compute() --------------------------------------------------------------

PyObject* compute(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    std::array<PyObject*, kComputeParameters.size()> given{};
    if (!bind_arguments("compute()", kComputeParameters, kArrays, args, kwargs,
                        given)) {
      return nullptr;
    }
    FeatureOptions options;
    for (std::size_t k = 0; k < kOptions.size(); ++k) {
      if (!kOptions[k].read(given[kFirstOption + k], options)) return nullptr;
    }
    // An int for every row, or an int8 array of one per row (checked once
    // the rows are known).
    PyObject* polarity_obj = given[kPolarity];
    const bool per_row = PyLong_Check(polarity_obj) == 0;
    if (!per_row) {
      const long polarity = PyLong_AsLong(polarity_obj);
      if (polarity == -1 && PyErr_Occurred()) return nullptr;
      if (polarity < -1 || polarity > 1) {
        PyErr_Format(PyExc_ValueError, "polarity must be -1, 0 or 1, not %ld",
                     polarity);
        return nullptr;
      }
      options.polarity = static_cast<Polarity>(polarity);
    }
    if (auto why = check_options(options)) {
      return raise_message(PyExc_ValueError, *why);
    }

    Rows in;
    if (!take_rows(given[0], given[1], in)) return nullptr;
    if (in.offsets == nullptr) {
      if (auto why =
              check_windows(options, static_cast<std::size_t>(in.length))) {
        return raise_message(PyExc_ValueError, *why);
      }
    }
    const Py_ssize_t rows = in.rows;

    HeldBuffer polarity_buffer;
    if (per_row) {
      if (!take_polarities(polarity_obj, rows, polarity_buffer)) return nullptr;
      options.row_polarity =
          static_cast<const std::int8_t*>(polarity_buffer.view().buf);
    }

    std::array<HeldBuffer, kOutputs.size()> held;
    FeatureColumns columns{};
    if (!take_outputs(given[2], rows, held, columns)) return nullptr;

    if (in.element == Element::kU16) {
      run<std::uint16_t>(in, options, columns);
    } else {
      run<float>(in, options, columns);
    }
    Py_RETURN_NONE;
  });
}

constexpr const char kComputeDoc[] =
    "compute(samples, offsets, outputs, *, polarity, baseline_begin, "
    "baseline_end, charge_around_peak, charge_begin, charge_end, threshold, "
    "threshold_in_rms, cfd_fraction, adc_max, rise_low, rise_high, psd_split, "
    "trap_rise, trap_flat, tau, pickoff)\n--\n\n"
    "Pulse features of every row of samples, written into the arrays of the "
    "outputs dict. polarity is -1, 0 (per waveform) or 1, or an int8 array "
    "of one of those per row. Every option is required. Called by "
    "vorn_tools.features.compute, which documents the features.";

// --- Every pulse ----------------------------------------------------------

// The pulse columns, in the order of the dict find_pulses() returns.
struct PulseColumn {
  const char* name;
  std::size_t size;
  void (*write)(const Pulse&, char*);
};

template <auto Member>
void write_member(const Pulse& pulse, char* to) {
  std::memcpy(to, &(pulse.*Member), sizeof(pulse.*Member));
}

constexpr std::array<PulseColumn, 8> kPulseColumns = {{
    {"row", sizeof(std::int64_t), write_member<&Pulse::row>},
    {"pulse", sizeof(std::int32_t), write_member<&Pulse::pulse>},
    {"start_time", sizeof(double), write_member<&Pulse::start_time>},
    {"peak_index", sizeof(std::int64_t), write_member<&Pulse::peak_index>},
    {"amplitude", sizeof(double), write_member<&Pulse::amplitude>},
    {"charge", sizeof(double), write_member<&Pulse::charge>},
    {"fwhm", sizeof(double), write_member<&Pulse::fwhm>},
    {"time_over_threshold", sizeof(double),
     write_member<&Pulse::time_over_threshold>},
}};

template <class Sample>
void find(const Rows& in, const PulseOptions& options,
          std::vector<Pulse>& out) {
  const auto* data = static_cast<const Sample*>(in.samples.view().buf);
  const std::uint64_t* offsets = in.offsets;
  const auto rows = static_cast<std::size_t>(in.rows);
  const auto length = static_cast<std::size_t>(in.length);
  // An allocation failure is carried out of the unlocked region and thrown
  // again once the thread holds the interpreter.
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS;
  try {
    if (offsets != nullptr) {
      find_pulses(data, offsets, rows, options, out);
    } else {
      find_pulses(data, rows, length, options, out);
    }
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS;
  if (failure) std::rethrow_exception(failure);
}

PyObject* find_pulses_entry(PyObject*, PyObject* args) {
  return guard([&]() -> PyObject* {
    PyObject* samples_obj = nullptr;
    PyObject* offsets_obj = nullptr;
    Py_ssize_t baseline_begin = 0, baseline_end = 0;
    int polarity = 0;
    double threshold = 0, hysteresis = 0;
    int threshold_in_rms = 0, hysteresis_in_rms = 0;
    Py_ssize_t separation = 0, charge_before = 0, charge_after = 0;
    PyObject* slope = nullptr;
    Py_ssize_t slope_span = 0;
    if (!PyArg_ParseTuple(args, "OOnnidpdpnnnOn:find_pulses", &samples_obj,
                          &offsets_obj, &baseline_begin, &baseline_end,
                          &polarity, &threshold, &threshold_in_rms, &hysteresis,
                          &hysteresis_in_rms, &separation, &charge_before,
                          &charge_after, &slope, &slope_span)) {
      return nullptr;
    }
    if (!non_negative(baseline_begin, "the baseline window's start") ||
        !non_negative(baseline_end, "the baseline window's end") ||
        !non_negative(separation, "the separation") ||
        !non_negative(charge_before, "the charge window's lead") ||
        !non_negative(charge_after, "the charge window's tail") ||
        !non_negative(slope_span, "the slope trigger's span")) {
      return nullptr;
    }
    if (polarity != -1 && polarity != 1) {
      PyErr_Format(PyExc_ValueError, "polarity must be -1 or 1, not %d",
                   polarity);
      return nullptr;
    }
    PulseOptions options{
        .baseline_begin = static_cast<std::size_t>(baseline_begin),
        .baseline_end = static_cast<std::size_t>(baseline_end),
        .polarity = static_cast<Polarity>(polarity),
        .threshold = threshold,
        .threshold_in_rms = threshold_in_rms != 0,
        .hysteresis = hysteresis,
        .hysteresis_in_rms = hysteresis_in_rms != 0,
        .separation = static_cast<std::size_t>(separation),
        .charge_before = static_cast<std::size_t>(charge_before),
        .charge_after = static_cast<std::size_t>(charge_after),
        .slope = std::nullopt,
        .slope_span = static_cast<std::size_t>(slope_span),
    };
    if (slope != Py_None) {
      const double value = PyFloat_AsDouble(slope);
      if (value == -1.0 && PyErr_Occurred()) return nullptr;
      options.slope = value;
    }
    if (auto why = check_pulse_options(options)) {
      return raise_message(PyExc_ValueError, *why);
    }
    Rows in;
    if (!take_rows(samples_obj, offsets_obj, in)) return nullptr;
    if (in.offsets == nullptr) {
      if (auto why = check_pulse_windows(options,
                                         static_cast<std::size_t>(in.length))) {
        return raise_message(PyExc_ValueError, *why);
      }
    }
    std::vector<Pulse> found;
    if (in.element == Element::kU16) {
      find<std::uint16_t>(in, options, found);
    } else {
      find<float>(in, options, found);
    }

    // One copy into bytearrays the caller views as arrays; the vector goes
    // when this returns.
    PyRef result = PyRef::steal(PyDict_New());
    if (!result) return nullptr;
    for (const PulseColumn& column : kPulseColumns) {
      const auto bytes = static_cast<Py_ssize_t>(column.size * found.size());
      PyRef array = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, bytes));
      if (!array) return nullptr;
      char* to = PyByteArray_AS_STRING(array.get());
      for (const Pulse& pulse : found) {
        column.write(pulse, to);
        to += column.size;
      }
      if (PyDict_SetItemString(result.get(), column.name, array.get()) != 0) {
        return nullptr;
      }
    }
    return result.release();
  });
}

constexpr const char kFindPulsesDoc[] =
    "find_pulses(samples, offsets, baseline_begin, baseline_end, polarity, "
    "threshold, threshold_in_rms, hysteresis, hysteresis_in_rms, separation, "
    "charge_before, charge_after, slope, slope_span)\n--\n\n"
    "Every pulse of every row of samples, as a dict of bytearrays holding "
    "the columns row (int64), pulse (int32), start_time, peak_index (int64), "
    "amplitude, charge, fwhm and time_over_threshold (float64). Called by "
    "vorn_tools.pulses.find_pulses, which documents the pulses.";

PyMethodDef methods[] = {
    {"compute",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compute)),
     METH_VARARGS | METH_KEYWORDS, kComputeDoc},
    {"find_pulses", find_pulses_entry, METH_VARARGS, kFindPulsesDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    // The fault exception is process-wide state.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_GIL_DISABLED
    // No module state; the arrays belong to the caller.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vorn_tools._features",
    .m_doc = "Pulse features of waveform samples in caller-owned arrays.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace vorn::detail

PyMODINIT_FUNC PyInit__features() {
  return PyModuleDef_Init(&vorn::detail::module_def);
}
