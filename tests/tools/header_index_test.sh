#!/bin/bash
# tools/header-index: README.md's block matches the headers, and a declaration added to a
# header, a row edited by hand or missing markers are each reported with how to refresh.
# Usage: header_index_test.sh SOURCE_DIR
set -uo pipefail
source_dir="$(cd "$1" && pwd)"
index="$source_dir/tools/header-index"
source "$(dirname "$0")/checks.sh"

check "README.md matches the headers" "$index" --check

cp -r "$source_dir/lib/include" "$work/include"
cp "$source_dir/README.md" "$work/README.md"
echo 'int frobnicate(int x);' >>"$work/include/string.h"
check_error "a new declaration is noticed" "refresh it with tools/header-index --write" \
    "$index" --check --include "$work/include" --readme "$work/README.md"
check_output "the difference names it" 1 "frobnicate" \
    "$index" --check --include "$work/include" --readme "$work/README.md"
check "--write refreshes the block" \
    "$index" --write --include "$work/include" --readme "$work/README.md"
check "and then it matches" "$index" --check --include "$work/include" --readme "$work/README.md"
check_output "the rest of the README is kept" 0 "## Installing the kit" cat "$work/README.md"

sed -i 's/| `stdlib.h` |/| `stdlib.h` | `edited`,/' "$work/README.md"
check_error "a row edited by hand is noticed" "differs from" \
    "$index" --check --include "$work/include" --readme "$work/README.md"

grep -v 'header-index: end' "$source_dir/README.md" >"$work/no-markers.md"
check_error "missing markers are reported" "has no block between" \
    "$index" --check --readme "$work/no-markers.md"

finish header_index
