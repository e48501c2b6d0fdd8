#!/bin/sh
# Usage: rename_symbols.sh PREFIX INPUT OUTPUT
# Copies an object or archive, giving every global symbol it defines the
# prefix; the references inside it follow, references to anything else stay.
set -eu
prefix=$1
input=$2
output=$3
nm --defined-only -g "$input" | awk -v p="$prefix" 'NF == 3 { print $3, p $3 }' | sort -u >"$output.names"
objcopy --redefine-syms="$output.names" "$input" "$output"
