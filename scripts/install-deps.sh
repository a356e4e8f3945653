#!/usr/bin/env bash
# Installs the Debian packages the build needs, skipping the update and the
# install when everything is already there. python3 writes the manual pages
# and the completion; dpkg-dev (dpkg-shlibdeps), lintian, man-db and openssl
# serve the package and its test.
set -euo pipefail
packages=(cmake ninja-build g++ clang lld llvm pkg-config qemu-system-x86
          libgtest-dev libgmock-dev libbenchmark-dev libssl-dev zlib1g-dev
          libunicorn-dev libcli11-dev libfmt-dev nlohmann-json3-dev liblzma-dev
          qemu-system-x86 ovmf ovmf-ia32 gdb chromium
          python3 dpkg-dev lintian man-db openssl)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
