#!/bin/bash
# vekos-info on hostile files: broken section tables are reported as damaged with their
# reason, a FIFO is refused without waiting, and file names are printed escaped.
# Usage: vekos_info_test.sh BUILD_DIR
set -uo pipefail
build="$(cd "$1" && pwd)"
info="$build/bin/vekos-info"
image="$build/root/bin/run.uelf"
source "$(dirname "$0")/checks.sh"
cd "$work" || exit 1

u16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8)))"; }
u32() { u16 $(($1 & 0xffff)); u16 $(($1 >> 16)); }
poke() { # poke OFFSET COMMAND: overwrites bad.uelf at OFFSET with what COMMAND prints
    eval "$2" | dd of=bad.uelf bs=1 seek="$1" conv=notrunc 2>/dev/null
}
shoff=$(od -An -tu4 -j32 -N4 "$image" | tr -d ' ')
shnum=$(od -An -tu2 -j48 -N2 "$image" | tr -d ' ')
text=$(readelf -S "$image" | sed -n 's/^ *\[ *\([0-9]*\)\] \.text .*/\1/p')

# NAME|OFFSET 'COMMAND' pairs|EXPECTED: each row breaks a sound image where COMMAND's bytes
# overwrite it, and vekos-info must call it damaged with that reason.
while IFS='|' read -r name pokes expected; do
    cp "$image" bad.uelf
    eval "set -- $pokes"
    while [[ $# -ge 2 ]]; do poke $(($1)) "$2"; shift 2; done
    check_output "vekos-info: $name" 1 "damaged: $expected" timeout 5 "$info" bad.uelf
done <<ROWS
e_shentsize 0|46 'u16 0'|e_shentsize is 0, expected 40
e_shnum 0 and no count in section 0|48 'u16 0'|e_shnum is 0 and section 0 gives no section count
e_shstrndx past the sections|50 'u16 $shnum'|the section-name table index is $shnum, not one of sections 1 to
e_shstrndx the null section|50 'u16 0'|the section-name table index is 0
SHN_XINDEX pointing at section 0 itself|50 'u16 0xffff'|the section-name table index (SHN_XINDEX: section 0's sh_link) is 0
SHN_XINDEX past the sections|50 'u16 0xffff' $((shoff + 24)) 'u32 0x7fffffff'|the section-name table index (SHN_XINDEX: section 0's sh_link) is 2147483647
e_shstrndx naming code|50 'u16 $text'|the section-name table, section $text, is not a string table
a name past the string table|$((shoff + text * 40)) 'u32 0x00ffffff'|the name of section $text (at 16777215) lies outside
ROWS

mkfifo fifo.uelf
check_output "vekos-info: a FIFO is refused without waiting for a writer" 1 "not a regular file" \
    timeout 5 "$info" fifo.uelf
cp "$image" $'forged\n  summary  x.uelf'
check_output "vekos-info: a file name is printed escaped" 0 'forged\x0a  summary  x.uelf' \
    "$info" $'forged\n  summary  x.uelf'

finish vekos-info
