#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when missing.
set -euo pipefail
packages=(cmake make g++ clang pkg-config libgtest-dev libgmock-dev libpugixml-dev libssl-dev
          libbenchmark-dev ffmpeg libavformat-dev libavcodec-dev libavutil-dev
          libtomlplusplus-dev libcpp-httplib-dev libcli11-dev nlohmann-json3-dev curl dpkg-dev "$@")
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

install_missing "${packages[@]}"

# clang's libFuzzer and sanitizer runtimes (the fuzz targets) come in a package that clang
# only recommends (Debian bookworm: libclang-rt-14-dev); fetch it when clang cannot find them.
fuzzer_runtime=$(clang -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null || true)
if [ ! -f "$fuzzer_runtime" ]; then
  clang_major=$(clang -dumpversion | cut -d. -f1)
  install_missing "libclang-rt-${clang_major}-dev"
fi
