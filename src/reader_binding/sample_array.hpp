#pragma once

#include <Python.h>

#include <cstdint>

#include "stream/sample_vector.hpp"

namespace vorn::detail {

// Wraps the samples in a one-dimensional NumPy array without copying them:
// the array is a writeable view of the vector's buffer, and its base, a
// PySliceContainer, owns and eventually frees that buffer. NumPy is imported
// on the first call in the process. The vector is given up in every outcome;
// every failure is a Fault.
PyObject* make_sample_array(SampleVector<std::uint16_t>&& samples);
PyObject* make_sample_array(SampleVector<float>&& samples);

}  // namespace vorn::detail
