#!/usr/bin/env bash
# Installs the kit into a fresh prefix, builds a C command outside the tree from
# it alone with the compiler driver, and runs it: the README's recipe for
# command authors.
set -euo pipefail
build_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
P=$work/kit
cmake --install "$build_dir" --prefix "$P" >/dev/null
for f in include/stdio.h include/nuvos/meta.h include/limits.h include/ctype.h include/new lib/libc.a \
         lib/crt0.o lib/nuvos.ld bin/nuvemu bin/nuvmeta bin/nuvos-cc bin/nuvos-c++ share/nuvos/bin/ver \
         share/doc/nuvos/kernel-calls.md share/doc/nuvos/library-guide.md lib/cmake/NuvOS/NuvOSConfig.cmake \
         lib/cmake/NuvOS/NuvOSConfigVersion.cmake lib/cmake/NuvOS/NuvOSToolchain.cmake \
         lib/cmake/NuvOS/NuvOSRunTest.cmake lib/cmake/NuvOS/NuvOSTestRoot.cmake lib/pkgconfig/nuvos.pc \
         lib/libnuvsan.a lib/crt0-san.o \
         lib/nuvos-san.ld lib/nuvos/coverage/libgcov.a; do
    [ -f "$P/$f" ] || { echo "kit lacks $f"; exit 1; }
done
# Manual pages, written from the tools' help texts and the library guide: clean
# roff, found by man in the kit, every option of the help text in its page.
for page in man1/nuvemu.1 man1/nuvmeta.1 man1/nuvos-cc.1 man7/nuvos.7; do
    [ -f "$P/share/man/$page" ] || { echo "kit lacks share/man/$page"; exit 1; }
    warnings=$(MANWIDTH=200 man --warnings -l "$P/share/man/$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$page: $warnings"; exit 1; }
done
for tool in nuvemu nuvmeta nuvos-cc nuvos-c++; do
    text=$(MANWIDTH=200 man -M "$P/share/man" "$tool")
    grep -q "^SYNOPSIS" <<<"$text" || { echo "man $tool: $text"; exit 1; }
    for option in $("$P/bin/$tool" --help | grep -oE '^  --?[a-z][a-z-]*'); do
        grep -qE -- "^ +$option" <<<"$text" || { echo "man $tool lacks $option"; exit 1; }
    done
done
MANWIDTH=200 man -M "$P/share/man" 7 nuvos | grep -q "^STRINGS AND MEMORY" ||
    { echo "nuvos(7) is not the guide"; exit 1; }
cat > "$work/hello.c" <<'SRC'
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <nuvos/meta.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
NUV_COMMAND_RECORD(0, "hello", "Greet the world.");
NUV_PACKAGE_RECORD(0, "hello", "1");
int main(int argc, char** argv) {
    puts(argc > 1 ? argv[1] : "nobody");
    return (int)strlen("abc") + (INT_MAX == 2147483647 ? 0 : 100);
}
SRC
cd "$work"
# Strict C99 keeps the kit's headers honest: checked once with them as ordinary
# headers (the drivers make them system headers, whose warnings are hidden).
gcc -m32 -ffreestanding -nostdinc -isystem "$(gcc -print-file-name=include)" -I"$P/include" \
    -std=c99 -pedantic -Wall -Wextra -Werror -fsyntax-only hello.c
"$P/bin/nuvos-cc" -std=c99 -pedantic -Wall -Wextra -Werror -O2 -o hello hello.c 2>hello.err
[ ! -s hello.err ] || { cat hello.err; echo "warnings for an image with its records"; exit 1; }
# The same command from pkg-config's flags and the host compiler alone.
export PKG_CONFIG_PATH=$P/lib/pkgconfig
[ "$(pkg-config --modversion nuvos)" = "$("$P/bin/nuvos-cc" --version | sed -n 's/.*kit) //p')" ]
# shellcheck disable=SC2046
gcc $(pkg-config --cflags nuvos) -O2 -Wall -Werror -o hellopc hello.c $(pkg-config --libs nuvos)
cmp -s <("$P/bin/nuvemu" hellopc pc) <(echo pc) || { echo "the pkg-config build runs wrong"; exit 1; }
# The same headers, and <new>, in a C++ command: strict C++17 as ordinary
# headers, then built by the C++ driver (no exceptions) and run.
cat > "$work/hello.cpp" <<'SRC'
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <new>
#include <nuvos/meta.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
NUV_COMMAND_RECORD(0, "hellocc", "Greet the world in C++.");
NUV_PACKAGE_RECORD(0, "hello", "1");
struct Name { char text[16]; };
int main(int argc, char** argv) {
    Name* n = new (std::nothrow) Name;
    int* counts = new int[CHAR_MAX + 1]();
    if (n == nullptr || argc < 2) return 1;
    strncpy(n->text, argv[1], sizeof n->text - 1);
    n->text[0] = (char)toupper((unsigned char)n->text[0]);
    ++counts[(unsigned char)n->text[0] & CHAR_MAX];
    puts(n->text);
    int status = counts['W'] + (open("/", O_WRONLY) == -EISDIR ? 0 : 8);
    delete n;
    delete[] counts;
    return status;
}
SRC
g++ -m32 -ffreestanding -fno-exceptions -fno-rtti -nostdinc -isystem "$(g++ -print-file-name=include)" \
    -I"$P/include" -std=c++17 -pedantic -Wall -Wextra -Werror -fsyntax-only hello.cpp
"$P/bin/nuvos-c++" -std=c++17 -pedantic -Wall -Wextra -Werror -O2 -o hellocc hello.cpp
out=$("$P/bin/nuvemu" hellocc world) && status=0 || status=$?
[ "$out" = "World" ] || { echo "unexpected output from the C++ command: $out"; exit 1; }
[ "$status" = 1 ] || { echo "unexpected status from the C++ command: $status"; exit 1; }
# The same command with the address sanitizer, from the installed kit: new
# and delete go through its heap, and a correct program runs alike.
"$P/bin/nuvos-c++" -std=c++17 -Wall -Werror -O2 -fsanitize=address -o hellocc-asan hello.cpp
out=$("$P/bin/nuvemu" hellocc-asan world 2>&1) && status=0 || status=$?
if [ "$out" != "World" ] || [ "$status" != 1 ]; then
    echo "the sanitized C++ command ran otherwise: $status $out"; exit 1
fi
out=$("$P/bin/nuvemu" hello world) && status=0 || status=$?
[ "$out" = "world" ] || { echo "unexpected output: $out"; exit 1; }
[ "$status" = 3 ] || { echo "unexpected status: $status"; exit 1; }
meta=$("$P/bin/nuvmeta" --json hello)
[ "$meta" = '[{"image":"hello","command":{"version":1,"name":"hello","description":"Greet the world."},"package":{"version":1,"name":"hello","text":"1"}}]' ] ||
    { echo "unexpected metadata: $meta"; exit 1; }
[ "$("$P/bin/nuvemu" "$P/share/nuvos/bin/ver")" = "NUV-OS Release 16" ]
# A source on standard input, its language named with -x: the kit's own
# library and entry point are still taken for what they are.
# It has no command record, which draws a warning naming the image.
echo 'int main(void) { return 4; }' | "$P/bin/nuvos-cc" -x c - -o piped 2>piped.err
grep -q "^nuvos-cc: warning: piped carries no command record" piped.err || { cat piped.err; exit 1; }
"$P/bin/nuvemu" piped && status=0 || status=$?
[ "$status" = 4 ] || { echo "unexpected status from a command built from standard input: $status"; exit 1; }
# A C++ command that needs a static constructor is refused at link time.
cat > "$work/ctor.cpp" <<'SRC'
#include <stdio.h>
struct Greeter { Greeter() { puts("too early"); } } greeter;
int main(int, char**) { return 0; }
SRC
if "$P/bin/nuvos-c++" -O2 -o ctor ctor.cpp 2>ctor.err; then
    echo "an image with a static constructor was linked"; exit 1
fi
grep -q "static constructors are not supported" ctor.err || { cat ctor.err; exit 1; }
# The installed drivers check formats with the installed plugin, where the
# build has one (tests/kit/format_check_test.sh checks the cases).
if [ -f "$build_dir/lib/nuvos/nuvos_format.so" ]; then
    [ -f "$P/lib/nuvos/nuvos_format.so" ] || { echo "kit lacks lib/nuvos/nuvos_format.so"; exit 1; }
    printf '#include <stdio.h>\nint main(void) { return printf("%%-5d", 1); }\n' > left.c
    "$P/bin/nuvos-cc" -c left.c -o left.o 2>left.err
    grep -q "warning: printf has no flag '-'.*nuvos-format" left.err || { cat left.err; exit 1; }
fi
echo "kit ok"
