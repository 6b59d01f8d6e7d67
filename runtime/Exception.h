#pragma once
// The runtime's exception family. Every failure the library reports to a
// caller is one of these; programming errors are fatal assertions instead
// (see Debug.h, fmassert).
//
//   Quiv::Exception                      base, carries the message (msg())
//   ├─ Kel::RangeException               value outside its type's bounds
//   ├─ Kel::ParseException               text does not match a value's form
//   ├─ Kel::TypeException                generic access to an unsupported type
//   ├─ Quiv::CorruptionDetectedException shared data structurally inconsistent
//   ├─ Quiv::InvalidInitializeException  misuse at mount/attach time
//   ├─ Quiv::NoPermissionException       write to a read-only form
//   └─ Quiv::MemoryResourceException     mapping or resizing memory failed
#include <fmt/format.h>

#include <exception>
#include <string>
#include <string_view>

#include "VexaSwitchLib/runtime/QuivString.h"

namespace Quiv {

class Exception : public std::exception {
 public:
  explicit Exception(String msg) : msg_(std::move(msg)) {}
  String const& msg() const { return msg_; }
  char const* what() const noexcept override { return msg_.c_str(); }

 protected:
  String msg_;
};

class CorruptionDetectedException : public Exception { using Exception::Exception; };
class InvalidInitializeException : public Exception { using Exception::Exception; };
class NoPermissionException : public Exception { using Exception::Exception; };
class MemoryResourceException : public Exception { using Exception::Exception; };

template <class E>
[[noreturn]] void throwException(String msg) {
  throw E(std::move(msg));
}

}  // namespace Quiv

namespace Mem {
// A value read earlier is no longer current: its slot changed or the
// mapping it was read through was replaced.
class VersionMismatchException : public Quiv::Exception { using Exception::Exception; };
}  // namespace Mem

// fmthrow(ExceptionType, "format {}", args...)
#define fmthrow(Ex, ...) ::Quiv::throwException<Ex>(::fmt::format(__VA_ARGS__))

namespace Kel {

// A range failure. `detail()` is the bound violation as the value's own type
// words it; when the failure surfaced while parsing an attribute of an outer
// value, `attribute()` names that attribute and the message says so after
// the detail, so the detail text always leads.
class RangeException : public Quiv::Exception {
 public:
  explicit RangeException(Quiv::String detail)
      : Exception(detail), detail_(std::move(detail)) {}
  RangeException(Quiv::String detail, Quiv::String attribute);
  Quiv::String const& detail() const { return detail_; }
  Quiv::String const& attribute() const { return attribute_; }

 private:
  Quiv::String detail_;
  Quiv::String attribute_;
};

class ParseException : public Quiv::Exception { using Exception::Exception; };
class TypeException : public Quiv::Exception { using Exception::Exception; };

[[noreturn]] void throwRangeException(Quiv::String const& message);

// Call from inside a catch block: rethrows the RangeException being handled
// as a failure of `attrName`, prefixed to any attribute path it already has
// ("entry.key" for a key inside an entry).
[[noreturn]] void rethrowFromDeserializeAttr(std::string_view attrName);

}  // namespace Kel
