#!/usr/bin/env bash
# Installs the Debian packages that building and testing Kro needs, only those
# that are missing. Runs as root, or through sudo.
set -Eeuo pipefail

# One list for the whole project: add a package here when the build needs it.
PACKAGES=(
  g++
  cmake
  ninja-build
  pkg-config
  libgtest-dev    # GoogleTest
  libgmock-dev    # its matchers
  libssl-dev      # libcrypto: MD5 and the SHA digests
  libpng-dev      # the image codecs: PNG,
  libjpeg62-turbo-dev  # JPEG,
  libgif-dev      # GIF
  libtiff-dev     # and TIFF
  libcurl4-openssl-dev  # HTTP requests
  python3         # the tests check our codecs and digests against zlib, gzip and hashlib
  gzip
  clang           # the libFuzzer targets (tests/fuzz),
  libclang-rt-dev # with their runtime
  lua5.4          # a peer in the benchmarks (bench/)
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "setup: every package is installed"
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  as_root=(env DEBIAN_FRONTEND=noninteractive)
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo env DEBIAN_FRONTEND=noninteractive)
else
  echo "setup: missing ${missing[*]}; run this as root or install sudo" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
