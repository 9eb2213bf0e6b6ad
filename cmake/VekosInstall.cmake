# cmake --install: the kit, in the layout vekos-cc and the toolchain file find relative to
# themselves, so the installed tree can be moved.
install(PROGRAMS ${VEKOS_BIN_DIR}/vekos-cc DESTINATION bin)
install(FILES ${VEKOS_BIN_DIR}/vekos-c++ DESTINATION bin) # a link to vekos-cc
install(TARGETS vekos-emu vekos-info RUNTIME DESTINATION bin)
install(TARGETS vekos_format LIBRARY DESTINATION lib/vekos)
install(FILES ${VEKOS_LIB_DIR}/libvekos.a ${VEKOS_LIB_DIR}/libvekos_checks.a
              ${VEKOS_LIB_DIR}/libvekos_malloc.a ${VEKOS_LIB_DIR}/user_crt0.o ${VEKOS_LIB_DIR}/vekos.ld DESTINATION lib/vekos)
install(DIRECTORY ${VEKOS_INCLUDE_DIR}/ DESTINATION include/vekos)
install(DIRECTORY ${CMAKE_BINARY_DIR}/share/vekos/ DESTINATION share/vekos PATTERN src EXCLUDE)
# The ready root: run.uelf and the example programs.
install(DIRECTORY ${VEKOS_ROOT_DIR}/bin DESTINATION share/vekos/root FILES_MATCHING
        PATTERN "*.uelf")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/project DESTINATION share/vekos/examples)
# The library's sources: its debug information names them vekos/lib/..., so gdb finds them
# with `directory <kit>/share/vekos/src` (vekos-cc -print-file-name=src).
# crt0's too (vekos/crt/...), for coverage reports and stepping through _start.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/lib ${PROJECT_SOURCE_DIR}/crt DESTINATION share/vekos/src/vekos
        FILES_MATCHING PATTERN "*.cpp" PATTERN "*.h" PATTERN "*.S")
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION share/doc/vekos-kit)

# cpack -G DEB: the kit as one Debian package. vekos-cc drives the host's gcc.
set(CPACK_PACKAGE_NAME vekos-kit)
set(CPACK_PACKAGE_VENDOR vekos)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Compiler driver, library and emulator for vekos programs")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "vekos developers <vekos@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
# The format checker is a plugin of the very compiler it was built for, and the kit uses that
# compiler's C++ headers and 32-bit libgcc by path: the package asks for the Debian packages
# that hold them (the drivers, cc1, cc1plus, the headers, libgcc) at their exact versions.
set(compiler_files ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER} ${VEKOS_LIBGCC})
foreach(program cc1 cc1plus)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-prog-name=${program}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND compiler_files ${path})
endforeach()
list(GET VEKOS_CXX_INCLUDE_DIRS 0 cxx_headers)
list(APPEND compiler_files ${cxx_headers}/vector)
set(compiler_packages)
foreach(file ${compiler_files})
    file(REAL_PATH ${file} path)
    execute_process(COMMAND dpkg-query -S ${path} OUTPUT_VARIABLE owner RESULT_VARIABLE failed
                    ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REGEX MATCH "^[^:, ]+" package "${owner}")
    if(failed OR NOT package)
        continue()
    endif()
    execute_process(COMMAND dpkg-query -W --showformat=\${Version} ${package}
                    OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND compiler_packages "${package} (= ${version})")
endforeach()
list(REMOVE_DUPLICATES compiler_packages)
if(NOT compiler_packages) # not a Debian system: cpack -G DEB still works, less precisely
    set(compiler_packages gcc g++ "lib32gcc-12-dev | gcc-multilib")
endif()
list(JOIN compiler_packages ", " compiler_depends)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${compiler_depends}, binutils, libelf1")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
