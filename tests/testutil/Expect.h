#pragma once
// Refusals checked in one line: what an expression throws.
#include <string>

#include "VexaSwitchLib/runtime/Exception.h"

namespace VexaTest {

// The message of the E that `f` throws; "no exception" when it returns.
// An exception of another type goes on to the test, which fails.
template <class E, class F>
std::string thrownMessage(F&& f) {
  try {
    f();
  } catch (E const& e) {
    return e.what();
  }
  return "no exception";
}

// The message of the library exception `f` throws.
template <class F>
std::string errorOf(F&& f) {
  return thrownMessage<Quiv::Exception>(f);
}

}  // namespace VexaTest
