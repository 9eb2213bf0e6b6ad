#!/bin/bash
# vekos-cc from a user's point of view: builds C and C++ programs of their own against every
# public header, reports misuse clearly, and its images run on vekos-emu.
# Usage: vekos_cc_test.sh BUILD_DIR
set -uo pipefail
build="$(cd "$1" && pwd)"
cc="$build/bin/vekos-cc"
emu="$build/bin/vekos-emu"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

check() { # check NAME COMMAND... : the command must succeed
    local name="$1"
    shift
    "$@" >"$work/out" 2>&1
    local status=$?
    if [[ $status -eq 0 ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $name: expected success, got status $status with:"
        sed 's/^/    /' "$work/out"
    fi
}

check_error() { # check_error NAME EXPECTED-TEXT COMMAND... : must fail, saying EXPECTED-TEXT
    local name="$1" expected="$2"
    shift 2
    "$@" >"$work/out" 2>&1
    local status=$?
    if [[ $status -ne 0 ]] && grep -qF -- "$expected" "$work/out"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $name: expected failure saying '$expected', got status $status with:"
        sed 's/^/    /' "$work/out"
    fi
}

cat >"$work/all_headers.c" <<'C'
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static uint64_t divide(uint64_t a, uint64_t b) { return a / b; } /* needs libgcc */

int main(int argc, char **argv) {
    char line[64] = "sum:";
    uint64_t big = divide(0x123456789abcull, (uint64_t)argc + 2);
    strcat(line, big > 1000 ? " big" : " small");
    for (int i = 1; i < argc; i++) {
        strcat(line, " ");
        strcat(line, argv[i]);
    }
    puts(line);
    return errno;
}
C
cp "$work/all_headers.c" "$work/all_headers.cpp"

check "C program against every header, strict C17" \
    "$cc" -O2 -Wall -Wextra -Werror -pedantic "$work/all_headers.c" -o "$work/c.uelf"
check "C++ program against every header" \
    "$cc" -O2 -Wall -Wextra -Werror "$work/all_headers.cpp" -o "$work/cpp.uelf"
check "compile with -c, then link the object" \
    bash -c "cd '$work' && '$cc' -c all_headers.c && '$cc' all_headers.o -o linked.uelf"
check "-c names the object after the source" test -f "$work/all_headers.o"
check "--help" "$cc" --help
check "--version" "$cc" --version

check_error "unknown option" "unknown option '--frobnicate'" "$cc" --frobnicate "$work/all_headers.c"
check_error "missing source" "nope.c: no such file" "$cc" "$work/nope.c"
check_error "no inputs" "no input files" "$cc" -O2
check_error "host libraries are never searched" "no libm.a in the -L folders" "$cc" "$work/all_headers.c" -lm
check_error "host headers are out of reach" "math.h" \
    bash -c "printf '#include <math.h>\nint main(void){return 0;}\n' > '$work/m.c' && '$cc' '$work/m.c' -o '$work/m.uelf'"
check_error "static constructors are refused" "cannot have static constructors" \
    bash -c "printf 'int f();\nint g = f();\nint main() { return g; }\nint f() { return 1; }\n' > '$work/ctor.cpp' && '$cc' '$work/ctor.cpp' -o '$work/ctor.uelf'"
check_error "compile errors fail the build" "error" \
    bash -c "echo 'int main(void) { return x; }' > '$work/bad.c' && '$cc' '$work/bad.c' -o '$work/bad.uelf'"

if [[ -x "$emu" ]]; then
    mkdir -p "$work/root/bin"
    cp "$work/c.uelf" "$work/root/bin/"
    check "the C program runs on vekos-emu" \
        bash -c "'$emu' --root '$work/root' c.uelf x y | grep -qx 'sum: big x y'"
fi

echo "vekos-cc: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
