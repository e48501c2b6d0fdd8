#!/usr/bin/env bash
# -Wnuvos-format through the real drivers of the build tree: each line of the
# tables below is a function body compiled on its own; a line with a message
# fragment must draw a warning holding it, a line with "-" none at all. Then
# what -Werror, -Wno-nuvos-format, -Wno-error=nuvos-format, -w and the pragma
# do. Without the plugin (no GCC plugin headers) the drivers must say nothing
# about formats, and the test is skipped (77).
set -euo pipefail
build_dir=$1
cc=$build_dir/bin/nuvos-cc
cxx=$build_dir/bin/nuvos-c++
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export LC_ALL=C
failures=0

prelude='#include <stdio.h>
#include <stdarg.h>
#define LEFT "%-5d"
void t(FILE* f, const char* s, va_list ap) {
    int i = 1; unsigned u = 2; long long ll = 3; short sh = 4; char c = 5; char buf[64];
    (void)f; (void)s; (void)ap; (void)i; (void)u; (void)ll; (void)sh; (void)c; (void)buf;'

# compile DRIVER BODY [OPTIONS...]: the output in out.txt, the status in $status.
compile() {
    local driver=$1 body=$2 ext=c
    shift 2
    [ "$driver" = "$cxx" ] && ext=cpp
    printf '%s\n    %s\n}\n' "$prelude" "$body" > "case.$ext"
    status=0
    "$driver" -Wall -Wextra -c "case.$ext" -o case.o "$@" > out.txt 2>&1 || status=$?
}

# expect DRIVER FRAGMENT BODY: "-" for no diagnostic at all.
expect() {
    local driver=$1 fragment=$2 body=$3
    compile "$driver" "$body"
    if [ "$fragment" = - ]; then
        [ "$status" = 0 ] && [ ! -s out.txt ] && return 0
    elif [ "$status" = 0 ] && grep -qF -- "$fragment" out.txt && grep -q 'warning: .*\[-Wnuvos-format\]' out.txt; then
        return 0
    fi
    echo "FAIL: $body"
    echo "  expected: $fragment"
    sed 's/^/  | /' out.txt
    failures=$((failures + 1))
}

if [ ! -f "$build_dir/lib/nuvos/nuvos_format.so" ]; then
    compile "$cc" 'printf("%-5d", i);' -Wno-nuvos-format -Werror=nuvos-format
    [ "$status" = 0 ] && [ ! -s out.txt ] || { cat out.txt; echo "the driver spoke without its plugin"; exit 1; }
    echo "no format plugin in this build"
    exit 77
fi

# The buffer formatter: snprintf, sprintf, vsnprintf, vsprintf.
while IFS='|' read -r fragment body; do
    expect "$cc" "$fragment" "$body"
done <<'CASES'
reads '%lld' as one 32-bit word, but argument 4 has type 'long long int'|snprintf(buf, 64, "%lld", ll);
snprintf has no floating-point conversions: '%5.2f' writes '%f'|snprintf(buf, 64, "%5.2f", 1.0);
snprintf has no length 'h': '%hd'|snprintf(buf, 64, "%hd", sh);
snprintf has no conversion '%o'|snprintf(buf, 64, "%o", u);
snprintf has no flag '#'|snprintf(buf, 64, "%#x", u);
snprintf ignores the flags, width and precision of '%5c'|snprintf(buf, 64, "%5c", c);
snprintf ignores the flags, width and precision of '%8p'|snprintf(buf, 64, "%8p", (void*)buf);
'%s' takes a 'char *', but argument 3 has type 'int'|sprintf(buf, "%s", i);
'%d' takes an integer of at most 32 bits, but argument 4 has type 'const char *'|snprintf(buf, 64, "%d", s);
the width of '%*d' takes an int, but argument 4 has type 'const char *'|snprintf(buf, 64, "%*d", s, i);
the format takes 2 arguments after it, but the call passes 1|snprintf(buf, 64, "%d %d", i);
the call passes 2 arguments after the format, but it takes 1|sprintf(buf, "%u", u, u);
a lone '%' at the end of the format writes nothing|snprintf(buf, 64, "100%");
vsprintf has no floating-point conversions: '%le'|vsprintf(buf, "%le", ap);
-|snprintf(buf, 64, "%-5d|%05d|%+d|%X|%zu|%ld|%lu", i, i, i, u, sizeof buf, 5L, 6UL);
-|snprintf(buf, 64, "%lld", i);
-|snprintf(buf, 64, "%.*s %p %c %% %5%", 3, s, (void*)buf, 'x');
-|snprintf(buf, 64, "%s|%s", (char*)0, (const char*)buf);
-|vsnprintf(buf, 64, "%-8s %x", ap);
-|snprintf(buf, 64, s, ll);
CASES

# The stream formatter: printf, fprintf, vfprintf.
while IFS='|' read -r fragment body; do
    expect "$cc" "$fragment" "$body"
done <<'CASES'
'%lld' takes a 64-bit integer, but argument 2 has type 'int'|printf("%lld", i);
'%llu' takes a 64-bit integer, but argument 3 has type 'unsigned int'|fprintf(f, "%llu", u);
printf has no flag '-': '%-5d' writes '%-' and the rest as text|printf("%-5d", i);
printf has no flag '+'|printf("%+d", i);
printf reads the '0' of '%05d' as a width digit|printf("%05d", i);
printf has no length 'z': '%zu'|printf("%zu", sizeof buf);
printf has no '%X'|printf("%X", u);
fprintf has no floating-point conversions: '%5.2f' writes '%f'|fprintf(f, "%5.2f", 1.0);
console control record|printf("%c\n", 'x');
console control record|fprintf(stderr, "%c", c);
printf ignores the flags, width and precision of '%5c'|printf("a%5c", c);
'%s' takes a 'char *', but argument 2 has type 'int'|printf("%s", 5);
'%p' takes a pointer, but argument 2 has type 'int'|printf("%p", i);
'%llp' takes a 64-bit integer, but argument 2 has type 'char *'|printf("%llp", buf);
the length 'll' of '%lls' has no effect here|printf("%lls", s);
vfprintf has no length 'z'|vfprintf(f, "%zd", ap);
'%x' takes an integer of at most 32 bits, but argument 3 has type 'double'|printf("%lld %5.2f %-4d| %x %ld", ll, 3.5, -3, 7, 8L);
-|printf("%c", 1, 2, 3);
-|printf("%c%s\n", 1, 2, 3, s);
-|printf("%lld %llu %llx %llp %lli", ll, 5ULL, ll, ll, -ll);
-|printf("%5d %.3s %*.*d %p %x %ld %%", i, s, 4, 2, i, (void*)buf, u, 5L);
-|fprintf(f, "%c", c);
-|fprintf(f, "%c", 1, 2, 3);
-|printf("x%c", c);
-|printf("%s", (char*)0);
-|vfprintf(stdout, "%c%5d", ap);
CASES

# The scanner: sscanf, vsscanf, fscanf, scanf.
while IFS='|' read -r fragment body; do
    expect "$cc" "$fragment" "$body"
done <<'CASES'
'%x' takes an 'int *' to store through, but argument 3 has type 'short int *'|sscanf(s, "%x", &sh);
'%d' takes an 'int *' to store through, but argument 3 has type 'long long int *'|sscanf(s, "%d", &ll);
'%d' takes an 'int *' to store through, but argument 3 has type 'int'|sscanf(s, "%d", i);
sscanf has no length modifiers: '%ld' ends the scan|sscanf(s, "%ld", &i);
sscanf has no conversion '%f': the scan ends there|sscanf(s, "%d %f", &i, &i);
sscanf ignores widths: '%3s' stores the whole word|sscanf(s, "%3s", buf);
'%c' takes a 'char *' to store one character through, but argument 3 has type 'int *'|sscanf(s, "%c", &i);
vsscanf has no length modifiers: '%hd'|vsscanf(s, "%hd", ap);
fscanf scans one whitespace-delimited token per call: '%d'|fscanf(f, "%d %d", &i, &i);
scanf scans one whitespace-delimited token per call: '%d'|scanf("%s%d", buf, &i);
the format takes 2 arguments after it, but the call passes 1|sscanf(s, "%d%d", &i);
-|sscanf(s, "%d %x %X %i %u %c %s %%", &i, &i, &i, &i, &u, &c, buf);
-|sscanf(s, "%x", &u);
-|sscanf(s, "%*d %s", (char*)0);
-|sscanf(s, "%d,%d", &i, &i);
-|fscanf(f, "%d", &i);
-|scanf("%s", buf);
-|fscanf(f, "%d,%d:%c", &i, &i, &c);
CASES

# Formats the compiler folds to a constant, and C++.
expect "$cc" "printf has no flag '-'" 'static const char fmt[] = "%-5d"; printf(fmt, i);'
expect "$cc" "printf has no flag '-'" 'printf(LEFT, i);'
expect "$cc" "no floating-point conversions" 'const char* const fmt = "%f"; printf(fmt, 1.0);'
expect "$cc" "'%x' takes" 'printf("%d %x" + 3, s);'
expect "$cxx" "printf has no flag '-'" 'printf("%-5d", i);'
expect "$cxx" "reads '%lld' as one 32-bit word" 'constexpr const char* k = "%lld"; snprintf(buf, 64, k, ll);'
expect "$cxx" - 'printf("%c", 1, 2, 3); snprintf(buf, 64, "%-5d", i);'

# How the warning is turned into an error, off and back on.
bad='printf("%-5d", i);'
compile "$cc" "$bad" -Werror
[ "$status" != 0 ] && grep -q "error: printf has no flag '-'.*\[-Werror=nuvos-format\]" out.txt ||
    { cat out.txt; echo "FAIL: -Werror"; failures=$((failures + 1)); }
compile "$cc" "$bad" -Werror=nuvos-format
[ "$status" != 0 ] && grep -q "error: .*\[-Werror=nuvos-format\]" out.txt ||
    { cat out.txt; echo "FAIL: -Werror=nuvos-format"; failures=$((failures + 1)); }
compile "$cc" "$bad" -Werror -Wno-error=nuvos-format
[ "$status" = 0 ] && grep -q "warning: .*\[-Wnuvos-format\]" out.txt ||
    { cat out.txt; echo "FAIL: -Wno-error=nuvos-format"; failures=$((failures + 1)); }
for quiet in -Wno-nuvos-format -w; do
    compile "$cxx" "$bad" -Werror "$quiet"
    [ "$status" = 0 ] && [ ! -s out.txt ] || { cat out.txt; echo "FAIL: $quiet"; failures=$((failures + 1)); }
done
compile "$cc" "$bad" -Wno-nuvos-format -Wnuvos-format
grep -q "\[-Wnuvos-format\]" out.txt || { cat out.txt; echo "FAIL: -Wnuvos-format"; failures=$((failures + 1)); }
expect "$cc" - "
#pragma nuvos format ignored
$bad
#pragma nuvos format warning"
expect "$cxx" "'%-6d'" "
#pragma nuvos format ignored
$bad
#pragma nuvos format warning
printf(\"%-6d\", i);"
compile "$cc" "
#pragma nuvos format ignored
$bad
#pragma nuvos format warning
printf(\"%-6d\", i);"
! grep -qF "'%-5d'" out.txt && grep -qF "'%-6d'" out.txt || { cat out.txt; echo "FAIL: the pragma's lines"; failures=$((failures + 1)); }

[ "$failures" = 0 ] || { echo "$failures failed"; exit 1; }
echo "format checks: all cases passed"
