#!/usr/bin/env bash
# gdb_test.sh BUILD_DIR: gdb in batch mode debugs a command under nuvemu on
# each engine (a breakpoint in a function, a step, its locals, a backtrace, the
# exit), and opens the core file of a crash on each (the faulting function
# and its callers). Every gdb and nuvemu run has a time limit; nuvemu takes a free port
# and tells it on standard error.
set -uo pipefail
build=$1
nuvemu=$build/bin/nuvemu
image=$build/images/debuggee
# shellcheck source-path=SCRIPTDIR source=gdb_common.sh
. "$(dirname "$0")/gdb_common.sh"

for engine in $engines; do
    serve "$engine" "$listening" --engine "$engine" --gdb-wait "$image" || continue
    timeout -k 5 90 gdb -nx -batch -ex "target remote 127.0.0.1:$port" \
        -ex 'break square' -ex 'continue' -ex 'next' -ex 'print result' -ex 'print n' \
        -ex 'bt' -ex 'delete' -ex 'stepi' -ex 'info registers eip' -ex 'continue' \
        "$image" >"$work/$engine.gdb" 2>&1
    wait "$emu"
    status=$?
    expect "$engine session" "$work/$engine.gdb" \
        '^Breakpoint 1, square \(n=1\) at .*debuggee\.cpp:11$' \
        '^12[[:space:]]+return result;$' \
        '^\$1 = 1$' '^\$2 = 1$' \
        '^#0  square \(n=1\) at .*debuggee\.cpp:12$' \
        '^#1  0x[0-9a-f]+ in sum_squares \(count=4\) at .*debuggee\.cpp:17$' \
        '^#2  0x[0-9a-f]+ in main \(argc=1, argv=0x[0-9a-f]+\) at .*debuggee\.cpp:32$' \
        '^eip +0x[0-9a-f]+ +0x[0-9a-f]+ <square.*\+[0-9]+>$' \
        'exited normally'
    [ "$status" = 0 ] || fail "$engine: nuvemu ended with $status"
    expect "$engine output" "$work/$engine.out" '^30$'
    if [ "$failures" != 0 ]; then cat "$work/$engine.gdb" "$err"; fi
done

# A fault under the debugger: gdb hears the signal and reads its information
# (SIGSEGV, SEGV_MAPERR, the address) with the guest standing at the fault.
for engine in $engines; do
    serve "$engine" "$listening" --engine "$engine" --gdb-wait "$image" crash || continue
    timeout -k 5 90 gdb -nx -batch -ex "target remote 127.0.0.1:$port" -ex 'continue' \
        -ex 'print $_siginfo.si_signo' -ex 'print $_siginfo.si_code' \
        -ex 'print $_siginfo._sifields._sigfault.si_addr' -ex 'kill' \
        "$image" >"$work/$engine.fault.gdb" 2>&1
    wait "$emu"
    status=$?
    expect "$engine fault" "$work/$engine.fault.gdb" \
        'Program received signal SIGSEGV' '^\$1 = 11$' '^\$2 = 1$' '^\$3 = \(void \*\) 0x0$'
    [ "$status" = 139 ] || fail "$engine fault: nuvemu ended with $status"
    if [ "$failures" != 0 ]; then cat "$work/$engine.fault.gdb" "$err"; fi
done

# The core file of a null-pointer read two calls below main, on each engine;
# what stood at the core's name (a named pipe, a link to another file) is
# replaced, neither opened nor followed.
echo kept >"$work/canary"
for engine in $engines; do
    core=$work/core.$engine
    if [ "$engine" = native ]; then mkfifo "$core"; else ln -s "$work/canary" "$core"; fi
    timeout 60 "$nuvemu" --engine "$engine" --core "$core" "$image" crash 2>"$work/core.err"
    status=$?
    [ "$status" = 139 ] || fail "$engine crash: nuvemu ended with $status"
    expect "$engine crash" "$work/core.err" "^nuvemu: core written to $core\$"
    # gdb opens only a core that was written: it would wait on a named pipe
    # for ever, deaf to the polite signal.
    if [ ! -f "$core" ] || [ -L "$core" ]; then
        fail "$engine crash: the core is not a file of its own"; cat "$work/core.err"
        continue
    fi
    # The signal's information: SIGSEGV (11), SEGV_MAPERR (1), the address.
    timeout -k 5 60 gdb -nx -batch -ex 'bt' -ex 'print p' -ex 'print $_siginfo.si_signo' \
        -ex 'print $_siginfo.si_code' -ex 'print $_siginfo._sifields._sigfault.si_addr' \
        "$image" "$core" >"$work/core.gdb" 2>&1
    expect "$engine core" "$work/core.gdb" \
        'Program terminated with signal SIGSEGV' \
        '^#0  (0x[0-9a-f]+ in )?read_through \(p=0x0\) at .*debuggee\.cpp:22$' \
        '^#1  0x[0-9a-f]+ in crash_below \(depth=1\) at .*debuggee\.cpp:27$' \
        '^#2  0x[0-9a-f]+ in main \(argc=2, argv=0x[0-9a-f]+\) at .*debuggee\.cpp:31$' \
        '^\$1 = \(const int \*\) 0x0$' '^\$2 = 11$' '^\$3 = 1$' '^\$4 = \(void \*\) 0x0$'
    [ "$(cat "$work/canary")" = kept ] || fail "$engine crash: the core went through a link"
    if [ "$failures" != 0 ]; then cat "$work/core.gdb" "$work/core.err"; fi
done

[ "$failures" = 0 ] && echo "gdb sessions and core file: all passed"
exit $((failures != 0))
