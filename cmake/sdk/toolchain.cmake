# Building programs for vekos with CMake:
#   cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE=<kit>/share/vekos/toolchain.cmake
# C and C++ sources compile through vekos-cc into .uelf images and static libraries, and
# ctest runs the programs on vekos-emu. Everything is found relative to this file, so a moved
# kit works.
get_filename_component(VEKOS_KIT_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)

set(CMAKE_SYSTEM_NAME vekos)
set(CMAKE_SYSTEM_PROCESSOR i686)
list(APPEND CMAKE_MODULE_PATH "${CMAKE_CURRENT_LIST_DIR}/cmake") # Platform/vekos.cmake

set(CMAKE_C_COMPILER "${VEKOS_KIT_PREFIX}/bin/vekos-cc")
set(CMAKE_CXX_COMPILER "${VEKOS_KIT_PREFIX}/bin/vekos-c++")
set(CMAKE_ASM_COMPILER "${VEKOS_KIT_PREFIX}/bin/vekos-cc")
# Tests run with the folder ctest runs them in as the guest's root.
set(CMAKE_CROSSCOMPILING_EMULATOR "${VEKOS_KIT_PREFIX}/bin/vekos-emu")
# -DVEKOS_COVERAGE=ON: every program ctest runs adds its line counts to coverage.info in the
# build folder (vekos-emu --coverage, which merges under a lock: ctest -j is safe).
if(VEKOS_COVERAGE)
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR --coverage "${CMAKE_BINARY_DIR}/coverage.info")
endif()

# Headers and libraries come from the kit and the project, never from the host.
set(CMAKE_FIND_ROOT_PATH "${VEKOS_KIT_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
