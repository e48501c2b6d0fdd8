#!/usr/bin/env bash
# Installs the kit into a fresh prefix, builds a C command outside the tree from
# it alone, and runs it: the README's recipe for command authors.
set -euo pipefail
build_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
P=$work/kit
cmake --install "$build_dir" --prefix "$P" >/dev/null
for f in include/stdio.h include/nuvos/meta.h lib/libc.a lib/crt0.o lib/nuvos.ld bin/nuvemu bin/nuvmeta \
         share/nuvos/bin/ver; do
    [ -f "$P/$f" ] || { echo "kit lacks $f"; exit 1; }
done
cat > "$work/hello.c" <<'SRC'
#include <nuvos/meta.h>
#include <stdio.h>
#include <string.h>
NUV_COMMAND_RECORD(0, "hello", "Greet the world.");
NUV_PACKAGE_RECORD(0, "hello", "1");
int main(int argc, char** argv) {
    puts(argc > 1 ? argv[1] : "nobody");
    return (int)strlen("abc");
}
SRC
cd "$work"
gcc -m32 -march=i686 -mno-sse -ffreestanding -fno-pic -fno-pie -fno-asynchronous-unwind-tables \
    -fno-stack-protector -nostdinc -isystem "$(gcc -print-file-name=include)" -I"$P/include" \
    -O2 -ffunction-sections -fdata-sections -Wall -Werror -c hello.c -o hello.o
ld -m elf_i386 -T "$P/lib/nuvos.ld" --gc-sections -o hello "$P/lib/crt0.o" hello.o "$P/lib/libc.a" \
    "$(gcc -m32 -print-libgcc-file-name)"
out=$("$P/bin/nuvemu" hello world) && status=0 || status=$?
[ "$out" = "world" ] || { echo "unexpected output: $out"; exit 1; }
[ "$status" = 3 ] || { echo "unexpected status: $status"; exit 1; }
meta=$("$P/bin/nuvmeta" --json hello)
[ "$meta" = '{"image":"hello","command":{"version":1,"name":"hello","description":"Greet the world."},"package":{"version":1,"name":"hello","text":"1"}}' ] ||
    { echo "unexpected metadata: $meta"; exit 1; }
[ "$("$P/bin/nuvemu" "$P/share/nuvos/bin/ver")" = "NUV-OS Release 16" ]
# A C++ command that needs a static constructor is refused at link time.
cat > "$work/ctor.cpp" <<'SRC'
#include <stdio.h>
struct Greeter { Greeter() { puts("too early"); } } greeter;
int main(int, char**) { return 0; }
SRC
g++ -m32 -march=i686 -mno-sse -ffreestanding -fno-pic -fno-pie -fno-exceptions -fno-rtti \
    -fno-asynchronous-unwind-tables -fno-threadsafe-statics -fno-stack-protector -nostdinc \
    -isystem "$(g++ -print-file-name=include)" -I"$P/include" -O2 -c ctor.cpp -o ctor.o
if ld -m elf_i386 -T "$P/lib/nuvos.ld" --gc-sections -o ctor "$P/lib/crt0.o" ctor.o "$P/lib/libc.a" \
    "$(gcc -m32 -print-libgcc-file-name)" 2>ctor.err; then
    echo "an image with a static constructor was linked"; exit 1
fi
grep -q "static constructors are not supported" ctor.err || { cat ctor.err; exit 1; }
echo "kit ok"
