#!/usr/bin/env bash
# Installs the build tree into a staging folder and uses it as a host developer and a user
# would: the host example built with pkg-config and run against the staged simulator, a
# CMake project that finds the package, and the staged recorder started through its link.
#
#   install_test.sh BUILD_DIR SOURCE_DIR LIBDIR BINDIR INCLUDEDIR CXX CMAKE
set -euo pipefail

build=$1 source=$2 libdir=$3 bindir=$4 includedir=$5 cxx=$6 cmake=$7
work=$(mktemp -d "${TMPDIR:-/tmp}/veltrane-install.XXXXXX")
stage=$work/stage
sim_pid=""
cleanup() {
  if [[ -n $sim_pid ]]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "install test: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$stage" >"$work/install.log" || {
  cat "$work/install.log" >&2; fail "cmake --install failed"; }

# ---- the layout ----

tools=$stage/$libdir/veltrane
for f in "$libdir/libveltrane.so.1" "$libdir/librcpplus.so.1" "$libdir/libVozeDaroruvavuror.so" \
         "$libdir/libveltrane.so" "$includedir/veltrane/veltrane.h" "$includedir/veltrane/host.h" \
         "$includedir/veltrane/rcpplus/rcpplus.h" "$libdir/pkgconfig/veltrane.pc" \
         "$libdir/pkgconfig/rcpplus.pc" "$libdir/cmake/veltrane/veltraneConfig.cmake" \
         "$libdir/cmake/veltrane/veltraneConfigVersion.cmake" \
         "$libdir/veltrane/veltrane-rec" "$libdir/veltrane/veltrane-devicesim" \
         "$libdir/veltrane/nvs400.xml" "$libdir/veltrane/clips/cif.263" \
         lib/systemd/system/veltrane-rec.service; do
  [[ -e $stage/$f ]] || fail "$f is not installed"
done
for name in "libveltrane.so.1" "librcpplus.so.1"; do
  readelf -d "$stage/$libdir/$name" | grep -q "Library soname: \[$name\]" ||
    fail "$name does not carry the soname $name"
done
# The tools are reached through relative links, so the staged tree works where it lies.
for tool in veltrane-rec veltrane-devicesim; do
  link=$stage/$bindir/$tool
  [[ -L $link ]] || fail "$bindir/$tool is not a link"
  [[ $(readlink "$link") != /* ]] || fail "$bindir/$tool points to an absolute path"
  [[ $(readlink -f "$link") == $(readlink -f "$tools/$tool") ]] ||
    fail "$bindir/$tool does not lead to $libdir/veltrane/$tool"
done

# ---- the host example, built with pkg-config, against the staged simulator ----

export PKG_CONFIG_PATH=$stage/$libdir/pkgconfig
flags=$(pkg-config --cflags --libs veltrane) || fail "pkg-config does not know veltrane"
[[ $(pkg-config --modversion veltrane) == "$(pkg-config --modversion rcpplus)" ]] ||
  fail "veltrane.pc and rcpplus.pc disagree on the version"
mkdir "$work/host"
# shellcheck disable=SC2086  # the flags are words
"$cxx" -std=c++20 -Wall -Wextra -Werror "$source/examples/host_example.cpp" $flags \
  -Wl,-rpath,"$stage/$libdir" -o "$work/host/host_example" || fail "the host example does not build"
# The driver reads device types beside the host's executable.
cp "$tools/nvs400.xml" "$work/host/"

"$stage/$bindir/veltrane-devicesim" --type nvs400 --port 0 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
port=""
for _ in $(seq 100); do  # up to 10 s for the port line
  port=$(grep -m1 -Eo '^[0-9]+$' "$work/sim.out" || true)
  [[ -n $port ]] && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.err" >&2; fail "the staged simulator ended"; }
  sleep 0.1
done
[[ -n $port ]] || fail "the staged simulator printed no port"

# 25 frames of the first camera within 15 s; the size comes from the staged parser module.
out=$("$work/host/host_example" 127.0.0.1 "$port" nvs400 "" 25 15) ||
  fail "the host example received no video: $out"
[[ $out =~ ^received\ ([0-9]+)\ frames,\ [0-9]+\ bytes,\ 352x288$ ]] ||
  fail "unexpected report of the host example: $out"
(( BASH_REMATCH[1] >= 25 )) || fail "the host example stopped after ${BASH_REMATCH[1]} frames"
kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=""

# ---- a CMake project that finds the package ----

"$cmake" -S "$source/tests/install/consumer" -B "$work/consumer" \
  -DCMAKE_PREFIX_PATH="$stage" -DCMAKE_CXX_COMPILER="$cxx" >"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log" >&2; fail "find_package(veltrane 1.0) failed"; }
"$cmake" --build "$work/consumer" >>"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log" >&2; fail "the find_package consumer does not build"; }
"$work/consumer/consumer" || fail "the find_package consumer failed"
# A host written for another major version is turned away.
if "$cmake" -S "$source/tests/install/consumer" -B "$work/consumer2" -DWANTED_VERSION=2.0 \
     -DCMAKE_PREFIX_PATH="$stage" -DCMAKE_CXX_COMPILER="$cxx" >"$work/consumer2.log" 2>&1; then
  fail "find_package(veltrane 2.0) accepted version 1"
fi

# ---- the staged recorder, started through its link ----

# It loads the driver from the library folder and reads device types beside itself.
"$stage/$bindir/veltrane-rec" --duration 2 --out "$work/rec" >"$work/rec.log" 2>&1 ||
  { cat "$work/rec.log" >&2; fail "the staged recorder failed"; }
[[ -s $work/rec/summary.json ]] || fail "the staged recorder wrote no summary"
recorded=$(find "$work/rec" -type f ! -name summary.json -size +0 | wc -l)
(( recorded >= 1 )) || fail "the staged recorder wrote no recording"

# ---- the service's command line, stopped as systemd stops it ----

# The unit's ExecStart, continuation lines joined, with the service's folders moved into the
# work folder. The device list and the metrics address are left out: the recorder then
# records from its in-process simulator and listens nowhere.
unit=$stage/lib/systemd/system/veltrane-rec.service
exec_line=$(sed -n '/^ExecStart=/,/[^\\]$/p' "$unit" | sed -e 's/^ExecStart=//' -e 's/\\$//' |
  tr '\n' ' ')
read -ra unit_args <<<"$exec_line"
[[ ${unit_args[0]} == /usr/$bindir/veltrane-rec ]] || fail "the unit starts ${unit_args[0]}"
mkdir -m 700 "$work/credentials" "$work/state"
printf 'secret\n' >"$work/credentials/password"
args=()
for ((i = 1; i < ${#unit_args[@]}; i++)); do
  case ${unit_args[i]} in
    --config | --metrics) ((++i)) ;;
    *)
      arg=${unit_args[i]//%d/$work/credentials}
      args+=("${arg//\/var\/lib\/veltrane/$work/state}")
      ;;
  esac
done
"$stage/$bindir/veltrane-rec" "${args[@]}" >"$work/service.log" 2>&1 &
rec_pid=$!
for _ in $(seq 150); do  # up to 15 s for the first bytes on disk
  [[ -n $(find "$work/state" -type f -size +0 2>/dev/null | head -1) ]] && break
  kill -0 "$rec_pid" 2>/dev/null || break
  sleep 0.1
done
kill -TERM "$rec_pid" 2>/dev/null ||
  { cat "$work/service.log" >&2; fail "the service's recorder ended early"; }
status=0
wait "$rec_pid" || status=$?
(( status == 0 )) ||
  { cat "$work/service.log" >&2; fail "the service's recorder ended with $status on SIGTERM"; }
[[ -s $work/state/summary.json ]] || fail "SIGTERM left no summary"
! grep -q secret "$work/service.log" "$work/state/summary.json" ||
  fail "the password reached the output"

echo "install test: staged install in $libdir works ($recorded recordings)"
