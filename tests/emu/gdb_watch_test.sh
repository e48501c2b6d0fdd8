#!/usr/bin/env bash
# gdb_watch_test.sh BUILD_DIR: gdb in batch mode on each engine sets a write
# and a read watchpoint and sees each fire after its instruction; interrupts
# a guest that computes without calls and one that waits in a call (a sleep,
# a read of an empty pipe, a child that never ends; SIGINT to gdb, which
# sends Ctrl-C), and steps the read it was stopped in; lets a child that
# writes into a slow pipe copy all of it while its parent waits;
# and finds a faulting guest kept at its fault by --gdb-keep-fault, with its
# backtrace, where without the option the run ends. Every gdb and nuvemu run
# has a time limit; nuvemu takes a free port and tells it on standard error.
set -uo pipefail
build=$1
nuvemu=$build/bin/nuvemu
# shellcheck source-path=SCRIPTDIR source=gdb_common.sh
. "$(dirname "$0")/gdb_common.sh"

for engine in $engines; do
    # A write watchpoint stops after the store, with the old and new values;
    # a read watchpoint after the load; the guest then ends as it would.
    name=$engine.watch
    serve "$name" "$listening" --engine "$engine" --gdb-wait "$build/images/watchee" || continue
    timeout -k 5 90 gdb -nx -batch -ex "target remote 127.0.0.1:$port" \
        -ex 'watch counter' -ex 'rwatch limit' -ex 'continue' -ex 'print counter' \
        -ex 'delete 1' -ex 'continue' -ex 'delete' -ex 'continue' \
        "$build/images/watchee" >"$work/$name.gdb" 2>&1
    wait "$emu"
    status=$?
    expect "$name" "$work/$name.gdb" \
        '^Hardware watchpoint 1: counter$' '^Hardware read watchpoint 2: limit$' \
        '^Old value = 0$' '^New value = 5$' \
        '^bump \(by=5\) at .*watchee\.cpp:(19|20)$' '^\$1 = 5$' \
        '^Value = 7$' '^0x[0-9a-f]+ in twice_limit \(\) at .*watchee\.cpp:2[34]$|^twice_limit \(\) at' \
        'exited normally'
    [ "$status" = 0 ] || fail "$name: nuvemu ended with $status"
    expect "$name output" "$work/$name.out" '^5 14$'
    if [ "$failures" != 0 ]; then cat "$work/$name.gdb" "$err"; fi

    # Ctrl-C (gdb sends it on SIGINT) stops a guest that never makes a
    # call, where it stands in its loop; the debugger then ends it. One
    # SIGINT, to gdb alone (--foreground): a second makes gdb give up.
    name=$engine.interrupt
    serve "$name" "$listening" --engine "$engine" --gdb-wait "$build/images/watchee" spin ||
        continue
    timeout --foreground -s INT -k 60 3 gdb -nx -batch -ex "target remote 127.0.0.1:$port" \
        -ex 'continue' -ex 'bt' -ex 'print spins > 0' -ex 'kill' \
        "$build/images/watchee" >"$work/$name.gdb" 2>&1
    wait "$emu"
    status=$?
    expect "$name" "$work/$name.gdb" 'Program received signal SIGINT' \
        '^#0  (0x[0-9a-f]+ in )?main \(argc=2, argv=0x[0-9a-f]+\) at .*watchee\.cpp:(28|29)$' \
        '^\$1 = true$'
    [ "$status" = 139 ] || fail "$name: nuvemu ended with $status"
    expect "$name nuvemu" "$err" 'killed by the debugger'
    if [ "$failures" != 0 ]; then cat "$work/$name.gdb" "$err"; fi

    # Ctrl-C stops a guest waiting in a call (a minute's sleep) at that call.
    name=$engine.interrupt-sleep
    serve "$name" "$listening" --engine "$engine" --gdb-wait "$build/images/watchee" sleep ||
        continue
    timeout --foreground -s INT -k 60 3 gdb -nx -batch -ex "target remote 127.0.0.1:$port" \
        -ex 'continue' -ex 'bt 2' -ex 'kill' "$build/images/watchee" >"$work/$name.gdb" 2>&1
    wait "$emu"
    status=$?
    expect "$name" "$work/$name.gdb" 'Program received signal SIGINT' \
        '^#0  (0x[0-9a-f]+ in )?sleep \(' '^#1  0x[0-9a-f]+ in main \('
    [ "$status" = 139 ] || fail "$name: nuvemu ended with $status"
    expect "$name nuvemu" "$err" 'killed by the debugger'
    if [ "$failures" != 0 ]; then cat "$work/$name.gdb" "$err"; fi

    # Ctrl-C stops a guest blocked in a call whatever it waits for: input
    # from a pipe that stays empty, or a child that never ends, whether it
    # computes or waits for that input itself.
    for case in "read|read|read" "wait|wait /watchee spin|waitpid" \
        "wait-read|wait /watchee read|waitpid"; do
        IFS='|' read -r mode guest_args waiting_in <<<"$case"
        name=$engine.interrupt-$mode
        input=
        if [ "$mode" != wait ]; then
            # Opened both ways: a writer that never writes, so reads wait.
            mkfifo "$work/$name.in"
            exec 9<>"$work/$name.in"
            input=$work/$name.in
        fi
        # shellcheck disable=SC2086 # the guest's arguments are words
        serve "$name" "$listening" --engine "$engine" --gdb-wait --root "$build/images" \
            "$build/images/watchee" $guest_args || continue
        input=
        timeout --foreground -s INT -k 60 3 gdb -nx -batch -ex "target remote 127.0.0.1:$port" \
            -ex 'continue' -ex 'bt 2' -ex 'kill' "$build/images/watchee" >"$work/$name.gdb" 2>&1
        wait "$emu"
        status=$?
        [ "$mode" != wait ] && exec 9>&-
        expect "$name" "$work/$name.gdb" 'Program received signal SIGINT' \
            "^#0  (0x[0-9a-f]+ in )?$waiting_in \\(" '^#1  0x[0-9a-f]+ in main \('
        [ "$status" = 139 ] || fail "$name: nuvemu ended with $status"
        expect "$name nuvemu" "$err" 'killed by the debugger'
        if [ "$failures" != 0 ]; then cat "$work/$name.gdb" "$err"; fi
    done

    # A step asked for there takes the call as its instruction: it ends when
    # the input comes, with the read's result, not with the guest's end.
    name=$engine.step-read
    mkfifo "$work/$name.in"
    exec 9<>"$work/$name.in"
    input=$work/$name.in
    serve "$name" "$listening" --engine "$engine" --gdb-wait --root "$build/images" \
        "$build/images/watchee" read || continue
    input=
    (sleep 6 && printf x >&9) &
    writer=$!
    timeout --foreground -s INT -k 60 3 gdb -nx -batch -ex "target remote 127.0.0.1:$port" \
        -ex 'continue' -ex 'stepi' -ex 'print $eax' -ex 'bt 2' -ex 'kill' \
        "$build/images/watchee" >"$work/$name.gdb" 2>&1
    wait "$emu"
    status=$?
    wait "$writer"
    exec 9>&-
    expect "$name" "$work/$name.gdb" 'Program received signal SIGINT' '^\$1 = 1$' \
        '^#0  (0x[0-9a-f]+ in )?read \(' '^#1  0x[0-9a-f]+ in main \('
    [ "$status" = 139 ] || fail "$name: nuvemu ended with $status"
    if [ "$failures" != 0 ]; then cat "$work/$name.gdb" "$err"; fi

    # While the debugged guest waits for its child, the child's own work on
    # the host goes on unbroken: it copies its input into a pipe that is
    # read only after a while, and every byte arrives.
    name=$engine.child-writes
    head -c 3000000 /dev/urandom >"$work/$name.in"
    input=$work/$name.in
    : >"$work/$name.err"
    (timeout 120 "$nuvemu" --gdb 0 --engine "$engine" --gdb-wait --root "$build/images" \
        "$build/images/hot" 1 /hello -cat <"$input" 2>"$work/$name.err"
        echo "$?" >"$work/$name.status") | (sleep 2 && cat >"$work/$name.out") &
    emu=$!
    input=
    port=
    for _ in $(seq 300); do
        port=$(sed -n 's/^nuvemu: gdb: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/$name.err")
        [ -n "$port" ] && break
        sleep 0.1
    done
    timeout -k 5 90 gdb -nx -batch -ex "target remote 127.0.0.1:$port" -ex 'continue' \
        "$build/images/hot" >"$work/$name.gdb" 2>&1
    wait "$emu"
    expect "$name" "$work/$name.gdb" 'exited normally'
    [ "$(cat "$work/$name.status")" = 0 ] || fail "$name: nuvemu ended with $(cat "$work/$name.status")"
    cmp -s "$work/$name.in" "$work/$name.out" || fail "$name: the copy differs from the input"
    if [ "$failures" != 0 ]; then cat "$work/$name.gdb" "$work/$name.err"; fi

    # --gdb-keep-fault: the faulting guest waits for a debugger, which finds
    # it at the fault with its callers, and lets the signal end it.
    name=$engine.keep
    serve "$name" 'waiting for the debugger' --engine "$engine" --gdb-keep-fault \
        "$build/images/debuggee" crash || continue
    expect "$name nuvemu" "$err" \
        '^nuvemu: gdb: the guest faulted at eip 0x[0-9a-f]{8} \(Segmentation fault\); waiting for the debugger on 127\.0\.0\.1:[0-9]+$'
    timeout -k 5 90 gdb -nx -batch -ex "target remote 127.0.0.1:$port" -ex 'bt' \
        -ex 'print $pc == read_through + 0 || ($pc > read_through && $pc < crash_below)' \
        -ex 'print $_siginfo.si_signo' -ex 'continue' \
        "$build/images/debuggee" >"$work/$name.gdb" 2>&1
    wait "$emu"
    status=$?
    expect "$name" "$work/$name.gdb" \
        '^#0  (0x[0-9a-f]+ in )?read_through \(p=0x0\) at .*debuggee\.cpp:22$' \
        '^#1  0x[0-9a-f]+ in crash_below \(depth=1\) at .*debuggee\.cpp:27$' \
        '^#2  0x[0-9a-f]+ in main \(argc=2, argv=0x[0-9a-f]+\) at .*debuggee\.cpp:31$' \
        '^\$1 = true$' '^\$2 = 11$' 'Program terminated with signal SIGSEGV'
    [ "$status" = 139 ] || fail "$name: nuvemu ended with $status"
    if [ "$failures" != 0 ]; then cat "$work/$name.gdb" "$err"; fi

    # Let on without the signal, the guest makes the same access again and
    # faults again; with the pointer mended (read_through reads through
    # eax) it runs to its end.
    name=$engine.mend
    serve "$name" 'waiting for the debugger' --engine "$engine" --gdb-keep-fault \
        "$build/images/debuggee" crash || continue
    timeout -k 5 90 gdb -nx -batch -ex "target remote 127.0.0.1:$port" -ex 'signal 0' \
        -ex 'print $pc == read_through + 0 || ($pc > read_through && $pc < crash_below)' \
        -ex 'set var $eax = $esp' -ex 'signal 0' \
        "$build/images/debuggee" >"$work/$name.gdb" 2>&1
    wait "$emu"
    status=$?
    expect "$name" "$work/$name.gdb" 'Program received signal SIGSEGV' '^\$1 = true$' \
        'exited (normally|with code)'
    [ "$status" != 139 ] || fail "$name: nuvemu ended with the fault"
    if [ "$failures" != 0 ]; then cat "$work/$name.gdb" "$err"; fi

    # Without it, --gdb with no client lets the fault end the run at once.
    timeout 60 "$nuvemu" --engine "$engine" --gdb 0 "$build/images/debuggee" crash \
        2>"$work/$engine.nokeep.err"
    status=$?
    [ "$status" = 139 ] || fail "$engine without --gdb-keep-fault: nuvemu ended with $status"
    expect "$engine without --gdb-keep-fault" "$work/$engine.nokeep.err" 'guest fault: null-pointer read'
    if grep -q 'waiting for the debugger' "$work/$engine.nokeep.err"; then
        fail "$engine without --gdb-keep-fault: it waited for a debugger"
    fi
done

[ "$failures" = 0 ] && echo "gdb watchpoints, interrupts and kept faults: all passed"
exit $((failures != 0))
