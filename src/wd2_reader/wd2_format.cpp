// The WD2 row of EventReader's format table: this file belongs to the Python
// binding, not to the reader library.
#include <Python.h>

#include "../lib/errors.hpp"
#include "../lib/format_table.hpp"
#include "../lib/sample_array.hpp"

namespace vorn::detail {
namespace {

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

const FormatRow& wd2_format() {
  static const FormatRow row{"WD2", &create_wd2};
  return row;
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
