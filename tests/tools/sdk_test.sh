#!/bin/bash
# The kit as a user gets it: installed into a prefix and moved, then building the example
# project with CMake (tests through ctest) and with make; C++ at every optimisation level;
# ctype.h against the host's C locale, assert.h and limits.h; and vekos-info's records.
# Usage: sdk_test.sh BUILD_DIR
set -uo pipefail
build="$(cd "$1" && pwd)"
source "$(dirname "$0")/checks.sh"

# Installed, then moved: nothing may point back at the build or the first prefix.
cmake --install "$build" --prefix "$work/first" >/dev/null || { echo "FAIL: cmake --install"; exit 1; }
mv "$work/first" "$work/kit"
kit="$work/kit"
cc="$kit/bin/vekos-cc"
check "the installed kit names no build path" bash -c "! grep -rlF '$build' '$kit/bin/vekos-cc' '$kit/share'"
check "the installed root runs run.uelf" "$kit/bin/vekos-emu" --root "$kit/share/vekos/root" run.uelf hello.uelf -v

project="$kit/share/vekos/examples/project"
check "CMake configures the example with the toolchain file" \
    cmake -S "$project" -B "$work/cmake" -DCMAKE_TOOLCHAIN_FILE="$kit/share/vekos/toolchain.cmake"
check "CMake builds C, C++ and a static library" cmake --build "$work/cmake"
check "ctest runs the tests on vekos-emu" ctest --test-dir "$work/cmake" --output-on-failure
cp -r "$project" "$work/make"
check "make builds and checks the example" make -C "$work/make" CC="$cc" CXX="$kit/bin/vekos-c++" check

cd "$work" || exit 1
run() { "$kit/bin/vekos-emu" "$@"; }

# The README's C++ headers in one program; the failure paths of the library's headers end
# the program with what would have been thrown.
cat >cxx.cpp <<'CXX'
#include <algorithm>
#include <any>
#include <array>
#include <bit>
#include <bitset>
#include <climits>
#include <compare>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <new>
#include <numeric>
#include <optional>
#include <queue>
#include <set>
#include <span>
#include <stack>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>
#include <stdio.h>

struct Base {
    virtual ~Base() { s_destroyed++; }
    virtual int value() const = 0;
    static inline int s_destroyed = 0;
};
struct Leaf : Base {
    explicit Leaf(int v) : v(v) {}
    int value() const override { return v; }
    int v;
};
struct alignas(16) Wide { long double x; };
using Tree = std::_Rb_tree<int, int, std::_Identity<int>, std::less<int>>;

// Random insertions and erasures keep the red-black tree behind std::map valid.
bool tree_stays_valid() {
    Tree tree;
    unsigned x = 1;
    for (int step = 0; step < 4000; step++) {
        x = x * 1103515245u + 12345u;
        if ((x >> 20) & 1) tree._M_insert_unique((x >> 8) % 200);
        else tree.erase((x >> 8) % 200);
        if (step % 50 == 0 && !tree.__rb_verify()) return false;
    }
    return true;
}

// One use of each of the other headers.
bool others_work() {
    std::deque<int> deque{2, 3};
    deque.push_front(1);
    std::set<int> set(deque.begin(), deque.end());
    std::stack<int, std::deque<int>> stack(deque);
    std::priority_queue<int> queue(set.begin(), set.end());
    std::function<int(int)> twice = [](int v) { return v * 2; };
    std::variant<int, std::string_view> either = std::string_view("ab");
    std::any held = 7;
    std::vector<int> copied;
    std::copy(set.rbegin(), set.rend(), std::back_inserter(copied));
    std::list<int> list{5, 1, 4}, other{3, 2};
    list.splice(std::next(list.begin()), other); // 5 3 2 1 4
    list.sort();
    list.reverse();
    list.swap(other);
    other.remove(3);
    return std::accumulate(deque.begin(), deque.end(), 0) == 6 && stack.top() == 3 &&
           queue.top() == 3 && twice(4) == 8 && std::get<1>(either).size() == 2 &&
           std::any_cast<int>(held) == 7 && copied.front() == 3 && std::bitset<8>(5).count() == 2 &&
           list.empty() && other == std::list<int>{5, 4, 2, 1};
}

int main(int argc, char **argv) {
    int sum = 0;
    for (int v : {1, 2, 3}) {
        std::unique_ptr<Base> b = std::make_unique<Leaf>(v);
        sum += b->value();
    }
    int *many = new int[10]();
    delete[] many;
    Wide *w = new Wide;
    bool aligned = reinterpret_cast<std::uintptr_t>(w) % 16 == 0;
    bool refused = new (std::nothrow) char[0x7fff0000] == nullptr;
    std::array<int, 2> a{1, 2};
    std::vector<int> numbers{5, 3, 9, 1};
    std::sort(numbers.begin(), numbers.end());
    std::map<std::string, int> counts;
    for (std::string word : {"b", "a", "b"}) counts[word + "!"]++;
    std::string text = "vekos";
    text += std::to_string(counts["b!"]);
    std::optional<int> some = 4;
    auto [first, second] = std::tuple{std::span<int>(numbers).size(), CHAR_BIT};
    bool ok = sum == 6 && Base::s_destroyed == 3 && aligned && refused && (a[0] <=> a[1]) < 0 &&
              std::numeric_limits<std::int32_t>::max() == 0x7fffffff && std::popcount(7u) == 3 &&
              numbers == std::vector<int>{1, 3, 5, 9} && counts.begin()->first == "a!" &&
              text == "vekos2" && *some == 4 && first == 4 && second == 8 &&
              std::strlen(text.c_str()) == 6 && std::abs(-3) == 3 && others_work() &&
              std::integral<decltype(first)> && tree_stays_valid();
    std::printf("%s\n", ok ? "cxx ok" : "cxx wrong");
    if (argc > 1) return numbers.at(argv[1][0]); // out of range: ends the program
    char *huge = new char[0x200000]; // more than the heap: ends the program
    return huge[0];
}
CXX
for level in -O0 -O2 -Os; do
    check "C++ links at $level" "$cc" "$level" -Wall -Wextra -Werror cxx.cpp -o "cxx$level.uelf"
    check_output "C++ runs at $level; a failed new ends it with a message" 1 \
        "operator new: out of memory for 2097152 bytes" run "./cxx$level.uelf"
    grep -q "cxx ok" out || { failed=$((failed + 1)); echo "FAIL: C++ at $level printed: $(cat out)"; }
    check_output "a failed vector::at at $level ends the program as abort does" 1 \
        "std::out_of_range: vector::_M_range_check: __n (which is 97) >= this->size() (which is 4)" \
        run "./cxx$level.uelf" a
done

# Linked with -lvekos_malloc, the same program finds room for its 2 MiB block: its new and
# delete, aligned forms too, go to the allocator over mmap.
check_output "the installed kit links -lvekos_malloc, whose new finds room past 1 MiB" 0 "cxx ok" \
    bash -c "'$cc' -O2 -Wall -Werror cxx.cpp -lvekos_malloc -o cxx_malloc.uelf && '$kit/bin/vekos-emu' ./cxx_malloc.uelf"

printf '#include <vector>\nint main(int argc, char **) { std::vector<int> v{1}; return v[argc + 3]; }\n' >checked.cpp
check "the C++ headers' own checks compile" "$cc" -D_GLIBCXX_ASSERTIONS checked.cpp -o checked.uelf
check_output "... and a failed one ends the program as a failed assert" 1 \
    "assertion '__n < this->size()' failed" run ./checked.uelf

# gdb steps from a program into the library's sources, which the moved kit carries.
printf '#include <stdio.h>\nint main(void) {\n    printf("%%d\\n", 42);\n    return 0;\n}\n' >step.c
"$cc" -g -O0 step.c -o step.uelf
if command -v gdb >/dev/null; then
    timeout 30 "$kit/bin/vekos-emu" --gdb 0 ./step.uelf 2>emu.err &
    for _ in $(seq 300); do grep -q "waiting for gdb" emu.err && break; sleep 0.1; done
    port=$(sed -n 's/.*waiting for gdb on 127.0.0.1:\([0-9]*\).*/\1/p' emu.err)
    check_output "gdb steps into printf and shows its line" 0 "va_start(ap, format);" \
        timeout 30 gdb -nx -batch -ex "directory $("$cc" -print-file-name=src)" \
        -ex "target remote 127.0.0.1:$port" -ex "break main" -ex continue -ex step -ex kill step.uelf
    wait
fi

# The Debian package: the exact compiler the format plugin was built for, and a copyright file.
if cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/package" >/dev/null 2>&1; then
    deb=$(ls "$work"/package/*.deb)
    version=$(dpkg-query -W -f='${Version}' g++-12)
    check_output "the package depends on the compiler the plugin was built for" 0 \
        "g++-12 (= $version)" dpkg-deb -f "$deb" Depends
    check_output "the package carries a copyright file" 0 "./usr/share/doc/vekos-kit/copyright" \
        dpkg-deb -c "$deb"
else
    failed=$((failed + 1))
    echo "FAIL: cpack -G DEB"
fi

# ctype.h: every class and both case mappings for EOF and every byte, against the host's C
# locale; limits.h against the widths of the target.
cat >ctype_table.c <<'C'
#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#ifndef HOST
_Static_assert(CHAR_BIT == 8 && INT_MAX == 2147483647 && LONG_MIN == -2147483647L - 1 &&
                   ULLONG_MAX == 18446744073709551615ULL && UCHAR_MAX == 255,
               "limits.h");
#endif
int main(void) {
    int (*const classes[])(int) = {isalnum, isalpha, isblank, iscntrl, isdigit, isgraph,
                                   islower, isprint, ispunct, isspace, isupper, isxdigit};
    for (int c = -1; c < 256; c++) {
        int bits = 0;
        for (unsigned i = 0; i < sizeof classes / sizeof classes[0]; i++)
            bits |= (classes[i](c) != 0) << i;
        printf("%d %d %d %d\n", c, bits, tolower(c), toupper(c));
    }
    return 0;
}
C
check "ctype.h and limits.h compile" "$cc" -Wall -Wextra -Werror ctype_table.c -o ctype_table.uelf
run ./ctype_table.uelf >ctype.guest 2>&1
cc -w -DHOST ctype_table.c -o ctype_table.host && LC_ALL=C ./ctype_table.host >ctype.host
check "ctype.h agrees with the host's C locale for EOF and every byte" diff ctype.host ctype.guest

printf '#include <assert.h>\nint main(int argc, char **argv) {\n    (void)argv;\n    assert(argc == 2);\n    return 0;\n}\n' >assert_me.c
check "assert compiles" "$cc" assert_me.c -o assert.uelf
check "a passing assert does nothing" run ./assert.uelf one
check_output "a failing assert names file, line, function and expression" 1 \
    "assert_me.c:4: main: assertion 'argc == 2' failed" run ./assert.uelf
check "NDEBUG removes assert" bash -c "'$cc' -DNDEBUG assert_me.c -o ndebug.uelf && '$kit/bin/vekos-emu' ./ndebug.uelf"

# vekos-info: the records of run.uelf and the examples, and damaged records reported, never
# read past.
info="$kit/bin/vekos-info"
check_output "vekos-info shows run's records" 0 "summary  Run a native program, .uelf, or script." \
    "$info" "$kit/share/vekos/root/bin/run.uelf"
check_output "vekos-info shows the example project's records" 0 "usage    rpn TOKEN..." \
    "$info" "$work/cmake/rpn.uelf"
damaged() { # damaged NAME RECORD-BYTES-AS-C-STRING EXPECTED
    printf 'const char r[sizeof(%s) - 1] __attribute__((section(".vekos.cmdmeta"), used)) = %s;\nint main(void) { return 0; }\n' "$2" "$2" >bad.c
    "$cc" bad.c -o bad.uelf 2>/dev/null
    check_output "vekos-info: $1" 1 "$3" "$info" bad.uelf
}
damaged "a string runs past the section's end" '"VCMD\1\0\0\0summary\0usage"' "the usage runs past"
damaged "no final empty string" '"VCMD\1\0\0\0summary\0usage\0"' "no empty string ends"
damaged "wrong magic" '"VCMX\1\0\0\0a\0b\0\0"' "magic 'VCMX'"
damaged "unknown version" '"VCMD\2\0\0\0a\0b\0\0"' "format version 2"
damaged "bytes after the record" '"VCMD\1\0\0\0a\0b\0\0\0"' "1 bytes follow the record"
# A section header whose size runs past the end of the file.
cp "$kit/share/vekos/root/bin/run.uelf" cut.uelf
headers=$(readelf -h cut.uelf | awk '/Start of section headers/ { print $5 }')
index=$(readelf -S cut.uelf | sed -n 's/^ *\[ *\([0-9]*\)\] \.vekos\.cmdmeta .*/\1/p')
printf '\xff\xff\x00\x00' | dd of=cut.uelf bs=1 seek=$((headers + index * 40 + 20)) conv=notrunc 2>/dev/null
check_output "vekos-info: a section that runs past the file's end" 1 ".vekos.cmdmeta: damaged" "$info" cut.uelf
head -c 300 "$kit/share/vekos/root/bin/run.uelf" >short.uelf
check_output "vekos-info: a file cut short" 1 "damaged" "$info" short.uelf

finish sdk
