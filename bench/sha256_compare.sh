#!/bin/bash
# Runs bench_sha256 once per OpenSSL code path and prints, for each, the
# throughputs of this engine's two compression paths and of OpenSSL's EVP
# SHA-256 at their fastest repetition, and the engine/OpenSSL ratios.
# OpenSSL reads OPENSSL_ia32cap once at start, hence one run per setting.
# Repetitions are interleaved at random, so machine noise hits every side;
# the fastest of each is the one least disturbed by a noisy machine.
#
#   bench/sha256_compare.sh BUILD_DIR/bench/bench_sha256 [REPETITIONS]
set -euo pipefail

binary=${1:?usage: $0 path/to/bench_sha256 [repetitions]}
repetitions=${2:-30}
region_bytes=2949120

settings=(
  "as it is|"
  "SHA extensions masked|:~0x20000000"
  "plain scalar (AVX, SSSE3, AVX2, SHA masked)|~0x1000020000000000:~0x20000020"
)

printf '%-44s %10s %10s %10s %9s %9s\n' "OpenSSL code path" "portable" "SHA ext" "OpenSSL" "port/OSSL" "SHA/OSSL"
printf '%-44s %10s %10s %10s\n' "" "MB/s" "MB/s" "MB/s"
for setting in "${settings[@]}"; do
  label=${setting%%|*}
  mask=${setting#*|}
  if [[ -z $mask ]]; then
    environment=(env -u OPENSSL_ia32cap)  # an empty value would mask everything
  else
    environment=(env "OPENSSL_ia32cap=$mask")
  fi
  # Column 4 is the CPU time of the "_min" aggregate, in the benchmark's unit
  # (ms): on a shared machine wall time also counts the waits for a core.
  "${environment[@]}" "$binary" --benchmark_repetitions="$repetitions" --benchmark_min_time=0.2 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
    --benchmark_format=csv 2>/dev/null |
    awk -F, -v label="$label" -v bytes="$region_bytes" '
      $1 ~ /_min"?$/ {
        rate = bytes / ($4 / 1e3) / 1e6
        if ($1 ~ /Portable/) portable = rate; else if ($1 ~ /ShaExtensions/) sha = rate; else openssl = rate
      }
      END {
        if (portable == 0 || openssl == 0) { print label ": no minima in the output" > "/dev/stderr"; exit 1 }
        printf "%-44s %10.1f %10.1f %10.1f %9.3f %9.3f\n", label, portable, sha, openssl, portable / openssl, sha / openssl
      }'
done
