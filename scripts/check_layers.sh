#!/usr/bin/env bash
# Checks every quoted #include in the folders that layers.rules names against
# the layer rules there. Prints one line per include that goes against them
# and exits 1; exits 0 when there is none.
#
#   scripts/check_layers.sh [ROOT]     ROOT defaults to the source tree
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
rules_file=$root/layers.rules
[ -f "$rules_file" ] || { echo "check_layers: no $rules_file" >&2; exit 2; }

declare -A allowed
layers=()
while read -r folder rest; do
  [[ -z $folder || $folder == \#* ]] && continue
  layers+=("$folder")
  allowed[$folder]=$rest
done < "$rules_file"

# The longest layer folder that holds `path`, or nothing.
layer_of() {
  local path=$1 best=""
  for layer in "${layers[@]}"; do
    if [[ $path == "$layer"/* && ${#layer} -gt ${#best} ]]; then best=$layer; fi
  done
  printf '%s' "$best"
}

violations=0
for layer in "${layers[@]}"; do
  [ -d "$root/$layer" ] || continue
  while IFS= read -r -d '' file; do
    rel=${file#"$root"/}
    [[ $(layer_of "$rel") == "$layer" ]] || continue  # belongs to a deeper layer
    while IFS=: read -r line include; do
      target=$(layer_of "$include")
      [[ -n $target && $target == "$layer" ]] && continue
      ok=0
      for entry in ${allowed[$layer]}; do
        if [[ $include == "$entry" || $include == "$entry"/* ]]; then ok=1; break; fi
      done
      if [ $ok -eq 0 ]; then
        echo "$rel:$line: includes \"$include\", but $layer may include only its own headers and: ${allowed[$layer]:-nothing else}"
        violations=$((violations + 1))
      fi
    done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" | sed 's/^\([0-9]*\):[^"]*"\([^"]*\)".*/\1:\2/')
  done < <(find "$root/$layer" -type f \( -name '*.h' -o -name '*.cpp' \) -print0)
done

if [ $violations -gt 0 ]; then
  echo "check_layers: $violations include(s) against the layers in layers.rules"
  exit 1
fi
