#!/bin/bash
# vekos-cc from a user's point of view: builds C and C++ programs of their own against every
# public header, reports misuse clearly, and its images run on vekos-emu.
# Usage: vekos_cc_test.sh BUILD_DIR
set -uo pipefail
build="$(cd "$1" && pwd)"
cc="$build/bin/vekos-cc"
emu="$build/bin/vekos-emu"
source "$(dirname "$0")/checks.sh"

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
check_error "-lm says there is no maths library" "vekos has no maths library" "$cc" "$work/all_headers.c" -lm
check_error "host headers are out of reach" "math.h" \
    bash -c "printf '#include <math.h>\nint main(void){return 0;}\n' > '$work/m.c' && '$cc' '$work/m.c' -o '$work/m.uelf'"
# Static constructors are refused, each named with the object that holds it.
printf 'int f();\nint g = f();\nint main() { return g; }\nint f() { return 1; }\n' >"$work/ctor.cpp"
printf '__attribute__((constructor)) static void early(void) {}\nint hook(void) { return 0; }\n' >"$work/early.c"
printf 'int hook(void);\nint main(void) { return hook(); }\n' >"$work/hooked.c"
"$cc" -c "$work/early.c" -o "$work/early.o" && ar rcs "$work/libearly.a" "$work/early.o"
for expected in "ctor.cpp: static constructor _GLOBAL__sub_I_g, which initialises g" \
    "libearly.a(early.o): static constructor early" "cannot have static constructors: nothing runs"; do
    check_error "static constructors are refused: $expected" "$expected" \
        "$cc" "$work/ctor.cpp" "$work/hooked.c" -L"$work" -learly -o "$work/ctor.uelf"
done
check_error "compile errors fail the build" "error" \
    bash -c "echo 'int main(void) { return x; }' > '$work/bad.c' && '$cc' '$work/bad.c' -o '$work/bad.uelf'"

# The gcc options build systems and users pass, each honoured.
mkdir -p "$work/sys" "$work/quote" "$work/libs"
echo '#define FROM_SYSTEM 3' >"$work/sys/sysdep.h"
echo '#define FROM_QUOTE 4' >"$work/quote/quoted.h"
printf '#include <sysdep.h>\n#include "quoted.h"\nint main(void) { return FROM_SYSTEM + FROM_QUOTE + VALUE; }\n' >"$work/opts.c"
printf 'int answer(void) { return 42; }\n' >"$work/answer.c"
cp "$work/opts.c" "$work/opts.txt"
printf '\t.globl _start\n_start:\n\tmovl $2, %%eax\n\tmovl $7, %%ebx\n\tint $0x80\n' >"$work/own_start.s"
in_work() { (cd "$work" && "$@"); }
inc=(-isystem sys -iquote quote -DVALUE=1)
check "-E writes preprocessed text" bash -c "cd '$work' && '$cc' -E ${inc[*]} opts.c | grep -q '+ 4 + 1;'"
check "-S writes assembly" bash -c "cd '$work' && '$cc' -S ${inc[*]} opts.c && grep -q 'main:' opts.s"
check "-x c compiles any file name, -x none ends it" in_work "$cc" "${inc[@]}" -x c opts.txt -x none -o x.uelf
check "-std= is honoured" bash -c "cd '$work' && echo __STDC_VERSION__ | '$cc' -E -std=c11 -x c - | grep -q 201112L"
check "-W options reach the compiler" bash -c "echo 'int main(void) { int unused; return 0; }' >'$work/w.c' && ! '$cc' -Werror=unused-variable '$work/w.c' -o '$work/w.uelf'"
check "safe -f options pass" in_work "$cc" -fno-inline -fdiagnostics-color=never "${inc[@]}" opts.c -o f.uelf
check "-MD -MF -MT -MP write a dependency file" bash -c "cd '$work' && '$cc' -c ${inc[*]} -MD -MF deps.d -MT target.o -MP opts.c -o opts.o && grep -q '^target.o:.*sysdep.h' deps.d && grep -q '^quote/quoted.h:' deps.d"
check "-s strips symbols, -static is accepted" bash -c "cd '$work' && '$cc' -s -static ${inc[*]} opts.c -o s.uelf && ! readelf -S s.uelf | grep -q symtab"
check "-nostdlib links the user's own start-up" bash -c "cd '$work' && '$cc' -nostdlib own_start.s -o own.uelf && ! nm own.uelf | grep -q main"
check "-nostartfiles drops only the start-up object" bash -c "cd '$work' && '$cc' -nostartfiles own_start.s answer.c -o own2.uelf && ! nm own2.uelf | grep -q ' _exit'"
check "-L and -l link the user's own library" bash -c "cd '$work' && '$cc' -c answer.c -o libs/answer.o && ar rcs libs/libanswer.a libs/answer.o && printf 'int answer(void);\nint main(void) { return answer(); }\n' >usea.c && '$cc' usea.c -L libs -lanswer -o usea.uelf && '$cc' usea.c -Llibs -l answer -lc -lstdc++ -o usea2.uelf"
check "-Wl, and -Xlinker reach the linker" bash -c "cd '$work' && '$cc' ${inc[*]} opts.c -Wl,-Map=a.map -Xlinker --cref -o l.uelf && grep -q 'Cross Reference' a.map"
check "-dumpmachine" bash -c "'$cc' -dumpmachine | grep -qx i686-vekos"
check "-print-file-name finds the kit's files" bash -c "test -f \"\$('$cc' -print-file-name=libvekos.a)\" && test -f \"\$('$cc' -print-file-name=libgcc.a)\""
check "-print-search-dirs" bash -c "'$cc' -print-search-dirs | grep -q '^libraries: =/.*/lib/vekos/'"
check "-v shows the commands" bash -c "'$cc' -v -c '$work/answer.c' -o '$work/v.o' 2>&1 | grep -q -- '-march=i686'"
check "-v alone shows the version" bash -c "'$cc' -v | grep -q '^Target: i686-vekos'"
check_error "-fPIC is refused with the reason" "loaded at a fixed address" "$cc" -fPIC -c "$work/answer.c"
check_error "-fexceptions is refused with the reason" "no unwinder" "$cc" -fexceptions -c "$work/answer.c"
check_error "-shared is refused with the way out" "ar rcs" "$cc" -shared "$work/answer.c"
check_error "-m64 is refused" "code generation is fixed" "$cc" -m64 -c "$work/answer.c"
check_error "-l without the library says where it looked" "no libnope.a in the -L folders (libs)" in_work "$cc" answer.c -Llibs -lnope
check_error "-x with an unknown language" "-x fortran: unknown language" "$cc" -x fortran "$work/answer.c"
check_error "-o with -c and two sources" "-o with -c needs exactly one source" "$cc" -c "$work/answer.c" "$work/opts.c" -o "$work/two.o"
# Files of any other name go to the linker, as with cc; one that isn't there is named.
check "an object named .os is linked" bash -c "cd '$work' && '$cc' -c answer.c -o answer.os && '$cc' usea.c answer.os -o os.uelf"
check_error "a missing object is named" "nope.os: no such file" "$cc" "$work/usea.c" "$work/nope.os"
for option in --coverage -pg -fprofile-arcs; do
    check_error "$option names vekos-emu's coverage and profiles" \
        "vekos-emu --coverage FILE and --profile FILE count what a program runs, without rebuilding it" \
        "$cc" "$option" -c "$work/answer.c" -o "$work/profiled.o"
done
check_error "-lvekos_malloc and --whole-library exclude each other" \
    "--whole-library links the library's heap, which -lvekos_malloc replaces" \
    "$cc" --whole-library -lvekos_malloc "$work/answer.c"

# Sizes are checked at calls although they stay calls (-fno-builtin): each natural mistake
# warns once, at every level (strcpy and strncpy from -O1), as natively.
cat >"$work/sizes.c" <<'C'
#include <stdlib.h>
#include <string.h>
char source[19] = "eighteen bytes ...";
int main(int argc, char **argv) {
    char small[12], four[4] = "abc";
    memcpy(small, source, 19);
    memset(small, 0, 13);
    strcpy(small, "twelve bytes");
    strncpy(four, argv[0], 5);
    memcpy(source, four, 8);
    char *block = malloc(10);
    memset(block, 0, 11);
    return small[argc] + four[argc] + block[argc] + (memchr(four, 'x', 10) != 0);
}
C
for level in -O0 -O2; do
    "$cc" "$level" -c "$work/sizes.c" -o "$work/sizes.o" 2>"$work/warnings"
    for expected in "sizes.c:6:5: warning: .memcpy. writing 19 bytes into a region of size 12" \
        "sizes.c:7:5: warning: .memset. writing 13 bytes into a region of size 12" \
        "sizes.c:10:5: warning: .memcpy. reading 8 bytes from a region of size 4" \
        "sizes.c:12:5: warning: .memset. writing 11 bytes into a region of size 10" \
        "sizes.c:13:.*warning: .memchr. reading 10 bytes from a region of size 4" \
        "inlined from .main. at .*sizes.c:8:" "inlined from .main. at .*sizes.c:9:"; do
        [[ $level == -O0 && $expected == inlined* ]] && continue
        count=$(grep -c -- "$expected" "$work/warnings")
        cp "$work/warnings" "$work/out"
        report_check "$level warns once: $expected" $((count == 1)) "one such warning" "$count"
    done
done
# What the library defines for null and low pointers draws no warning.
cat >"$work/low.c" <<'C'
#include <stdlib.h>
#include <string.h>
int main(void) {
    char buffer[4];
    return strcmp(NULL, "") + (int)strlen(NULL) + strncmp(NULL, "x", 1) + (strcpy(NULL, "x") != 0) +
           (strncpy(buffer, NULL, sizeof buffer) != buffer) + (strdup(NULL) != 0) +
           (memcpy(NULL, "", 0) != 0) + (strchr(NULL, 'x') != 0);
}
C
for level in -O0 -O2; do
    check "null and low pointers where the library takes them draw no warning at $level" \
        "$cc" "$level" -Wall -Wextra -Werror -c "$work/low.c" -o "$work/low.o"
done

# Run-time checks: their run-time (libvekos_checks.a) is linked only when asked for, the guard
# of -fstack-protector is a variable, and what vekos can't have yet is refused with the reason.
printf '#include <string.h>\nint twice(int x) { return x * 2; }\nint main(int argc, char **argv) {\n    char copy[16];\n    strcpy(copy, argv[0]);\n    return twice(argc) + copy[0];\n}\n' >"$work/twice.c"
check "a plain link leaves the checks' run-time out" \
    bash -c "'$cc' -v '$work/twice.c' -o '$work/plain.uelf' 2>'$work/v' && grep -q libvekos.a '$work/v' && ! grep -q libvekos_checks.a '$work/v'"
for option in -fsanitize=undefined -fsanitize=shift,bounds -fstack-protector-strong -ftrapv; do
    check "$option links the checks' run-time" \
        bash -c "'$cc' -v $option '$work/twice.c' -o '$work/checked.uelf' 2>&1 | grep -q libvekos_checks.a"
done
check "-fstack-protector keeps its guard in a variable, not at %gs:0x14" \
    bash -c "cd '$work' && '$cc' -S -fstack-protector-strong twice.c && grep -q __stack_chk_guard twice.s && ! grep -q '%gs' twice.s"
check "-fsanitize-trap needs no run-time" bash -c "'$cc' -fsanitize=undefined -fsanitize-trap '$work/twice.c' -o '$work/trap.uelf' && ! nm '$work/trap.uelf' | grep -q __ubsan"
"$cc" -c -fsanitize=undefined "$work/twice.c" -o "$work/twice.o" 2>/dev/null
check_error "a link without the option its objects need names it" \
    "objects built with -fsanitize=undefined need it when they are linked too" \
    "$cc" "$work/twice.o" -o "$work/unlinked.uelf"
for refused in "-fsanitize=address|not yet supported by vekos-cc" \
    "-fsanitize=fuzzer|not yet supported by vekos-cc" "-fsanitize=thread|one thread" \
    "-fsanitize=undefined,memory|'-fsanitize=memory' is not available" \
    "-fsanitize=vptr|no type information" "-fsanitize-trap=shift|every check a trap or none"; do
    check_error "${refused%%|*} is refused with the reason" "${refused#*|}" \
        "$cc" "${refused%%|*}" -c "$work/answer.c" -o "$work/refused.o"
done

# C++ library parts vekos lacks: one line, not the linker's list of references.
printf '#include <unordered_set>\nint main() { std::unordered_set<int> s{1}; return (int)s.size(); }\n' >"$work/hash.cpp"
check_error "a C++ header that needs more than vekos has is named in one line" \
    "needs others (from <unordered_map> or <unordered_set>): std::__detail::_Prime_rehash_policy::" "$cc" "$work/hash.cpp" -o "$work/hash.uelf"
check "... without the linker's references" bash -c "! grep -q 'undefined reference' '$work/out'"
printf '#include <iostream>\nint main() { std::cout << 1; }\n' >"$work/streams.cpp"
check_error "<iostream> is refused in one line" "<iostream> is not available: vekos has no streams" \
    "$cc" -c "$work/streams.cpp" -o "$work/streams.o"

# vekos-c++ is g++: .c sources are C++.
printf 'template <class T> T twice(T v) { return v + v; }\nint main() { return twice(21); }\n' >"$work/cxx_in.c"
check_error "vekos-cc compiles .c files as C" "error" "$cc" -c "$work/cxx_in.c" -o "$work/cxx_in.o"
check "vekos-c++ compiles .c files as C++" "$build/bin/vekos-c++" "$work/cxx_in.c" -o "$work/cxx_in.uelf"

if [[ -x "$emu" ]]; then
    mkdir -p "$work/root/bin"
    cp "$work/c.uelf" "$work/root/bin/"
    check "the C program runs on vekos-emu" \
        bash -c "'$emu' --root '$work/root' c.uelf x y | grep -qx 'sum: big x y'"
    check "an image with its own start-up runs" bash -c "cd '$work' && '$emu' --root . own.uelf; test \$? -eq 7"
    check "a user's library is linked" bash -c "cd '$work' && '$emu' --root . usea.uelf; test \$? -eq 42"
    check "vekos-c++'s image runs" bash -c "cd '$work' && '$emu' --root . cxx_in.uelf; test \$? -eq 42"

    # -lvekos_malloc: memory that free and delete give back is used again, so 64 MiB through
    # new and delete, and 16 MiB through realloc, run where the 1 MiB heap runs out; aligned
    # new keeps its alignment. std::string::find needs memchr.
    cat >"$work/churn.cpp" <<'CXX'
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>
struct alignas(64) Line { char bytes[100]; };
int main() {
    for (int i = 0; i < 4096; i++) {
        std::vector<int> v(4096, i);
        if (v[4095] != i) return 2;
    }
    for (int round = 0; round < 16; round++) {
        char *grown = nullptr;
        for (size_t n = 1024; n <= 1 << 20; n *= 2) {
            grown = static_cast<char *>(realloc(grown, n));
            if (!grown || (n > 1024 && grown[n / 2 - 1] != 'x')) return 3;
            grown[n - 1] = 'x';
        }
        free(grown);
    }
    for (int i = 0; i < 1000; i++) {
        Line *line = new Line;
        if (reinterpret_cast<unsigned long>(line) % 64 != 0) return 4;
        delete line;
    }
    std::string s = "hello, world";
    printf("found %d %d\n", (int)s.find('w'), (int)s.find("lo"));
}
CXX
    check_output "-lvekos_malloc reuses what free and delete give back" 0 "found 7 3" \
        bash -c "'$cc' -O2 -lvekos_malloc '$work/churn.cpp' -o '$work/churn.uelf' && '$emu' '$work/churn.uelf'"
    check_output "the library's own heap runs out there" 1 "operator new: out of memory" \
        bash -c "'$cc' -O2 '$work/churn.cpp' -o '$work/bump.uelf' && '$emu' '$work/bump.uelf'"

    # time.h, strtoll and their C++ headers: what vekos can answer.
    printf '#include <ctime>\n#include <cstdlib>\n#include <cstring>\n#include <cstdio>\nint main() {\n    std::time_t now = 0;\n    std::printf("%%ld %%ld %%lld %%d\\n", (long)std::clock(), (long)std::time(&now), std::strtoll("-0x10", nullptr, 0), std::memchr("ab", 98, 2) != nullptr);\n}\n' >"$work/clock.cpp"
    check_output "clock and time say the time is not available; strtoll takes a sign" 0 "-1 -1 -16 1" \
        bash -c "'$cc' -Wall -Werror '$work/clock.cpp' -o '$work/clock.uelf' && '$emu' '$work/clock.uelf'"

    # Reaching the end of main returns 0, in C as in C++, whatever the optimisation (not
    # printf's 4 left in eax, nor a run into the function after main).
    printf '#include <stdio.h>\nint main(void) { printf("ran\\n"); }\nint after(void) { return 7; }\n' >"$work/falls.c"
    cp "$work/falls.c" "$work/falls.cpp"
    for source in falls.c falls.cpp; do
        for level in -O0 -O2 -Os; do
            "$cc" "$level" "$work/$source" -o "$work/falls.uelf" 2>"$work/out"
            check_output "the end of main returns 0: $source $level" 0 "ran" "$emu" "$work/falls.uelf"
        done
    done
fi

finish vekos-cc
