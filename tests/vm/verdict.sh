#!/usr/bin/env bash
# Reads the serial console log of a run of run_native_vm.sh and says whether
# the native engine's tests passed in the virtual machine: every program ran to
# its end with status 0, no test failed, at least one test passed, and the
# machine reached its end marker with no kernel oops or panic on the way.
# Prints the counts and what went wrong; exits 0 when all is well, else 1.
set -uo pipefail

[ $# -eq 1 ] || { echo "usage: verdict.sh SERIAL_LOG" >&2; exit 2; }
log=$1
[ -r "$log" ] || { echo "verdict: cannot read $log" >&2; exit 1; }

tr -d '\r' <"$log" | awk '
    # A marker may follow what the firmware or the kernel left on its line.
    { i = index($0, "NUV-VM: "); if (i > 1) $0 = substr($0, i) }
    /^NUV-VM: begin/ { begun = 1 }
    /^NUV-VM: program .* status [0-9]+$/ {
        programs++
        if ($NF != 0) { bad = bad "  " $3 " ended with status " $NF "\n" }
        next
    }
    /^NUV-VM: program / { started[$3] = 1; last = $3 }
    /^NUV-VM: end status [0-9]+$/ { ended = 1; end_status = $NF }
    /^\[ +OK \] .* \([0-9]+ ms\)$/ { passed++ }
    /^\[ +FAILED +\] .* \([0-9]+ ms\)$/ { failed++; failures = failures "  " $0 "\n" }
    /^\[ +SKIPPED +\] .* \([0-9]+ ms\)$/ { skipped++; skips = skips "  " $0 "\n" }
    /Kernel panic|Oops:|BUG: |general protection fault/ { kernel = kernel "  " $0 "\n" }
    END {
        printf "verdict: %d passed, %d failed, %d skipped in %d programs\n",
               passed, failed, skipped, programs
        if (skips != "") printf "skipped (not for that mode or engine):\n%s", skips
        ok = 1
        if (!begun) { print "verdict: the machine never reached its /init"; ok = 0 }
        else if (!ended) {
            printf "verdict: the machine stopped before its end marker"
            if (last != "") printf " (last program started: %s)", last
            printf "\n"
            ok = 0
        } else if (end_status != 0) ok = 0
        if (bad != "") { printf "programs that did not end well:\n%s", bad; ok = 0 }
        if (failures != "") { printf "failed:\n%s", failures; ok = 0 }
        if (kernel != "") { printf "the guest kernel complained:\n%s", kernel; ok = 0 }
        if (passed == 0) { print "verdict: no test passed"; ok = 0 }
        print ok ? "verdict: PASS" : "verdict: FAIL"
        exit ok ? 0 : 1
    }'
