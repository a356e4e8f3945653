#include "tools/veriflash/help_format.h"

#include <sstream>

namespace veriflash {
namespace {

// `text` in lines of at most `width` characters (a longer word stands alone),
// each new line after the first prefixed with `indent` spaces. Lines already
// in the text stay.
std::string WrapText(const std::string& text, size_t width, size_t indent) {
  std::string out;
  std::istringstream paragraphs(text);
  bool firstLine = true;
  for (std::string paragraph; std::getline(paragraphs, paragraph);) {
    std::istringstream words(paragraph);
    size_t used = 0;  // characters on the current line
    bool lineStarted = false;
    const auto newLine = [&] {
      if (!firstLine) out += "\n" + std::string(indent, ' ');
      firstLine = false;
      used = 0;
      lineStarted = true;
    };
    for (std::string word; words >> word;) {
      if (!lineStarted || used + 1 + word.size() > width) {
        newLine();
      } else {
        out += ' ';
        ++used;
      }
      out += word;
      used += word.size();
    }
    if (!lineStarted) newLine();  // an empty line of the text stays
  }
  return out;
}

// The opening clause of a description, cut at a comma or a word to fit `width`.
std::string Summary(const std::string& description, size_t width) {
  // Up to the first full stop, colon or semicolon outside parentheses.
  int depth = 0;
  std::string clause = description;
  for (size_t i = 0; i < description.size(); ++i) {
    const char c = description[i];
    depth += (c == '(') - (c == ')');
    const bool ends = i + 1 == description.size() || description[i + 1] == ' ' || description[i + 1] == '\n';
    if (depth == 0 && ends && (c == '.' || c == ':' || c == ';')) {
      clause = description.substr(0, i);
      break;
    }
  }
  if (clause.size() <= width) return clause;
  // Else up to the last comma that fits, or the last word, outside parentheses.
  size_t comma = 0, space = 0;
  depth = 0;
  for (size_t i = 0; i <= width; ++i) {
    depth += (clause[i] == '(') - (clause[i] == ')');
    if (depth == 0 && clause[i] == ',') comma = i;
    if (depth == 0 && clause[i] == ' ') space = i;
  }
  const size_t cut = comma != 0 ? comma : space != 0 ? space : width;
  return clause.substr(0, cut);
}

// The two columns: `name` padded to HELP_COLUMN, then `text` wrapped to end
// by `width`. A name that would leave fewer than two spaces before the text
// goes alone on its line, so a reader of the help tells the two apart by
// those two spaces (a name holds single spaces only).
std::string TwoColumns(const std::string& name, const std::string& text, size_t width) {
  std::string out = "  " + name;
  if (text.empty()) return out + "\n";
  if (out.size() + 2 > HELP_COLUMN) {
    out += "\n" + std::string(HELP_COLUMN, ' ');
  } else {
    out.resize(HELP_COLUMN, ' ');
  }
  out += WrapText(text, width - HELP_COLUMN, HELP_COLUMN);
  return out + "\n";
}

}  // namespace

HelpFormatter::HelpFormatter() { column_width(HELP_COLUMN); }

// Each line of a description is a paragraph, wrapped, with an empty line
// after it, so that wrapped lines and paragraphs stay apart (CLI11 removes
// empty lines from an option group's).
std::string HelpFormatter::make_description(const CLI::App* app) const {
  std::istringstream lines(CLI::Formatter::make_description(app));
  std::string out;
  for (std::string line; std::getline(lines, line);)
    out += WrapText(line, HELP_WIDTH - groupIndent_, 0) + (groupIndent_ == 0 ? "\n\n" : "\n");
  return out;
}

std::string HelpFormatter::make_option(const CLI::Option* option, bool positional) const {
  return TwoColumns(make_option_name(option, positional) + make_option_opts(option), make_option_desc(option),
                    HELP_WIDTH - groupIndent_);
}

// CLI11 marks a required option only when it writes the value's text
// itself; ours all have their own.
std::string HelpFormatter::make_option_opts(const CLI::Option* option) const {
  std::string opts = CLI::Formatter::make_option_opts(option);
  if (option->get_required() && !option->get_option_text().empty()) opts += " (required)";
  return opts;
}

std::string HelpFormatter::make_subcommand(const CLI::App* command) const {
  return TwoColumns(command->get_display_name(true), Summary(command->get_description(), HELP_WIDTH - HELP_COLUMN),
                    HELP_WIDTH);
}

std::string HelpFormatter::make_expanded(const CLI::App* group) const {
  groupIndent_ += 2;
  std::string out = CLI::Formatter::make_expanded(group);
  groupIndent_ -= 2;
  return out;
}

}  // namespace veriflash
