#!/usr/bin/env bash
# Runs the native engine's tests inside a small virtual machine: Debian's own
# kernel, busybox and the build's test programs in an initramfs, booted by
# QEMU. For hosts that run no 32-bit code, where these tests skip themselves.
#
#   run_native_vm.sh [--if-no-32bit] BUILD_DIR [GTEST_FILTER]
#
# Every test program of BUILD_DIR that the filter selects a test of goes in,
# with what it uses at the same absolute paths; the guest runs them with
# NUV_REQUIRE_NATIVE=1, so a native engine that cannot start is a failure
# there, not a skip. With --if-no-32bit the run is skipped (status 77) on a
# host that runs 32-bit programs itself, unless NUV_VM_FORCE=1.
#
# Environment: NUV_VM_CACHE (downloads and the image; BUILD_DIR/vm),
# NUV_VM_TIMEOUT (seconds for the whole machine, 1200), NUV_VM_MEMORY (3G),
# NUV_VM_ACCEL (auto, kvm or tcg). Exits 0 only when verdict.sh is content.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
only_without_32bit=0
if [ "${1:-}" = --if-no-32bit ]; then
    only_without_32bit=1
    shift
fi
[ $# -ge 1 ] && [ $# -le 2 ] || {
    echo "usage: run_native_vm.sh [--if-no-32bit] BUILD_DIR [GTEST_FILTER]" >&2
    exit 2
}
build=$(cd "$1" && pwd)
# The native engine's own tests, the kernel's with native processes, and
# every case of an engine-parameterised test on the native engine.
filter=${2:-'*NativeEngine*:NativeKernel.*:*/native:FaultReportsAcrossEngines.*:NativeRequired.*'}
cache=${NUV_VM_CACHE:-$build/vm}
vm_timeout=${NUV_VM_TIMEOUT:-1200}
memory=${NUV_VM_MEMORY:-3G}
accel=${NUV_VM_ACCEL:-auto}
mkdir -p "$cache"

say() { echo "run_native_vm: $*"; }

# Whether this host runs a 32-bit x86 program (an ARM64 host or an x86-64
# kernel without ia32 emulation answers "Exec format error").
host_runs_32bit() {
    local dir
    dir=$(mktemp -d)
    printf 'int main(void) { return 0; }\n' >"$dir/p.c"
    local ok=1
    if gcc -m32 -static -o "$dir/p" "$dir/p.c" 2>/dev/null && "$dir/p" 2>/dev/null; then
        ok=0
    fi
    rm -rf "$dir"
    return $ok
}

if [ $only_without_32bit -eq 1 ] && [ "${NUV_VM_FORCE:-0}" != 1 ] && host_runs_32bit; then
    say "this host runs 32-bit programs: the native tests run here directly (NUV_VM_FORCE=1 runs them in the machine too)"
    exit 77
fi

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

updated=0
apt_update_once() {
    [ $updated -eq 1 ] && return 0
    as_root apt-get update -qq
    updated=1
}

# QEMU, a static busybox and cpio, from Debian's registry.
install_missing() {
    local missing=() p
    for p in qemu-system-x86 busybox-static cpio; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing ${missing[*]}"
    apt-cache show "${missing[@]}" >/dev/null 2>&1 || apt_update_once
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# Debian's current kernel package, downloaded and unpacked into the cache,
# never installed: only its vmlinuz is kept, beside the package.
kernel() {
    local dir=$cache/kernel found
    found=$(ls "$dir"/vmlinuz-* 2>/dev/null | head -n1 || true)
    if [ -n "$found" ]; then
        echo "$found"
        return
    fi
    mkdir -p "$dir"
    local pkg
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
          awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
    if [ -z "$pkg" ]; then
        apt_update_once
        pkg=$(apt-cache depends linux-image-amd64 |
              awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
    fi
    [ -n "$pkg" ] || { say "no kernel package behind linux-image-amd64" >&2; exit 1; }
    say "downloading $pkg" >&2
    (cd "$dir" && apt-get download -q "$pkg" >/dev/null 2>&1) || {
        apt_update_once
        (cd "$dir" && apt-get download -q "$pkg" >/dev/null)
    }
    local unpacked=$dir/unpacked
    rm -rf "$unpacked"
    dpkg-deb -x "$dir"/"$pkg"_*.deb "$unpacked"
    cp "$unpacked"/boot/vmlinuz-* "$dir"/
    rm -rf "$unpacked"
    ls "$dir"/vmlinuz-* | head -n1
}

# Copies FILE into the image at its own path.
stage=$cache/root
put() {
    local to=$stage$1
    [ -e "$to" ] && return 0
    mkdir -p "$(dirname "$to")"
    cp -L "$1" "$to"
}

# A host program, without its debug information, and the shared libraries
# and loader it needs (the guest images keep theirs: fault reports read it).
put_program() {
    put "$1"
    strip -g "$stage$1"
    local lib
    for lib in $(ldd "$1" 2>/dev/null | awk '/=> \// { print $3 } /^[ \t]*\// { print $1 }'); do
        [ -e "$stage$lib" ] && continue
        put "$lib"
        strip -g "$stage$lib"
    done
}

build_image() {
    rm -rf "$stage"
    mkdir -p "$stage"/{bin,dev,proc,sys,tmp,etc,nuv-vm}
    cp /bin/busybox "$stage"/bin/busybox
    ln -s busybox "$stage"/bin/sh
    cp "$here"/init.sh "$stage"/init
    chmod 755 "$stage"/init
    echo "root:x:0:0:root:/tmp:/bin/sh" >"$stage"/etc/passwd

    : >"$stage"/nuv-vm/programs
    local program
    for program in "$build"/tests/*/*_test; do
        [ -x "$program" ] || continue
        # Programs with no test under the filter stay out (the whole list is
        # read: grep -q would end the pipe early, and pipefail with it).
        local listed
        listed=$("$program" --gtest_filter="$filter" --gtest_list_tests 2>/dev/null) || continue
        grep -q '^  ' <<<"$listed" || continue
        put_program "$program"
        echo "$program" >>"$stage"/nuv-vm/programs
    done
    [ -s "$stage"/nuv-vm/programs ] || { say "no test program has a test under $filter" >&2; exit 1; }
    echo "$filter" >"$stage"/nuv-vm/filter
    echo "$((vm_timeout * 3 / 4))" >"$stage"/nuv-vm/timeout

    # What the tests run and read, where they were built to find it: nuvemu
    # and the native engine's stubs, the images (the sanitized ones too), the
    # build's cache file (a regular file that is no image), the sources of
    # the images, and gcov for the coverage image's counts.
    local f
    for f in "$build"/bin/nuvemu "$build"/bin/nuvstub "$build"/bin/nuvstub64; do
        put_program "$f"
    done
    for f in "$build"/images/* "$build"/sanbugs/* "$build"/covered/counted{,.gcno}; do
        put "$f"
    done
    put_program "$(command -v gcov)"
    put "$build"/CMakeCache.txt
    local source
    source=$(awk -F= '/^CMAKE_HOME_DIRECTORY:/ { print $2 }' "$build"/CMakeCache.txt)
    for f in "$source"/tests/guest/* "$source"/tests/kit/counted.c; do put "$f"; done

    (cd "$stage" && find . -print0 | cpio --null -o -H newc -R 0:0 --quiet) |
        gzip -1 >"$cache"/initramfs.cpio.gz
}

# KVM where it really starts a machine here, else QEMU's own translator
# (without SMAP: QEMU 7.2 makes a far call's stack accesses as the
# supervisor's, which SMAP turns into oopses).
accel_options() {
    local vmlinuz=$1
    if [ "$accel" != tcg ] && [ -w /dev/kvm ] &&
        timeout 30 qemu-system-x86_64 -accel kvm -cpu host -m 256 -nographic -no-reboot \
            -nic none -kernel "$vmlinuz" -append "console=ttyS0 panic=-1" </dev/null 2>&1 |
            grep -q "Linux version"; then
        echo "-accel kvm -cpu host"
        return
    fi
    [ "$accel" = kvm ] && { say "KVM does not start a machine here" >&2; exit 1; }
    echo "-accel tcg,thread=multi -cpu max,-smap"
}

install_missing
vmlinuz=$(kernel)
accel_line=$(accel_options "$vmlinuz")
read -r -a accel_args <<<"$accel_line"
# QEMU's translator makes the memory accesses of `lock cmps` before it
# refuses the prefix (a page fault where a processor raises an invalid
# instruction), so the entry point sweep's check of F0 A6 and F0 A7 would fail
# for the emulator's sake: without KVM the sweep stays out. So do two cases
# of the direct path that hold an emulated guest to a real processor's pace:
# stopped inside its call handler it must leave it within the engine's 0.4 s
# grace, and 3,000 calls against two spinning threads must be done in 20 s
# (each failed here in one run of three under the translator).
if [ -z "${2:-}" ] && [ "${accel_args[1]}" != kvm ]; then
    filter="$filter-Engines/EntryPointSweep.*/native"
    filter="$filter:Engines/NativeEngineTest.StoppedAnywhereTheGuestGoesOnAsBefore/I386"
    filter="$filter:Engines/NativeEngineTest.ABurstOfCallsCompletesWhileEveryProcessorIsBusy/I386"
fi
start=$(date +%s)
build_image
built=$(date +%s)
say "image: $(du -h "$cache"/initramfs.cpio.gz | cut -f1) compressed, $(du -sh "$stage" | cut -f1) unpacked, built in $((built - start)) s"
say "booting $(basename "$vmlinuz") with ${accel_args[*]}, at most $vm_timeout s"

log=$cache/serial.log
set +e
timeout -k 10 "$vm_timeout" qemu-system-x86_64 "${accel_args[@]}" -m "$memory" -smp 2 \
    -nographic -no-reboot -nic none -kernel "$vmlinuz" -initrd "$cache"/initramfs.cpio.gz \
    -append "console=ttyS0 quiet loglevel=3 panic=-1" </dev/null 2>&1 | sed -u 's/\r$//' | tee "$log"
qemu_status=${PIPESTATUS[0]}
set -e
ran=$(date +%s)
say "the machine ran $((ran - built)) s (QEMU status $qemu_status)"
[ "$qemu_status" -eq 124 ] && say "the machine was stopped at its time limit"
"$here"/verdict.sh "$log"
