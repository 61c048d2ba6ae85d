#!/usr/bin/env bash
# The arm tier: the board's builds and what ships from them.
#
#  1. The release builds for the board (presets armel and armhf): static
#     32-bit ARM programs for the right processor and floating-point ABI,
#     which start under qemu-arm on the oldest core of their kind.
#  2. The Debian packages (armel, armhf and the native amd64 one) with the
#     six programs in sbin and their manual pages in man8.
#  3. The test suite on the ARM builds under qemu-arm (presets armel-test and
#     armhf-test, label arm).
#
# Non-zero on the first failure. Set up first with scripts/arm-setup.sh.
# ARM_TEST_ARCHES (default "armel armhf") names the architectures whose test
# suite runs; the release builds and packages are always made for both.
# The whole suite runs on armel, the ARMv5 board. On armhf the story's runs
# are left out (they start the same programs through the same board tool as
# the rest, and take half of the tier's time there): ARMHF_EXCLUDE is the
# ctest regular expression of what armhf leaves out; empty runs everything.
set -euo pipefail
cd "$(dirname "$0")/.."

programs=(tolvane quillet nanddump nandwrite flash_eraseall tolvane-status)
arches=(armel armhf)
read -r -a test_arches <<<"${ARM_TEST_ARCHES-armel armhf}"
armhf_exclude=${ARMHF_EXCLUDE-'^(Story|EveryStep/StoryStep)\.'}
# The native package is built apart from build/release, which the benchmarks use.
native_dir=build/amd64-package
tier_started=$SECONDS

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

# Each static program starts on the board's core under qemu-arm and says what
# it says on a machine without the board's flash. Not where MTD devices
# exist: quillet would rewrite them.
smoke_run() {
  local arch=$1 dir=$2 cpu out status
  if [ -e /dev/mtd0 ] || [ -e /dev/mtd12 ]; then
    echo "  (MTD devices here: the programs are not started)"
    return
  fi
  case $arch in
    armel) cpu=arm926 ;;
    armhf) cpu=cortex-a7 ;;
  esac
  for tool in nanddump nandwrite flash_eraseall; do
    status=0
    out=$(qemu-arm -cpu "$cpu" "$dir/$tool" 2>&1) || status=$?
    [ "$status" -eq 2 ] || fail "$arch $tool without arguments: status $status, not 2"
    grep -q "^$tool: .*(usage: $tool" <<<"$out" || fail "$arch $tool printed no usage line: $out"
  done
  status=0
  out=$(qemu-arm -cpu "$cpu" "$dir/quillet" 2>&1) || status=$?
  [ "$status" -eq 0 ] || fail "$arch quillet: status $status"
  grep -qx 'Not 512M flash' <<<"$out" || fail "$arch quillet did not run to its end: $out"
  # With no MTD device tolvane-status finds no record.
  status=0
  out=$(qemu-arm -cpu "$cpu" "$dir/tolvane-status" 2>&1) || status=$?
  [ "$status" -eq 1 ] || fail "$arch tolvane-status without MTD devices: status $status, not 1"
  grep -qx 'bootable    none' <<<"$out" || fail "$arch tolvane-status did not run to its end: $out"
  # Without /dev/mtd12 tolvane pauses 10 seconds, then refuses.
  status=0
  out=$(qemu-arm -cpu "$cpu" "$dir/tolvane" -o 2>&1) || status=$?
  [ "$status" -eq 1 ] || fail "$arch tolvane without mtd12: status $status, not 1"
  grep -q '^not 512MB partition' <<<"$out" || fail "$arch tolvane did not refuse the layout: $out"
}

# The package holds the six programs in sbin and their pages in man8, for
# the right architecture; its programs are what `file` calls them.
check_package() {
  local dir=$1 arch=$2 kind=$3 deb listing unpacked what
  deb=$(find "$dir" -maxdepth 1 -name "fwintegrity_*_$arch.deb" | head -n 1)
  [ -n "$deb" ] || fail "no $arch package in $dir"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb is not for $arch"
  listing=$(dpkg-deb -c "$deb")
  for p in "${programs[@]}"; do
    grep -q " \./usr/sbin/$p\$" <<<"$listing" || fail "$deb has no /usr/sbin/$p"
    grep -q " \./usr/share/man/man8/$p\.8\$" <<<"$listing" || fail "$deb has no man8 page for $p"
  done
  unpacked=$dir/package-contents
  rm -rf "$unpacked"
  dpkg-deb -x "$deb" "$unpacked"
  printf '  %s\n' "$(basename "$deb")"
  for p in "${programs[@]}"; do
    what=$(file -b "$unpacked/usr/sbin/$p")
    grep -q "^$kind" <<<"$what" || fail "$deb: $p is $what"
    grep -q ', stripped' <<<"$what" || fail "$deb: $p is not stripped"
    printf '    %-15s %8d bytes (stripped)\n' "$p" "$(stat -c %s "$unpacked/usr/sbin/$p")"
  done
}

for arch in "${arches[@]}"; do
  echo "=== arm tier: $arch release build"
  cmake --preset "$arch" -DFW_WERROR=ON >/dev/null
  cmake --build --preset "$arch" -j2
  dir=build/$arch/bin
  for p in "${programs[@]}"; do
    kind=$(file -b "$dir/$p")
    case $kind in
      "ELF 32-bit LSB executable, ARM"*"statically linked"*) ;;
      *) fail "$dir/$p: $kind" ;;
    esac
    check_cpu "$arch" "$dir/$p"
  done
  smoke_run "$arch" "$dir"
  echo "=== arm tier: $arch package"
  (cd "build/$arch" && cpack -G DEB >/dev/null)
  check_package "build/$arch" "$arch" "ELF 32-bit LSB executable, ARM"
done

echo "=== arm tier: amd64 package"
cmake --preset release -B "$native_dir" -DFW_WERROR=ON -DFW_BENCH=OFF >/dev/null
cmake --build "$native_dir" -j2
(cd "$native_dir" && cpack -G DEB >/dev/null)
check_package "$native_dir" amd64 "ELF 64-bit LSB pie executable, x86-64"

for arch in "${test_arches[@]}"; do
  echo "=== arm tier: $arch test build"
  started=$SECONDS
  cmake --preset "$arch-test" >/dev/null
  cmake --build --preset "$arch-test" -j2 --target arm_tier_tests
  echo "=== arm tier: $arch tests under qemu-arm"
  if [ "$arch" = armhf ] && [ -n "$armhf_exclude" ]; then
    echo "(armhf leaves out the tests matching $armhf_exclude)"
    ctest --preset "$arch-test" -E "$armhf_exclude"
  else
    ctest --preset "$arch-test"
  fi
  echo "arm tier: $arch built and tested in $((SECONDS - started)) s"
done
echo "arm tier: done in $((SECONDS - tier_started)) s"
