# Sourced by the gdb tests after they set `nuvemu`: a scratch folder removed
# on exit, failures counted, patterns expected in files, and the engines this
# host runs (nuvemu --version tells, and why one does not).
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
