#!/usr/bin/env bash
# Builds the Debian packages from the build tree and checks what each holds and depends on:
# every installed file in exactly one package, the libraries alone in the runtime package,
# and links that resolve inside the unpacked tree.
#
#   package_test.sh BUILD_DIR LIBDIR VERSION CPACK
set -euo pipefail

build=$1 libdir=$2 version=$3 cpack=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/veltrane-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }

(cd "$build" && "$cpack" -G DEB -B "$work/out") >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }

lib=usr/$libdir
declare -A holds=(
  [libveltrane1]="$lib/libveltrane.so.1 $lib/libveltrane.so.1.0.0 $lib/librcpplus.so.1
                  $lib/librcpplus.so.1.0.0 $lib/libVozeDaroruvavuror.so"
  [libveltrane-dev]="$lib/libveltrane.so $lib/librcpplus.so usr/include/veltrane/veltrane.h
                     usr/include/veltrane/host.h usr/include/veltrane/capture_api.h
                     usr/include/veltrane/capture_io.h usr/include/veltrane/ipcapture.h
                     usr/include/veltrane/rcpplus/rcpplus.h $lib/pkgconfig/veltrane.pc
                     $lib/pkgconfig/rcpplus.pc $lib/cmake/veltrane/veltraneConfig.cmake
                     $lib/cmake/veltrane/veltraneConfigVersion.cmake
                     $lib/cmake/veltrane/veltraneTargets.cmake"
  [veltrane-tools]="usr/bin/veltrane-rec usr/bin/veltrane-devicesim $lib/veltrane/veltrane-rec
                    $lib/veltrane/veltrane-devicesim $lib/veltrane/nvs400.xml
                    $lib/veltrane/clips/cif.263 usr/lib/systemd/system/veltrane-rec.service"
)
all=$work/all-files
: >"$all"
for package in "${!holds[@]}"; do
  deb=$work/out/${package}_${version}_$(dpkg --print-architecture).deb
  [[ -f $deb ]] || fail "no $package package"
  [[ $(dpkg-deb -f "$deb" Version) == "$version" ]] || fail "$package has another version"
  dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||' | grep -v '/$' | sort >"$work/$package"
  cat "$work/$package" >>"$all"
  for f in ${holds[$package]}; do
    grep -qx "$f" "$work/$package" || fail "$package lacks $f"
  done
  # Other packages depend on exactly this version of the libraries.
  if [[ $package != libveltrane1 ]]; then
    dpkg-deb -f "$deb" Depends | grep -q "libveltrane1 (= $version)" ||
      fail "$package does not depend on libveltrane1 (= $version)"
  fi
  dpkg-deb -x "$deb" "$work/root"
done
# Only libraries in the runtime package: it can sit beside another version's tools.
if grep -v "^$lib/lib[^/]*\.so[.0-9]*$" "$work/libveltrane1" | grep -q .; then
  fail "libveltrane1 holds more than libraries"
fi
# The service is stopped before its programs go, and systemd told of unit changes.
tools_deb=$work/out/veltrane-tools_${version}_$(dpkg --print-architecture).deb
for script in postinst prerm postrm; do
  dpkg-deb -I "$tools_deb" "$script" >"$work/$script" 2>/dev/null ||
    fail "veltrane-tools has no $script"
  sh -n "$work/$script" || fail "the $script script of veltrane-tools is not valid sh"
done
grep -q "systemctl stop veltrane-rec.service" "$work/prerm" ||
  fail "prerm does not stop the service"

dupes=$(sort "$all" | uniq -d)
[[ -z $dupes ]] || fail "files in two packages: $dupes"
for link in usr/bin/veltrane-rec usr/bin/veltrane-devicesim "$lib/libveltrane.so" \
            "$lib/libveltrane.so.1"; do
  target=$(readlink -f "$work/root/$link")
  [[ $target == "$work/root/"* && -f $target ]] ||
    fail "$link does not resolve inside the package tree"
done

echo "package test: ${#holds[@]} packages, $(wc -l <"$all") files"
