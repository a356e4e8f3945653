// The layout of every --help: lines wrapped at 100 columns, an option's text
// in one column beside its name, required options marked, and a command
// list of one line per command (the opening clause of its description;
// `veriflash COMMAND --help` has the rest). scripts/help_docs.py reads this
// layout back into manual pages and the bash completion.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace veriflash {

inline constexpr size_t HELP_WIDTH = 100;
// Where option and command texts start; option names and values fit before it.
inline constexpr size_t HELP_COLUMN = 44;

class HelpFormatter : public CLI::Formatter {
 public:
  HelpFormatter();

  std::string make_description(const CLI::App* app) const override;
  std::string make_option(const CLI::Option* option, bool positional) const override;
  std::string make_option_opts(const CLI::Option* option) const override;
  std::string make_subcommand(const CLI::App* command) const override;
  std::string make_expanded(const CLI::App* group) const override;

 private:
  // CLI11 indents an option group's lines by two after they are made; set
  // while one is made, so its lines still end by column 100.
  mutable size_t groupIndent_ = 0;
};

}  // namespace veriflash
