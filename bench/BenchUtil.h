// What every benchmark may need: stopping with a message when it cannot set
// itself up, and the tests' bounded message pump (tests/common/Pump.cpp is
// compiled into each benchmark).
#pragma once
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/Pump.h"

namespace evcbench {

// A benchmark that cannot set itself up has no figure worth printing.
[[noreturn]] inline void Fatal(const std::string& what) {
  std::fprintf(stderr, "fatal: %s\n", what.c_str());
  std::exit(2);
}

using evctest::PumpUntil;

}  // namespace evcbench
