# Code generation for guest (vekos) code, defined once: vekos-cc is configured with these,
# and the few host-compiled guest programs (emulator probe, native benchmarks) use them too.

# i686 rather than i386: the library reads the time-stamp counter, a Pentium instruction.
# No SSE/MMX (the system does not save those registers), no PIE, no stack protector,
# no unwind tables, and no loops silently turned into calls to memset/memcpy.
set(VEKOS_GUEST_CODE_FLAGS
    -m32 -march=i686 -mno-mmx -mno-sse -mno-sse2 -mno-3dnow -malign-data=abi -fno-pie -fno-pic
    -fno-stack-protector -fno-asynchronous-unwind-tables -fno-unwind-tables
    -fno-tree-loop-distribute-patterns -ffunction-sections -fdata-sections -fno-common)
# The library, crt0 and guest code with its own start-up are freestanding.
set(VEKOS_GUEST_FLAGS ${VEKOS_GUEST_CODE_FLAGS} -ffreestanding)
# Programs built by vekos-cc are hosted, so that main means what C99 and C++ say (reaching its
# end returns 0; -ffreestanding makes it an ordinary function, and C++ has no -fhosted to undo
# that). -fno-builtin keeps what -ffreestanding gave them: library calls stay as written.
set(VEKOS_PROGRAM_FLAGS ${VEKOS_GUEST_CODE_FLAGS} -fno-builtin)
# C++ without exceptions, RTTI, guarded statics or exit handlers: nothing runs outside main.
# operator new gives the heap's 4-byte alignment; types that need more use the aligned forms.
set(VEKOS_GUEST_CXX_FLAGS
    -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit -faligned-new=4
    -nostdinc++)

# The host compiler builds guest code too, with its 32-bit libgcc for 64-bit division and
# its own freestanding headers (stddef.h, stdint.h, ...).
execute_process(
    COMMAND ${CMAKE_CXX_COMPILER} -m32 -print-libgcc-file-name
    OUTPUT_VARIABLE VEKOS_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT EXISTS "${VEKOS_LIBGCC}")
    message(FATAL_ERROR "32-bit libgcc not found (${VEKOS_LIBGCC}); install the Debian package "
                        "lib32gcc-12-dev (or gcc-multilib)")
endif()
execute_process(
    COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
    OUTPUT_VARIABLE VEKOS_GCC_INCLUDE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
# The compiler's C++ headers (libstdc++'s folder and its target configuration folder), for
# the freestanding parts of the C++ library; the 32-bit configuration where it is installed.
execute_process(
    COMMAND ${CMAKE_CXX_COMPILER} -x c++ -E -v -
    INPUT_FILE /dev/null
    OUTPUT_QUIET
    ERROR_VARIABLE cxx_search)
string(REGEX MATCHALL "\n [^\n]*/c\\+\\+/[0-9.]+" cxx_dirs "${cxx_search}")
set(VEKOS_CXX_INCLUDE_DIRS)
foreach(dir ${cxx_dirs})
    string(STRIP "${dir}" dir)
    if(EXISTS ${dir}/32/bits/c++config.h)
        set(dir ${dir}/32)
    endif()
    list(APPEND VEKOS_CXX_INCLUDE_DIRS ${dir})
endforeach()
if(NOT VEKOS_CXX_INCLUDE_DIRS)
    message(FATAL_ERROR "the compiler's C++ headers were not found: install the Debian package g++")
endif()
