#!/usr/bin/env python3
"""Writes veriflash's man pages, one per command, and its bash completion from
the tool's own --help, so that neither can fall behind the tool.

    help_docs.py TOOL MAN_DIR COMPLETION_FILE

MAN_DIR receives veriflash.1.gz, veriflash-image.1.gz, veriflash-image-create.1.gz
and so on (compressed as Debian wants them, without a time stamp, so the same
tool gives the same bytes); pages of commands that no longer exist are removed.
The help is CLI11's, laid out by the tool's own formatter: a description, a
"Usage:" line, then sections of entries whose descriptions start at one
column, which the "-h,--help" entry shows, wrapped below it; a name that
leaves fewer than two spaces before that column stands alone on its line.
"""
import gzip
import re
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path


@dataclass
class Entry:
    name: str  # as the help shows it: "-o,--output OUT", "IMAGE FILE", "create"
    text: list = field(default_factory=list)  # description lines

    @property
    def flags(self):
        return self.name.split(" ")[0].split(",")

    @property
    def argument(self):
        """The value an option takes ("SIZE (default 8MiB)"), empty for a flag."""
        rest = self.name.partition(" ")[2]
        return re.split(r"\b(?:Excludes|Needs):", rest)[0].strip()


@dataclass
class Section:
    title: str  # "Positionals", "Options", "Subcommands", or an option group's name
    notes: list = field(default_factory=list)  # an option group's description and rule
    entries: list = field(default_factory=list)


@dataclass
class Command:
    words: list  # [] for veriflash itself, ["image", "create"]
    description: list
    usage: str
    sections: list

    @property
    def page(self):
        return "-".join(["veriflash"] + self.words)

    def section(self, title):
        return next((s for s in self.sections if s.title == title), Section(title))


HEADER = re.compile(r"( *)(Positionals|Options|Subcommands):")
GROUP = re.compile(r"\[Option Group: (.*)\]")


def parse_help(words, text):
    lines = text.splitlines()
    usage_at = next(i for i, line in enumerate(lines) if line.startswith("Usage: "))
    help_line = next(line for line in lines if line.lstrip().startswith("-h,--help"))
    width = help_line.index("Print this help") - (len(help_line) - len(help_line.lstrip()))
    sections, body = [], lines[usage_at + 1:]
    section, column = None, None
    for i, line in enumerate(body):
        if not line.strip():
            continue
        header, group = HEADER.fullmatch(line), GROUP.fullmatch(line)
        if group:
            section, column = Section(group[1]), None
            sections.append(section)
        elif header and header[1] and section is not None and column is None:
            column = len(header[1]) + 2 + width  # the group's own entries, indented one step more
        elif header:
            section, column = Section(header[2]), 2 + width
            sections.append(section)
        elif column is None:
            section.notes.append(line.strip().strip("[]"))
        elif line.startswith(" " * column):
            section.entries[-1].text.append(line.strip())
        else:
            # Two spaces before the column: the text starts on the name's
            # line; a name too long for that stands alone, its text below.
            if len(line) > column and line[column - 2:column] == "  " and line[column] != " ":
                section.entries.append(Entry(line[:column].strip(), [line[column:].strip()]))
            else:
                section.entries.append(Entry(line.strip()))
    # Paragraphs, wrapped over lines, an empty line after each.
    description = [" ".join(p.split()) for p in "\n".join(lines[:usage_at]).split("\n\n") if p.strip()]
    return Command(words, description, lines[usage_at][len("Usage: "):], sections)


def read_tree(tool):
    """Every command, parents before children, in the order --help lists them."""
    commands, pending = [], [[]]
    while pending:
        words = pending.pop(0)
        text = subprocess.run([tool, *words, "--help"], check=True, capture_output=True, text=True).stdout
        command = parse_help(words, text)
        commands.append(command)
        pending += [words + [e.name] for e in command.section("Subcommands").entries]
    return commands


# --- man pages ---------------------------------------------------------------

def roff(text):
    """Plain text as roff: backslashes and hyphens escaped, no line read as a request."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def summary(command):
    """The description's opening clause, short enough for the NAME line."""
    text = " ".join(command.description)
    text = re.sub(r"^veriflash: ", "", text)
    depth, cuts = 0, []
    for i, c in enumerate(text):
        depth += (c == "(") - (c == ")")
        if depth == 0 and c in ".:;?" and (i + 1 == len(text) or text[i + 1] == " "):
            text = text[:i + (c == "?")]
            break
        if depth == 0 and c == ",":
            cuts.append(i)
    if len(text) > 90:
        text = text[:max([c for c in cuts if c < 90], default=len(text))]
    return text


def man_page(command, commands, version):
    name = command.page
    usage = command.usage.split(" ")
    program = " ".join(usage[:1 + len(command.words)])
    out = [f'.TH {name.upper()} 1 "" "{version}" "veriflash manual"',
           ".SH NAME", f"{roff(name)} \\- {roff(summary(command))}",
           ".SH SYNOPSIS", f".B {roff(program)}", roff(" ".join(usage[1 + len(command.words):])),
           ".SH DESCRIPTION"]
    for paragraph in command.description:
        out += [roff(paragraph), ".PP"]
    out.pop()
    titles = {"Positionals": "ARGUMENTS", "Options": "OPTIONS", "Subcommands": "COMMANDS"}
    for section in command.sections:
        if section.title in titles:
            out.append(f".SH {titles[section.title]}")
        else:
            out += [f".SS {roff(section.title)}", "\n.br\n".join(roff(note.strip()) for note in section.notes)]
        for entry in section.entries:
            text = roff(" ".join(entry.text))
            if section.title == "Subcommands":
                text += f"{'' if text.endswith('.') else '.'} See \\fB{roff(name)}\\-{roff(entry.name)}\\fR(1)."
            flags, argument = entry.name.partition(" ")[::2]
            out += [".TP", f"\\fB{roff(flags)}\\fR" + (f" {roff(argument)}" if argument else ""), text]
    related = sorted({c.page for c in commands if c is not command and
                      (c.words[:-1] == command.words or c.words == command.words[:-1] or not c.words)})
    out += [".SH SEE ALSO", ",\n".join(f"\\fB{roff(p)}\\fR(1)" for p in related)]
    return "\n".join(out) + "\n"


def write_man_pages(commands, folder, version):
    folder.mkdir(parents=True, exist_ok=True)
    written = set()
    for command in commands:
        path = folder / f"{command.page}.1.gz"
        page = man_page(command, commands, version).encode()
        with open(path, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=9, mtime=0, filename="") as z:
            z.write(page)
        written.add(path.name)
    for stale in folder.glob("veriflash*.1.gz"):
        if stale.name not in written:
            stale.unlink()


# --- bash completion ---------------------------------------------------------

def case_lines(pairs):
    return "".join(f'    "{key}") echo "{value}" ;;\n' for key, value in pairs if value)


def completion(commands):
    def options(c):
        return [e for s in c.sections if s.title not in ("Positionals", "Subcommands") for e in s.entries]

    def path(c):
        return " ".join(c.words)

    words = [(path(c), " ".join(e.name for e in c.section("Subcommands").entries)) for c in commands]
    flags = [(path(c), " ".join(f for e in options(c) for f in e.flags)) for c in commands]
    values, takes = [], []
    for c in commands:
        for e in options(c):
            for f in e.flags:
                if e.argument:
                    takes.append(f"{path(c)} {f}".strip())
                choice = e.argument.split(" ")[0]
                if re.fullmatch(r"[a-z0-9-]+(\|[a-z0-9-]+)+", choice):
                    values.append((f"{path(c)} {f}".strip(), choice.replace("|", " ")))
    return f"""# bash completion for veriflash, written by scripts/help_docs.py from the tool's --help.

# The commands under a command path ("" for veriflash itself, "image", ...).
_veriflash_commands() {{
  case $1 in
{case_lines(words)}  esac
}}

# The options of a command path.
_veriflash_options() {{
  case $1 in
{case_lines(flags)}  esac
}}

# The values an option of a command path accepts, where the help lists them.
_veriflash_values() {{
  case $1 in
{case_lines(values)}  esac
}}

# Whether an option of a command path takes a value.
_veriflash_takes_value() {{
  case $1 in
    {"|".join(f'"{t}"' for t in takes) or '""'}) return 0 ;;
  esac
  return 1
}}

_veriflash() {{
  local cur=${{COMP_WORDS[COMP_CWORD]}} prev=${{COMP_WORDS[COMP_CWORD-1]}} path="" i
  for ((i = 1; i < COMP_CWORD; i++)); do
    [[ " $(_veriflash_commands "$path") " == *" ${{COMP_WORDS[i]}} "* ]] && path=${{path:+$path }}${{COMP_WORDS[i]}}
  done
  local key=${{path:+$path }}$prev
  COMPREPLY=()
  if _veriflash_takes_value "$key"; then
    # An option's value: one of its choices, else a file name (complete -o default).
    COMPREPLY=($(compgen -W "$(_veriflash_values "$key")" -- "$cur"))
  elif [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$(_veriflash_options "$path")" -- "$cur"))
  else
    COMPREPLY=($(compgen -W "$(_veriflash_commands "$path")" -- "$cur"))
  fi
}}
complete -o default -F _veriflash veriflash
"""


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    tool, man_dir, completion_file = sys.argv[1], Path(sys.argv[2]), Path(sys.argv[3])
    version = subprocess.run([tool, "--version"], check=True, capture_output=True, text=True).stdout.strip()
    commands = read_tree(tool)
    write_man_pages(commands, man_dir, version)
    completion_file.parent.mkdir(parents=True, exist_ok=True)
    completion_file.write_text(completion(commands))


if __name__ == "__main__":
    main()
