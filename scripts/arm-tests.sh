#!/usr/bin/env bash
# The arm tier: the board's builds and what ships from them.
#
#  1. The release builds for the board (presets armel and armhf): 32-bit ARM
#     programs for the right processor and floating-point ABI, linked
#     against the board's C library for the package, and static copies of
#     them for bare boards; both start under qemu-arm on the oldest core of
#     their kind.
#  2. What ships: the Debian packages (armel, armhf and the native amd64
#     one) with the programs in sbin, quillet's MTD tools in
#     libexec/fwintegrity, the boot script with its BusyBox init script and
#     systemd unit, compressed manual pages, a copyright file and a
#     changelog; no file of mtd-utils' and no error from lintian. The
#     archives of static programs. The manual pages pass mandoc's lint.
#  3. The test suite on the ARM builds under qemu-arm (presets armel-test and
#     armhf-test, label arm). Where ARM_HOST_BUILD holds the native tests,
#     the whole suite's board tests are those native ones, run against the
#     ARM programs (the tier's run-native-tests); only what they start and
#     the tests of code compiled into them are built for ARM.
#
# Non-zero on the first failure. Set up first with scripts/arm-setup.sh (and
# scripts/deps.sh, which installs mtd-utils, whose file list the packages are
# held against). ARM_TEST_ARCHES (default "armel armhf") names the
# architectures whose test suite runs; the release builds and packages are
# always made for both. The whole suite runs on armel, the ARMv5 board. On
# armhf only the tests in which the processor can make a difference are
# built and run (the target arm_tier_quick: the record and checksum units,
# the ARM programs compared with the native ones, tolvane-status and
# tolvane-update on the board); ARMHF_WHOLE=1 builds and runs the whole suite
# there too. ARM_HOST_BUILD names a native build of this source made already
# (scripts/test.sh gives build/default) for the tests' native half, the
# emulator and the programs the ARM ones are compared with; without it the
# tier makes its own in build/arm-host.
set -euo pipefail
cd "$(dirname "$0")/.."

arches=(armel armhf)
read -r -a test_arches <<<"${ARM_TEST_ARCHES-armel armhf}"
# The native package is built apart from build/release, which the benchmarks use.
native_dir=build/amd64-package
tier_started=$SECONDS
debs=()
slow_runs=()

fail() {
  echo "arm tier: $*" >&2
  exit 1
}

triplet() {
  case $1 in
    armel) echo arm-linux-gnueabi ;;
    armhf) echo arm-linux-gnueabihf ;;
  esac
}

qemu_cpu() {
  case $1 in
    armel) echo arm926 ;;
    armhf) echo cortex-a7 ;;
  esac
}

# The processor a release build is made for, read from its ELF attributes:
# ARMv5TE without floating-point registers for armel, floating-point
# arguments in VFP registers for armhf.
check_cpu() {
  local arch=$1 exe=$2 attrs
  attrs=$("$(triplet "$arch")-readelf" -A "$exe")
  case $arch in
    armel)
      grep -q 'Tag_CPU_arch: v5TE' <<<"$attrs" || fail "$exe is not built for ARMv5TE"
      if grep -q 'Tag_ABI_VFP_args: VFP registers' <<<"$attrs"; then
        fail "$exe passes floating-point arguments in VFP registers"
      fi
      ;;
    armhf)
      grep -q 'Tag_ABI_VFP_args: VFP registers' <<<"$attrs" || fail "$exe is not a hard-float program"
      ;;
  esac
}

# check_kind FILE PATTERN: what `file` says about FILE matches PATTERN.
check_kind() {
  local what
  what=$(file -b "$1")
  # shellcheck disable=SC2053
  [[ $what == $2 ]] || fail "$1: $what"
}

# Each program starts on the board's core under qemu-arm and says what it
# says on a machine without the board's flash; quillet finds its tools.
# Not where MTD devices exist: quillet would rewrite them. smoke_run ARCH
# SBIN TOOLS [QEMU OPTION...]; tolvane only with SLOW=1: it pauses 10 s,
# so it runs in the background and check_slow_runs reads its end later.
smoke_run() {
  local arch=$1 sbin=$2 tools=$3 out status
  shift 3
  if [ -e /dev/mtd0 ] || [ -e /dev/mtd12 ]; then
    echo "  (MTD devices here: the programs are not started)"
    return
  fi
  local qemu=(qemu-arm -cpu "$(qemu_cpu "$arch")" "$@")
  for tool in nanddump nandwrite flash_eraseall; do
    status=0
    out=$("${qemu[@]}" "$tools/$tool" 2>&1) || status=$?
    [ "$status" -eq 2 ] || fail "$arch $tool without arguments: status $status, not 2"
    grep -q "^$tool: .*(usage: $tool" <<<"$out" || fail "$arch $tool printed no usage line: $out"
  done
  status=0
  out=$("${qemu[@]}" "$sbin/quillet" 2>&1) || status=$?
  [ "$status" -eq 0 ] || fail "$arch quillet: status $status"
  grep -qx 'Not 512M flash' <<<"$out" || fail "$arch quillet did not run to its end: $out"
  ! grep -q 'no tools folder' <<<"$out" || fail "$arch quillet did not find its tools: $out"
  # With no MTD device tolvane-status finds no record.
  status=0
  out=$("${qemu[@]}" "$sbin/tolvane-status" 2>&1) || status=$?
  [ "$status" -eq 1 ] || fail "$arch tolvane-status without MTD devices: status $status, not 1"
  grep -qx 'bootable    none' <<<"$out" || fail "$arch tolvane-status did not run to its end: $out"
  # tolvane-update checks the release before it looks at the flash.
  status=0
  out=$("${qemu[@]}" "$sbin/tolvane-update" /nonexistent 2>&1) || status=$?
  [ "$status" -eq 1 ] || fail "$arch tolvane-update without a release: status $status, not 1"
  grep -qx 'tolvane-update: /nonexistent/s1l.bak: No such file or directory' <<<"$out" ||
    fail "$arch tolvane-update did not check the release: $out"
  [ "${SLOW:-}" = 1 ] || return 0
  # Without /dev/mtd12 tolvane pauses 10 seconds, then refuses.
  local out_file=build/arm-smoke-tolvane-$arch.txt
  # (The subshell has errexit too: the status is caught, not exited on.)
  (status=0; "${qemu[@]}" "$sbin/tolvane" -o >"$out_file" 2>&1 || status=$?; echo "$status" >"$out_file.status") &
  slow_runs+=("$arch:$!:$out_file")
}

check_slow_runs() {
  local run arch pid out_file status
  for run in "${slow_runs[@]}"; do
    IFS=: read -r arch pid out_file <<<"$run"
    wait "$pid" || true
    status=$(cat "$out_file.status")
    [ "$status" -eq 1 ] || fail "$arch tolvane without mtd12: status $status, not 1"
    grep -q '^not 512MB partition' "$out_file" || fail "$arch tolvane did not refuse the layout: $(cat "$out_file")"
  done
}

# The build's board programs: NAME FOLDER PAGE FILE per line (FOLDER as
# installed, FILE as built).
board_programs() { cat "$1/board-programs"; }

# The file names of mtd-utils' package (not its folders).
mtd_utils_files() {
  dpkg -L mtd-utils >/dev/null 2>&1 || fail "mtd-utils is not installed: run scripts/deps.sh"
  dpkg -L mtd-utils | while read -r f; do [ -d "$f" ] || echo "$f"; done | sort
}

# The package holds each board program in its folder with its compressed
# page, the copyright file and the changelog, for the right architecture and
# with the dependencies read from its programs; no file of mtd-utils' and
# no tool name on the search path or in the manual's index.
check_package() {
  local dir=$1 arch=$2 kind=$3 deb listing files unpacked name folder page built
  deb=$(find "$dir" -maxdepth 1 -name "fwintegrity_*_$arch.deb" | head -n 1)
  [ -n "$deb" ] || fail "no $arch package in $dir"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb is not for $arch"
  grep -q '^libc6 (>= ' <<<"$(dpkg-deb -f "$deb" Depends)" || fail "$deb does not depend on libc6"
  listing=$(dpkg-deb -c "$deb")
  files=$(awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' <<<"$listing" | sort)
  while read -r name folder page built; do
    grep -qx "/usr/$folder/$name" <<<"$files" || fail "$deb has no /usr/$folder/$name"
    grep -qx "/usr/share/man/man8/$page.gz" <<<"$files" || fail "$deb has no page $page.gz"
  done < <(board_programs "$dir")
  for f in copyright changelog.gz; do
    grep -qx "/usr/share/doc/fwintegrity/$f" <<<"$files" || fail "$deb has no $f"
  done
  # The boot sequence, for BusyBox init and for systemd; the init script a conffile.
  for f in /usr/sbin/fwintegrity-boot /etc/init.d/S40fwintegrity /usr/lib/systemd/system/fwintegrity-boot.service \
    /usr/share/man/man8/fwintegrity-boot.8.gz; do
    grep -qx "$f" <<<"$files" || fail "$deb has no $f"
  done
  dpkg-deb -I "$deb" conffiles | grep -qx /etc/init.d/S40fwintegrity || fail "$deb: the init script is no conffile"
  if grep -E '^/usr/(s?bin|share/man/man8)/(nanddump|nandwrite|flash_eraseall)(\.8\.gz)?$' <<<"$files"; then
    fail "$deb takes a name of mtd-utils'"
  fi
  if comm -12 <(echo "$files") <(mtd_utils_files) | grep .; then
    fail "$deb and mtd-utils hold the same files"
  fi
  unpacked=$dir/package-contents
  rm -rf "$unpacked"
  dpkg-deb -x "$deb" "$unpacked"
  printf '  %s (%s bytes; installed %s KiB; Depends: %s)\n' "$(basename "$deb")" "$(stat -c %s "$deb")" \
    "$(dpkg-deb -f "$deb" Installed-Size)" "$(dpkg-deb -f "$deb" Depends)"
  while read -r name folder page built; do
    check_kind "$unpacked/usr/$folder/$name" "$kind*, stripped*"
    printf '    %-15s %8d bytes (stripped)\n' "$name" "$(stat -c %s "$unpacked/usr/$folder/$name")"
  done < <(board_programs "$dir")
  debs+=("$deb")
}

# The archive of static programs: each in its folder, with README and LICENSE.
check_archive() {
  local dir=$1 arch=$2 archive listing top
  archive=$(find "$dir" -maxdepth 1 -name "fwintegrity-static_*_$arch.tar.gz" | head -n 1)
  [ -n "$archive" ] || fail "no $arch archive of static programs in $dir"
  listing=$(tar -tzf "$archive")
  top=$(basename "$archive" .tar.gz)
  for f in README LICENSE sbin/fwintegrity-boot etc/init.d/S40fwintegrity \
    $(board_programs "$dir" | awk '{ print $2 "/" $1 }'); do
    grep -qx "$top/$f" <<<"$listing" || fail "$archive has no $f"
  done
  printf '  %s (%s bytes)\n' "$(basename "$archive")" "$(stat -c %s "$archive")"
}

for arch in "${arches[@]}"; do
  echo "=== arm tier: $arch release build"
  cmake --preset "$arch" -DFW_WERROR=ON >/dev/null
  cmake --build --preset "$arch" -j2
  dir=build/$arch
  static=$(find "$dir" -maxdepth 1 -type d -name "fwintegrity-static_*_$arch" | head -n 1)
  [ -n "$static" ] || fail "no static programs in $dir"
  while read -r name folder page built; do
    check_kind "$built" "ELF 32-bit LSB pie executable, ARM*dynamically linked*"
    check_kind "$static/$folder/$name" "ELF 32-bit LSB executable, ARM*statically linked*"
    check_cpu "$arch" "$built"
    check_cpu "$arch" "$static/$folder/$name"
  done < <(board_programs "$dir")
  smoke_run "$arch" "$dir/bin" "$dir/libexec/fwintegrity" -L "/usr/$(triplet "$arch")"
  SLOW=1 smoke_run "$arch" "$static/sbin" "$static/libexec/fwintegrity"
  echo "=== arm tier: $arch package"
  (cd "$dir" && cpack -G DEB >/dev/null)
  check_package "$dir" "$arch" "ELF 32-bit LSB pie executable, ARM"
  check_archive "$dir" "$arch"
done

echo "=== arm tier: amd64 package"
cmake --preset release -B "$native_dir" -DFW_WERROR=ON -DFW_BENCH=OFF -DFW_EMULATOR=OFF >/dev/null
cmake --build "$native_dir" -j2
(cd "$native_dir" && cpack -G DEB >/dev/null)
check_package "$native_dir" amd64 "ELF 64-bit LSB pie executable, x86-64"
check_slow_runs

lint=$(mandoc -T lint build/armel/man/*.[58] 2>&1 || true)
[ -z "$lint" ] || fail "mandoc finds fault with the manual pages: $lint"
# lintian takes its time: it runs beside the test builds, and its errors
# fail the tier after them; its warnings are shown.
lintian_report=build/lintian.txt
lintian --tag-display-limit 0 "${debs[@]}" >"$lintian_report" 2>&1 &
lintian_pid=$!
check_lintian() {
  wait "$lintian_pid" || true
  echo "=== arm tier: lintian"
  grep -v 'running with root privileges' "$lintian_report" || true
  ! grep -q '^E: ' "$lintian_report" || fail "lintian found errors in the packages ($lintian_report)"
  echo "  no error in ${#debs[@]} packages; mandoc finds nothing in the manual pages"
}

for arch in "${test_arches[@]}"; do
  echo "=== arm tier: $arch test build"
  started=$SECONDS
  # Both test builds share one native build of the programs and the emulator:
  # ARM_HOST_BUILD's, when it names one made already (scripts/test.sh gives
  # the everyday build), else build/arm-host.
  if [ -n "${ARM_HOST_BUILD:-}" ]; then
    host=(-DFW_ARM_HOST_DIR="$(cd "$ARM_HOST_BUILD" && pwd)" -DFW_ARM_HOST_BUILT=ON)
  else
    host=(-DFW_ARM_HOST_DIR="$PWD/build/arm-host" -DFW_ARM_HOST_BUILT=OFF)
  fi
  cmake --preset "$arch-test" "${host[@]}" >/dev/null
  # With the native tests at hand only what they start is built for ARM,
  # and they run against it (the set all, or quick for armhf).
  native=build/$arch-test/arm/run-native-tests
  if [ "$arch" = armel ] || [ "${ARMHF_WHOLE:-}" = 1 ]; then
    target=arm_tier_tests native_set=all
    [ -x "$native" ] && target=arm_tier_units
  else
    target=arm_tier_quick native_set=quick
    [ -x "$native" ] && target=arm_tier_quick_units
  fi
  [ -x "$native" ] || native_set=
  cmake --build --preset "$arch-test" -j2 --target "$target"
  echo "=== arm tier: $arch tests under qemu-arm ($target)"
  # The preset leaves out the executables left unbuilt (NAME_NOT_BUILT in the list).
  ctest --preset "$arch-test"
  if [ -n "$native_set" ]; then
    echo "=== arm tier: the native board tests ($native_set) against the $arch programs"
    "$native" "$native_set" -L board -E '^EveryStep/StoryStep\.' --output-on-failure -j2
  fi
  echo "arm tier: $arch built and tested in $((SECONDS - started)) s"
done
check_lintian
echo "arm tier: done in $((SECONDS - tier_started)) s"
