#include "runners/verdict.h"

namespace runners {
namespace {

struct Names {
  Verdict verdict;
  const char* word;
  const char* heading;
};

constexpr Names NAMES[] = {
    {Verdict::Pass, "pass", "PASS"},
    {Verdict::Fail, "fail", "FAIL"},
    {Verdict::NotRun, "not run", "NOT RUN"},
};

const Names& Find(Verdict verdict) {
  for (const Names& n : NAMES)
    if (n.verdict == verdict) return n;
  return NAMES[2];
}

}  // namespace

const char* VerdictWord(Verdict verdict) { return Find(verdict).word; }
const char* VerdictHeading(Verdict verdict) { return Find(verdict).heading; }

}  // namespace runners
