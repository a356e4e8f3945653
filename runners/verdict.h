// The one answer every engine, and the analysis of an image, gives: the
// check passes (the boot continues), fails (POST code 0x8F and the halt), or
// never ran. One enum, one name table.
#pragma once

#include <cstdint>

namespace runners {

enum class Verdict : uint8_t { Pass, Fail, NotRun };

// "pass", "fail", "not run": the word in JSON documents and messages.
const char* VerdictWord(Verdict verdict);
// "PASS", "FAIL", "NOT RUN": the heading of a report's verdict line.
const char* VerdictHeading(Verdict verdict);

}  // namespace runners
