#!/bin/bash
# Runs bench_sha256 once per OpenSSL code path and prints the median
# throughputs of this engine and of OpenSSL's EVP SHA-256, and their ratio.
# OpenSSL reads OPENSSL_ia32cap once at start, hence one run per setting.
# Repetitions are interleaved at random, so machine noise hits both sides.
#
#   bench/sha256_compare.sh BUILD_DIR/bench/bench_sha256 [REPETITIONS]
set -euo pipefail

binary=${1:?usage: $0 path/to/bench_sha256 [repetitions]}
repetitions=${2:-15}

settings=(
  "as it is|"
  "SHA extensions masked|:~0x20000000"
  "plain scalar (AVX, SSSE3, AVX2, SHA masked)|~0x1000020000000000:~0x20000020"
)

printf '%-44s %12s %12s %8s\n' "OpenSSL code path" "engine MB/s" "OpenSSL MB/s" "ratio"
for setting in "${settings[@]}"; do
  label=${setting%%|*}
  mask=${setting#*|}
  if [[ -z $mask ]]; then
    environment=(env -u OPENSSL_ia32cap)  # an empty value would mask everything
  else
    environment=(env "OPENSSL_ia32cap=$mask")
  fi
  "${environment[@]}" "$binary" --benchmark_repetitions="$repetitions" \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
    --benchmark_format=csv 2>/dev/null |
    awk -F, -v label="$label" '
      $1 ~ /_median"?$/ {
        if ($1 ~ /Engine/) engine = $6 / 1e6; else openssl = $6 / 1e6
      }
      END {
        if (engine == 0 || openssl == 0) { print label ": no medians in the output" > "/dev/stderr"; exit 1 }
        printf "%-44s %12.1f %12.1f %8.3f\n", label, engine, openssl, engine / openssl
      }'
done
