#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace vorn {

// A broken invariant inside the module. Bad input never becomes a Fault: it
// travels as a value. Only the boundary to Python catches this type, turning it
// into the module's panic exception after a report on standard error.
class Fault : public std::exception {
 public:
  explicit Fault(std::string message,
                 std::source_location where = std::source_location::current())
      : message_(std::move(message)), where_(where) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

}  // namespace vorn
