#!/usr/bin/env bash
# Runs each libFuzzer target for a fixed time: tests/fuzz/run.sh SECONDS [TARGET...]
# Builds the targets into build-fuzz/ (BUILD_DIR overrides), works on a copy
# of the seed corpora, prints the executions per target and fails if any
# target found a fault (its reproducer is left in the working directory).
set -euo pipefail
cd "$(dirname "$0")/../.."

SECONDS_EACH=${1:?usage: tests/fuzz/run.sh SECONDS [TARGET...]}
shift
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(elf_fuzz meta_fuzz format_fuzz scan_fuzz convert_fuzz calls_fuzz gdb_fuzz debug_fuzz)
BUILD_DIR=${BUILD_DIR:-build-fuzz}

# clang with its sanitizer and fuzzer runtimes (the i386 ones included) and
# the 32-bit C++ runtime that the i386 targets link; installed when missing
# and this user may install packages.
PACKAGES=(clang libclang-rt-dev g++-multilib)
missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] && command -v apt-get >/dev/null 2>&1; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo -n)
    echo "Installing: ${missing[*]}"
    { "${sudo[@]}" apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq \
            --no-install-recommends "${missing[@]}"; } ||
        echo "cannot install ${missing[*]}"
fi
if ! command -v clang++ >/dev/null 2>&1; then
    echo "clang++ not found: fuzzing skipped"
    exit 0
fi
cmake -S . -B "$BUILD_DIR" -DNUV_FUZZ=ON -DNUV_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD_DIR" --target fuzz -j2 >/dev/null

status=0
work="$BUILD_DIR/fuzz/work"
for t in "${TARGETS[@]}"; do
    max_len=4096
    [ "$t" = elf_fuzz ] && max_len=32768
    mkdir -p "$work/$t/corpus"
    log="$work/$t/log"
    if (cd "$work/$t" && "../../$t" -max_total_time="$SECONDS_EACH" -max_len="$max_len" \
            -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            corpus "$PWD/../../../../tests/fuzz/corpus/$t") >"$log" 2>&1; then
        result=ok
    else
        result=FAILED
        status=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
    printf '%-13s %s: %s executions in %s s\n' "$t" "$result" "${runs:-?}" "${secs:-?}"
    if [ "$result" = FAILED ]; then tail -n 30 "$log"; fi
done
exit $status
