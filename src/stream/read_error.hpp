#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace vorn {

// Why a read did not produce what was asked for. Errors are values: readers
// return them, the binding decides what Python sees.
struct ReadError {
  enum class Kind : std::uint8_t {
    kEndOfData,    // the file ended before the requested bytes arrived
    kOs,           // a system call failed; `code` holds errno
    kInvalidData,  // the file holds something no event can be; see `message`
    kNoMemory,     // a buffer the file asked for could not be allocated
  };

  Kind kind = Kind::kEndOfData;
  int code = 0;
  std::string message;

  static ReadError end_of_data() { return {Kind::kEndOfData, 0, {}}; }
  static ReadError os(int err) { return {Kind::kOs, err, {}}; }
  static ReadError invalid_data(std::string text) {
    return {Kind::kInvalidData, 0, std::move(text)};
  }
  static ReadError no_memory(std::string text) {
    return {Kind::kNoMemory, 0, std::move(text)};
  }

  bool is_end_of_data() const noexcept { return kind == Kind::kEndOfData; }
};

// The end-of-data text is part of the observable contract of the stream.
inline constexpr const char* kEndOfDataMessage = "failed to fill whole buffer";

// Result of asking a reader for its next event.
template <class Event>
using ReadOutcome = std::variant<Event, ReadError>;

}  // namespace vorn
