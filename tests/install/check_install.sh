#!/usr/bin/env bash
# Installs veriflash as a user would and runs what was installed from another
# folder, so that nothing of the build tree can stand in for it.
#
#   check_install.sh prefix BUILD SOURCE VERSION   cmake --install into a scratch prefix
#   check_install.sh deb BUILD SOURCE VERSION      cpack -G DEB: the package's name and
#       fields, a dependency for every library the tool loads, no lintian error,
#       then the package unpacked into a scratch root
#
# In both, the installed tool finds its module in share/veriflash (it builds
# an image with it); `version` names that file with OpenSSL's SHA-256 of it and
# the source's commit; the PEIM file is what `package` makes of the module;
# `man` finds a page per command whose synopsis is the command's usage; bash
# completion completes commands, options and option values. In the prefix, the
# README's runnable blocks run as written. Everything is made in a scratch
# folder that is removed.
# Exit status 77 (ctest: skipped) when the package tools are missing.
set -euo pipefail
mode=$1 build=$2 source=$3 version=$4
scratch=$(mktemp -d "${TMPDIR:-/tmp}/veriflash-install.XXXXXX")
manifest=$build/install_manifest.txt
[ -e "$manifest" ] && cp -p "$manifest" "$scratch/manifest.saved"
# cmake --install writes its manifest into the build folder: put back what was there.
restore() {
  if [ -e "$scratch/manifest.saved" ]; then cp -p "$scratch/manifest.saved" "$manifest"; else rm -f "$manifest"; fi
  rm -rf "$scratch"
}
trap restore EXIT

failures=0
ok() { echo "ok   $*"; }
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
expect_eq() {  # WHAT GOT EXPECTED
  if [[ $2 == "$3" ]]; then ok "$1"; else fail "$1: got [$2], expected [$3]"; fi
}

# Every command's words, and so its page: veriflash-image-create(1) for "image create".
commands=("" "demo" "image" "image create" "image stamp" "inspect" "diff" "package" "firmware" "firmware add"
          "firmware list" "firmware extract" "run" "version")

# Completion cases: the words typed (a trailing space starts a new word), then
# the words offered (none: bash falls back to file names).
completions=(
  "veriflash |demo image inspect diff package firmware run version"
  "veriflash i|image inspect"
  "veriflash image |create stamp"
  "veriflash firmware add --p|--pre-memory"
  "veriflash image create --fi|--fill --fit --fit-checksum --firmware"
  "veriflash image create x.bin --digest w|wrong"
  "veriflash run --engine |emulated native qemu"
  "veriflash run --module |"
  "veriflash inspect |"
  "veriflash inspect board.bin --j|--json-lines --junit --json"
  "veriflash image stamp a.bin --in|--in-place"
  "veriflash --|--help --version"
)

field() {  # JSON FIELD.PATH: the field's value, nothing where it is missing or null
  python3 -c 'import json, sys
value = json.loads(sys.argv[1])
for key in sys.argv[2].split("."): value = (value or {}).get(key)
print("" if value is None else value)' "$1" "$2"
}

# The installed tree under PREFIX (bin/veriflash, share/...), run from a folder of its own.
check_installed() {
  local prefix=$1 tool=$1/bin/veriflash efi=$1/share/veriflash/veriflash.efi
  local work=$scratch/elsewhere
  mkdir -p "$work"
  cd "$work"

  local json commit
  json=$("$tool" version --json)
  expect_eq "version: the module it ships" "$(field "$json" module.path)" "$efi"
  expect_eq "version: the module's SHA-256 is OpenSSL's" "$(field "$json" module.sha256)" \
            "$(openssl dgst -sha256 -r "$efi" | cut -d' ' -f1)"
  expect_eq "version: the tool's version" "$(field "$json" version)" "$version"
  commit=$(git -C "$source" rev-parse HEAD 2>/dev/null || echo unknown)
  expect_eq "version: the commit built" "$(field "$json" commit)" "$commit"

  # Building an image places the shipped module, so it must be found.
  if "$tool" image create board.bin >/dev/null; then
    ok "image create finds the installed module"
  else
    fail "image create without the installed module"
  fi
  "$tool" package "$efi" -o made.ffs >/dev/null
  if cmp -s made.ffs "$prefix/share/veriflash/veriflash.ffs"; then
    ok "veriflash.ffs is the installed module's PEIM file"
  else
    fail "veriflash.ffs differs from what package makes of the installed module"
  fi

  local words page pages=() usage shown warnings
  for words in "${commands[@]}"; do
    page=veriflash${words:+-${words// /-}}
    pages+=("$page.1.gz")
    if [[ $(MANPATH=$prefix/share/man man -w "$page" 2>&1) != "$prefix/share/man/man1/$page.1.gz" ]]; then
      fail "man does not find $page in $prefix/share/man"
      continue
    fi
    # shellcheck disable=SC2086  # the words are separate arguments
    usage=$("$tool" $words --help | sed -n 's/^Usage: //p')
    shown=$(MANPATH=$prefix/share/man LC_ALL=C MANWIDTH=200 man "$page" | sed -n '/^SYNOPSIS/{n;p}' |
            tr -s ' ' | sed 's/^ //')
    warnings=$(MANPATH=$prefix/share/man LC_ALL=C man --warnings "$page" 2>&1 >/dev/null || true)
    expect_eq "man $page: synopsis is the usage, no roff warning" "$shown${warnings:+; $warnings}" "$usage"
  done
  expect_eq "a page per command, no other" "$(cd "$prefix/share/man/man1" && ls | sort | tr '\n' ' ')" \
            "$(printf '%s\n' "${pages[@]}" | sort | tr '\n' ' ')"

  local case typed offered line
  for case in "${completions[@]}"; do
    typed=${case%%|*} offered=${case#*|}
    line=$(bash -c 'source "$1"; read -ra COMP_WORDS <<<"$2"; [[ $2 == *" " ]] && COMP_WORDS+=("")
                    COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _veriflash; echo "${COMPREPLY[*]}"' \
           _ "$prefix/share/bash-completion/completions/veriflash" "$typed")
    expect_eq "completion of \"$typed\"" "$line" "$offered"
  done
  cd "$scratch"
}

# The README's shell blocks marked "<!-- runnable -->", run as written against
# the tree under PREFIX (its bin first on PATH), each block in a folder of its
# own; a line must exit 0, or N where its comment says "(exit status N)".
check_readme() {
  local prefix=$1 block command expected status blocks=0 previous=""
  while IFS=$'\t' read -r block expected command; do
    if [[ $block != "$previous" ]]; then
      previous=$block blocks=$((blocks + 1))
      mkdir -p "$scratch/readme-$block"
    fi
    status=0
    (cd "$scratch/readme-$block" && PATH=$prefix/bin:$PATH bash -c "$command" >/dev/null 2>&1) || status=$?
    expect_eq "README: $command" "$status" "$expected"
  done < <(python3 - "$source/README.md" <<'PYTHON'
import re, sys
lines, block, i = open(sys.argv[1]).read().splitlines(), 0, 0
while i < len(lines):
    i += 1
    if lines[i - 1].strip() != "<!-- runnable -->":
        continue
    block += 1
    while i < len(lines) and not lines[i].strip():
        i += 1
    command = ""
    while i < len(lines) and lines[i].startswith("    "):
        command += lines[i][4:]
        i += 1
        if command.endswith("\\"):
            command = command[:-1] + " "
            continue
        status = re.search(r"#.*\(exit status (\d+)\)", command)
        print(f"{block}\t{status[1] if status else 0}\t{command}")
        command = ""
PYTHON
  )
  if [[ $blocks -gt 0 ]]; then ok "README: $blocks runnable blocks"; else fail "README: no runnable block found"; fi
}

case $mode in
  prefix)
    cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
    check_installed "$scratch/prefix"
    check_readme "$scratch/prefix"
    ;;
  deb)
    for tool in cpack dpkg-deb dpkg-shlibdeps lintian; do
      if ! command -v "$tool" >/dev/null; then
        echo "SKIPPED: no $tool here (bash scripts/install-deps.sh installs dpkg-dev and lintian)"
        exit 77
      fi
    done
    deb=veriflash_${version}_$(dpkg --print-architecture).deb
    (cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/package" >cpack.log 2>&1) ||
      { cat "$scratch/cpack.log"; fail "cpack -G DEB"; exit 1; }
    expect_eq "cpack writes one package, named as Debian names it" "$(cd "$scratch/package" && ls ./*.deb)" "./$deb"
    deb=$scratch/package/$deb
    expect_eq "package fields" "$(dpkg-deb -f "$deb" Package Version Architecture | tr '\n' ' ')" \
              "Package: veriflash Version: $version Architecture: $(dpkg --print-architecture) "

    dpkg-deb -x "$deb" "$scratch/root"
    # Every library the tool loads comes from a package it depends on.
    depends=$(dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed 's/(.*//; s/ //g')
    for library in $(ldd "$scratch/root/usr/bin/veriflash" | awk '$3 ~ /^\// {print $3}'); do
      owner=$( (dpkg -S "$library" || dpkg -S "$(readlink -f "$library")") 2>/dev/null | head -1 | cut -d: -f1)
      if [[ -n $owner ]] && grep -qx "$owner" <<<"$depends"; then
        ok "depends on $owner for $(basename "$library")"
      else
        fail "no dependency on the package that holds $library (${owner:-none found}); Depends: $depends"
      fi
    done

    # Its tags, warnings included, are shown; an error fails, and so does a
    # lintian that could not check (exit status 2).
    status=0
    lintian --tag-display-limit 0 "$deb" >"$scratch/lintian.txt" 2>"$scratch/lintian.err" || status=$?
    sed 's/^/     lintian /' "$scratch/lintian.txt"
    [ "$status" -le 1 ] || fail "lintian could not check the package: $(cat "$scratch/lintian.err")"
    expect_eq "lintian reports no error" "$(grep '^E:' "$scratch/lintian.txt" || true)" ""

    check_installed "$scratch/root/usr"
    ;;
  *)
    echo "usage: check_install.sh prefix|deb BUILD SOURCE VERSION" >&2
    exit 2
    ;;
esac

echo "$failures failed"
[ "$failures" -eq 0 ]
