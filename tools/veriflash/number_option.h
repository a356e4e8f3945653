// The one check every numeric option goes through. CLI11 alone lets "nan"
// through a range check (it compares false both ways), reads "-0" or "-1"
// into an unsigned option, and a leading zero as octal; this check reads the
// text itself and hands the option the value it checked, in decimal.
#pragma once

#include <CLI/CLI.hpp>

namespace veriflash {

enum class NumberKind {
  Integer,  // decimal, or hexadecimal after 0x; no sign; a leading zero is still decimal
  Size,     // an Integer with an optional K, M or G suffix (KB, KiB, ...: all powers of 1024)
  Real,     // decimal, finite, no sign
};

// Makes `option` take only a number of `kind` from `min` to `max`; anything
// else (nan, inf, 1e400, -0, a sign, text after the number, a value out of
// range) ends the command with one line naming the option and the range
// (a ToolError, exit status 2). Returns `option`.
CLI::Option* NumberIn(CLI::Option* option, NumberKind kind, long double min, long double max);

}  // namespace veriflash
