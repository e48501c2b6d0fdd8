#!/usr/bin/env bash
# verdict.sh on console logs of the kinds a run of the virtual machine leaves:
# only a machine that ran every program to a clean end with no failure passes.
set -uo pipefail
verdict=$(dirname "$0")/verdict.sh
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0

# check NAME WANTED_STATUS WANTED_TEXT: runs verdict.sh on the log read from
# standard input; its status and a line of its output must be as wanted.
check() {
    cat >"$dir/log"
    local out status
    out=$("$verdict" "$dir/log")
    status=$?
    if [ "$status" -ne "$2" ] || ! grep -qF -- "$3" <<<"$out"; then
        echo "FAIL $1: status $status, wanted $2 and \"$3\" in:"
        echo "$out"
        failures=$((failures + 1))
    fi
}

program=/build/tests/emu/programs_test
good_program() {
    echo "NUV-VM: program $program"
    echo "[ RUN      ] Engines/Programs.A/native"
    echo "[       OK ] Engines/Programs.A/native (12 ms)"
    echo "[ RUN      ] Engines/NativeEngineTest.B/I386Notified"
    echo "[  SKIPPED ] Engines/NativeEngineTest.B/I386Notified (0 ms)"
    echo "[ RUN      ] Engines/Programs.C/native"
    echo "[       OK ] Engines/Programs.C/native (3 ms)"
    echo "[  PASSED  ] 2 tests."
    echo "[  SKIPPED ] 1 test, listed below:"
    echo "[  SKIPPED ] Engines/NativeEngineTest.B/I386Notified"
    echo "NUV-VM: program $program status 0"
}

# Firmware escapes before the first marker and the serial line's CR LF.
{
    printf '\033c\033[?7l\033[2JNUV-VM: begin on 2 processors\n'
    good_program
    echo "NUV-VM: end status 0"
} | sed 's/$/\r/' | check "a clean run" 0 "2 passed, 0 failed, 1 skipped in 1 programs"

{
    echo "NUV-VM: begin"
    good_program
    echo "NUV-VM: program $program"
    echo "[ RUN      ] Engines/Programs.D/native"
    echo "[  FAILED  ] Engines/Programs.D/native, where GetParam() = 4-byte object <01-00 00-00> (8 ms)"
    echo "[  FAILED  ] 1 test, listed below:"
    echo "[  FAILED  ] Engines/Programs.D/native, where GetParam() = 4-byte object <01-00 00-00>"
    echo "NUV-VM: program $program status 1"
    echo "NUV-VM: end status 1"
} | check "a failed test, counted once" 1 "2 passed, 1 failed, 1 skipped in 2 programs"

{
    echo "NUV-VM: begin"
    good_program
    echo "NUV-VM: program /build/tests/emu/kernel_test"
    echo "[ RUN      ] NativeKernel.E"
} | check "the machine gone mid-program" 1 "(last program started: /build/tests/emu/kernel_test)"

{
    echo "NUV-VM: begin"
    echo "NUV-VM: program $program"
    echo "[ RUN      ] Engines/Programs.A/native"
    echo "[       OK ] Engines/Programs.A/native (12 ms)"
    echo "[ RUN      ] Engines/Programs.F/native"
    echo "NUV-VM: program $program status 137"
    echo "NUV-VM: end status 1"
} | check "a program killed at its time limit" 1 "$program ended with status 137"

{
    echo "NUV-VM: begin"
    good_program
    echo "[   42.000000] Oops: 0003 [#1] PREEMPT SMP NOPTI"
    echo "NUV-VM: end status 0"
} | check "a kernel oops" 1 "Oops: 0003"

{
    echo "NUV-VM: begin"
    echo "NUV-VM: program $program"
    echo "[==========] 0 tests from 0 test suites ran. (0 ms total)"
    echo "[  PASSED  ] 0 tests."
    echo "NUV-VM: program $program status 0"
    echo "NUV-VM: end status 0"
} | check "nothing ran" 1 "no test passed"

printf 'SeaBIOS\nBooting from ROM...\n' | check "no /init" 1 "never reached its /init"

[ $failures -eq 0 ] && echo "verdict.sh: all cases as expected"
exit $((failures > 0))
