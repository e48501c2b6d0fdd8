#!/bin/sh
# Each layer of emu/ sees the headers of exactly the layers below it that the
# layout names, never one above it: the include path of every layer's
# library, as the build gives it, against the layout.
#   layers_test.sh BUILD_DIR
set -eu
layers="$1/emu_layers.txt"
[ -s "$layers" ] || { echo "no $layers"; exit 1; }

# Every layer and all those below it, by way of the layers it names.
expected() {
    case "$1" in
        base) echo "base" ;;
        engine) echo "engine base" ;;
        memory) echo "memory engine base" ;;
        image) echo "image memory engine base" ;;
        unicorn | native) echo "$1 engine base" ;;
        sandbox) echo "sandbox base" ;;
        process) echo "process sandbox base" ;;
        calls) echo "calls process sandbox memory engine base" ;;
        kernel) echo "kernel calls process sandbox image memory unicorn native engine base" ;;
        debug | harness) echo "$1 $(expected kernel)" ;;
        cli) echo "cli debug harness $(expected kernel)" ;;
        *) echo "?" ;;
    esac
}

sorted() { tr ' ' '\n' | grep -v '^$' | sort -u | tr '\n' ' '; }

status=0
count=0
while read -r layer path; do
    count=$((count + 1))
    seen=$(echo "$path" | tr ':' '\n' | sed -n 's#.*/emu/\([a-z]*\)$#\1#p' | sorted)
    want=$(expected "$layer" | sorted)
    if [ "$seen" != "$want" ]; then
        echo "layer $layer sees: $seen"
        echo "      it should see: $want"
        status=1
    fi
done < "$layers"
[ "$count" -eq 13 ] || { echo "$count layers listed, 13 expected"; status=1; }
exit $status
