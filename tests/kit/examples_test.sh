#!/usr/bin/env bash
# Builds the example commands against an installed kit, then runs them under
# nuvemu and checks what they write.
#   examples_test.sh BUILD_DIR drivers     the Makefile and the compiler drivers,
#                                          with the kit moved after installing
#   examples_test.sh BUILD_DIR package     find_package(NuvOS) in a host project
#   examples_test.sh BUILD_DIR toolchain   the toolchain file
set -euo pipefail
build_dir=$(cd "$1" && pwd)
mode=$2
src=$(cd "$(dirname "$0")/../../examples" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cmake --install "$build_dir" --prefix "$work/installed" >/dev/null
P=$work/installed
out=$work/out
mkdir -p "$out"
case "$mode" in
    drivers)
        # A kit works wherever it is put.
        mv "$work/installed" "$work/moved"
        P=$work/moved
        (cd / && make -s -f "$src/Makefile" NUVOS="$P" OUT="$out" >"$work/build.log" 2>&1) ||
            { cat "$work/build.log"; fail "make with the drivers"; }
        ;;
    package | toolchain)
        how=(-DCMAKE_PREFIX_PATH="$P")
        [ "$mode" = toolchain ] && how+=(-DCMAKE_TOOLCHAIN_FILE="$P/lib/cmake/NuvOS/NuvOSToolchain.cmake")
        cmake -S "$src" -B "$work/b" "${how[@]}" >"$work/build.log" 2>&1 &&
            cmake --build "$work/b" -j2 >>"$work/build.log" 2>&1 ||
            { cat "$work/build.log"; fail "build with the $mode"; }
        out=$work/b/images
        # Each source is compiled once, and announced once.
        twice=$(grep -E '^\[ *[0-9]+%\] (Building|Compiling)' "$work/build.log" | sed 's/^\[ *[0-9]*%\] //' | sort | uniq -d)
        [ -z "$twice" ] || fail "compiled twice: $twice"
        # The project's own tests (examples/CMakeLists.txt) through ctest: all
        # of them run, and those that must fail do.
        ctest --test-dir "$work/b" --output-on-failure >"$work/test.log" 2>&1 ||
            { cat "$work/test.log"; fail "ctest with the $mode"; }
        grep -q "100% tests passed, 0 tests failed out of 11$" "$work/test.log" ||
            { cat "$work/test.log"; fail "ctest with the $mode ran other tests than the eleven"; }
        # With one root named for every test (host paths the same in the
        # guest), in a folder with a space: the tests that need no root of
        # their own pass as well.
        cmake -S "$src" -B "$work/r oot" "${how[@]}" -DNUVOS_TEST_ROOT=/ >"$work/root.log" 2>&1 &&
            cmake --build "$work/r oot" -j2 >>"$work/root.log" 2>&1 &&
            ctest --test-dir "$work/r oot" --output-on-failure >>"$work/root.log" 2>&1 ||
            { cat "$work/root.log"; fail "ctest with the $mode and NUVOS_TEST_ROOT=/"; }
        grep -q "100% tests passed, 0 tests failed out of 10$" "$work/root.log" ||
            { cat "$work/root.log"; fail "ctest with NUVOS_TEST_ROOT=/ ran other tests than the ten"; }
        # With NUVOS_COVERAGE on, the tests' runs leave counts beside the
        # objects, which gcov reads; the images built without it are unchanged.
        cmake -S "$src" -B "$work/c" "${how[@]}" -DNUVOS_COVERAGE=ON >"$work/cov.log" 2>&1 &&
            cmake --build "$work/c" -j2 >>"$work/cov.log" 2>&1 &&
            ctest --test-dir "$work/c" >>"$work/cov.log" 2>&1 ||
            { cat "$work/cov.log"; fail "coverage build and tests with the $mode"; }
        gcda=$(find "$work/c" -name 'calc.c.gcda')
        [ -n "$gcda" ] || { cat "$work/cov.log"; fail "no counts of calc.c with the $mode"; }
        report=$(cd "$(dirname "$gcda")" && gcov calc.c.gcda 2>&1) || fail "gcov: $report"
        grep -q "^Lines executed:[1-9]" <<<"$report" || fail "gcov with the $mode: $report"
        readelf -SW "$work/c/images/calc" | grep -q ' \.gcov_info ' || fail "calc lacks its counts' list"
        ! readelf -SW "$out/calc" | grep -q ' \.gcov_info ' || fail "a plain calc has a counts' list"
        ;;
    *) fail "unknown mode $mode" ;;
esac

# The guest's root: the commands and some text.
root=$work/root
mkdir -p "$root/d"
for c in cat wc grep sort pipe calc; do
    [ -f "$out/$c" ] || fail "$c was not built"
    cp "$out/$c" "$root/$c"
done
printf 'one two\nthree\n\nfour five six\n' >"$root/a.txt"
printf 'Hello there\nhello\nHELLO world\nbye\n' >"$root/b.txt"
printf 'pear\napple\nfig\n' >"$root/fruit"
printf '1 2 3\n4\n' >"$root/four"
printf '1 2 3\n4 5 6\n' >"$root/six"
head -c 10000 /dev/zero | tr '\0' 'x' >"$root/long"

checks=0
# expect STATUS EXPECTED-OUTPUT COMMAND [ARG...]: runs COMMAND in the root.
expect() {
    local want_status=$1 want=$2
    shift 2
    local got status=0
    got=$(cd "$root" && "$P/bin/nuvemu" --root "$root" "$@" 2>&1) || status=$?
    [ "$got" = "$want" ] || fail "$*: output
--- got
$got
--- expected
$want"
    [ "$status" = "$want_status" ] || fail "$*: status $status, expected $want_status"
    checks=$((checks + 1))
}

expect 0 "$(cat "$root/a.txt" "$root/b.txt")" cat a.txt b.txt
expect 1 "cat: missing: no such file
$(cat "$root/a.txt")" cat missing a.txt
expect 1 "cat: d: is a directory" cat d
expect 1 "cat: a.txt/x: not a directory" cat a.txt/x
expect 0 "      4       6      29 a.txt" wc a.txt
expect 0 "      4       6      29 a.txt
      4       6      34 b.txt
      8      12      63 total" wc a.txt b.txt
expect 0 "      0       1   10000 long" wc long
expect 0 "Hello there
HELLO world
bye" grep -Fv hello b.txt
expect 0 "hello" grep -F hello b.txt
expect 0 "1:Hello there
2:hello
3:HELLO world" grep -Fin hello b.txt
expect 0 "a.txt:0
b.txt:1" grep -Fc bye a.txt b.txt
expect 1 "a.txt:0
b.txt:0" grep -Fc zebra a.txt b.txt
expect 2 "usage: grep -F [-i] [-v] [-c] [-n] PATTERN [FILE...]" grep hello b.txt
expect 0 "$(printf 'x%.0s' $(seq 4095))
$(printf 'x%.0s' $(seq 4095))
$(printf 'x%.0s' $(seq 1810))" grep -F x long
expect 0 "apple
fig
pear" sort fruit
expect 0 "pear
fig
apple" sort -r fruit
expect 0 "      4       6      29" pipe /cat a.txt '|' /wc
expect 0 "apple
fig
pear" pipe /cat fruit '|' /sort
expect 1 "" pipe /cat a.txt '|' /grep -F zebra
expect 2 "usage: pipe COMMAND [ARG...] '|' COMMAND [ARG...]" pipe /cat
expect 0 "10" pipe /cat four '|' /calc
expect 1 "calc: more than 5 numbers" pipe /cat six '|' /calc
expect 2 "calc: not a number" pipe /cat fruit '|' /calc

# Every image carries its records.
meta=$("$P/bin/nuvmeta" --json "$out/grep")
case "$meta" in
    *'"command":{"version":1,"name":"grep","description":"Print lines that hold a \"fixed\" string."}'*'"package":{"version":1,"name":"examples","text":"1"}'*) ;;
    *) fail "records of grep: $meta" ;;
esac
echo "examples ($mode): $checks runs ok"
