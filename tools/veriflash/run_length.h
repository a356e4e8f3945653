// The lists a report shows whose length the module decides (POST codes,
// trace messages, port writes, the access log). A module that loops on
// port 0x80 writes millions of codes; listed one by one they made a report
// of tens of megabytes. Here equal neighbours become one run
// ("0x55 ×2097152"), and of more runs than a report can usefully show only
// the first and the last are kept, with a count of what lies between; so a
// report stays small whatever the module does.
#pragma once

#include <fmt/core.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace veriflash {

// Runs shown at each end of a list of facts; the rest are counted.
inline constexpr size_t SHOWN_RUNS = 16;

template <class T>
struct Run {
  T value;
  uint64_t first = 0;  // index of its first item in the whole list
  uint64_t times = 0;
};

template <class T>
struct RunSummary {
  std::vector<Run<T>> runs;   // the first runs, then the last ones
  size_t omittedAt = 0;       // where in `runs` the omitted ones were
  uint64_t omittedRuns = 0;
  uint64_t omittedItems = 0;
  uint64_t total = 0;         // items in the whole list
};

// The runs of `project(item)` over `items`, keeping `shown` runs at each end.
// It walks the list once and holds no more than 2 * `shown` runs.
template <class Range, class Project>
auto Summarize(const Range& items, Project project, size_t shown = SHOWN_RUNS) {
  using T = std::decay_t<decltype(project(*std::begin(items)))>;
  RunSummary<T> summary;
  std::deque<Run<T>> tail;
  const auto close = [&](Run<T>&& run) {
    if (summary.runs.size() < shown) {
      summary.runs.push_back(std::move(run));
      return;
    }
    tail.push_back(std::move(run));
    if (tail.size() <= shown) return;
    summary.omittedRuns += 1;
    summary.omittedItems += tail.front().times;
    tail.pop_front();
  };
  std::optional<Run<T>> current;  // the run the next item may extend
  for (const auto& item : items) {
    T value = project(item);
    if (current && current->value == value) {
      ++current->times;
    } else {
      if (current) close(std::move(*current));
      current = Run<T>{std::move(value), summary.total, 1};
    }
    ++summary.total;
  }
  if (current) close(std::move(*current));
  summary.omittedAt = summary.runs.size();
  for (Run<T>& run : tail) summary.runs.push_back(std::move(run));
  return summary;
}

// "… 12 runs, 40 items not shown …".
std::string OmittedText(uint64_t runs, uint64_t items);

// One text per run, `text(value)` followed by " ×N" when it repeats, and one
// for what was omitted, in list order.
template <class T, class Text>
std::vector<std::string> RunTexts(const RunSummary<T>& summary, Text text) {
  std::vector<std::string> texts;
  for (size_t i = 0; i < summary.runs.size(); ++i) {
    if (i == summary.omittedAt && summary.omittedRuns > 0)
      texts.push_back(OmittedText(summary.omittedRuns, summary.omittedItems));
    const Run<T>& run = summary.runs[i];
    texts.push_back(run.times > 1 ? fmt::format("{} ×{}", text(run.value), run.times) : text(run.value));
  }
  return texts;
}

// The texts on one line, separated by spaces: "0x01 0x55 ×2097152 0x8F"; "none" for an empty list.
template <class T, class Text>
std::string RunLine(const RunSummary<T>& summary, Text text) {
  std::string line;
  for (const std::string& t : RunTexts(summary, text)) line += (line.empty() ? "" : " ") + t;
  return line.empty() ? "none" : line;
}

// {"total": N, "runs": [{"value": json(value), "first": i, "times": n}, ...],
//  "omitted": null or {"at": index in runs, "runs": r, "items": n}}.
template <class T, class Json>
nlohmann::json RunsJson(const RunSummary<T>& summary, Json json) {
  nlohmann::json doc = {{"total", summary.total}, {"runs", nlohmann::json::array()}, {"omitted", nullptr}};
  for (const Run<T>& run : summary.runs)
    doc["runs"].push_back({{"value", json(run.value)}, {"first", run.first}, {"times", run.times}});
  if (summary.omittedRuns > 0)
    doc["omitted"] = {{"at", summary.omittedAt}, {"runs", summary.omittedRuns}, {"items", summary.omittedItems}};
  return doc;
}

}  // namespace veriflash
