#!/bin/bash
# tools/check-rooms: emu/ keeps to its rooms, and in a small tree each include out of place is
# reported (a room above, a room beside, test_hooks.h in a header or where no hook is defined)
# while those in place are not.
# Usage: check_rooms_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source_dir="$(cd "$1" && pwd)"
rooms="$(cd "$2" && pwd)/emu/rooms.txt"
check_rooms="$source_dir/tools/check-rooms"
source "$(dirname "$0")/checks.sh"

check "emu/ keeps to its rooms" "$check_rooms" "$source_dir/emu" "$rooms"

tree="$work/emu"
put() { # put FILE LINE...: writes the lines into tree/FILE
    mkdir -p "$(dirname "$tree/$1")"
    printf '%s\n' "${@:2}" >"$tree/$1"
}
put kernel/kernel.cpp '#include "kernel/kernel.h"' '#include "machine/engine.h"' \
    '#include "abi/trap_numbers.h"' '#include <sys/stat.h>'
put machine/unicorn/state.cpp '#include "testing/test_hooks.h"' 'void TestHooks::hook() {}'
check "includes in place pass" "$check_rooms" "$tree" "$rooms"

put kernel/process.cpp '#include "profile/block_counts.h"'
put trace/trace.cpp '#include "replay/recording.h"'
put host/limits.h '#include "testing/test_hooks.h"'
put fs/pipe.cpp '  #  include "testing/test_hooks.h"'
for expected in "kernel/process.cpp: includes profile/block_counts.h, but kernel may include only:" \
    "trace/trace.cpp: includes replay/recording.h" \
    "host/limits.h: includes testing/test_hooks.h without defining a hook there" \
    "fs/pipe.cpp: includes testing/test_hooks.h without defining a hook there"; do
    check_output "reported: ${expected%%:*}" 1 "$expected" "$check_rooms" "$tree" "$rooms"
done
"$check_rooms" "$tree" "$rooms" >"$work/found" 2>&1
check "nothing else is reported" test "$(wc -l <"$work/found")" -eq 4

finish check_rooms
