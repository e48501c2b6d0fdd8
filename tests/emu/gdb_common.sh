# Sourced by the gdb tests after they set `nuvemu`: a scratch folder removed
# on exit, failures counted, patterns expected in files, the engines this
# host runs (nuvemu --version tells, and why one does not), and nuvemu started
# under its gdb server (serve; standard input from $input when set).
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# expect NAME FILE PATTERN...: every pattern (an extended regular expression)
# matches a line of FILE.
expect() {
    local name=$1 file=$2
    shift 2
    for pattern in "$@"; do
        grep -Eq -- "$pattern" "$file" || fail "$name: no line matches: $pattern"
    done
}

command -v gdb >/dev/null || { echo "FAIL: gdb is not installed"; exit 1; }

engines=unicorn
if "$nuvemu" --version | grep -q '^  native   yes: '; then
    engines="native unicorn"
else
    echo "SKIP native: $("$nuvemu" --version | sed -n 's/^  native   no: //p')"
fi

# serve NAME PATTERN NUVEMU-ARG...: nuvemu runs under its gdb server until
# standard error has a line matching PATTERN; sets emu (its pid), port, err
# and out.
serve() {
    local name=$1 ready=$2
    shift 2
    err=$work/$name.err
    out=$work/$name.out
    : >"$err"
    timeout 120 "$nuvemu" --gdb 0 "$@" <"${input:-/dev/null}" >"$out" 2>"$err" &
    emu=$!
    port=
    for _ in $(seq 300); do
        port=$(sed -n 's/^nuvemu: gdb: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$err")
        [ -n "$port" ] && grep -Eq -- "$ready" "$err" && return 0
        kill -0 "$emu" 2>/dev/null || break
        sleep 0.1
    done
    fail "$name: nuvemu did not get ready"; cat "$err"
    kill "$emu" 2>/dev/null; wait "$emu"
    return 1
}

listening='^nuvemu: gdb: listening'
