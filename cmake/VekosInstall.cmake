# cmake --install: the kit, in the layout vekos-cc and the toolchain file find relative to
# themselves, so the installed tree can be moved.
install(PROGRAMS ${VEKOS_BIN_DIR}/vekos-cc DESTINATION bin)
install(TARGETS vekos-emu vekos-info RUNTIME DESTINATION bin)
install(TARGETS vekos_format LIBRARY DESTINATION lib/vekos)
install(FILES ${VEKOS_LIB_DIR}/libvekos.a ${VEKOS_LIB_DIR}/user_crt0.o ${VEKOS_LIB_DIR}/vekos.ld
        DESTINATION lib/vekos)
install(DIRECTORY ${VEKOS_INCLUDE_DIR}/ DESTINATION include/vekos)
install(DIRECTORY ${CMAKE_BINARY_DIR}/share/vekos/ DESTINATION share/vekos)
# The ready root: run.uelf and the example programs.
install(DIRECTORY ${VEKOS_ROOT_DIR}/bin DESTINATION share/vekos/root FILES_MATCHING
        PATTERN "*.uelf")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/project DESTINATION share/vekos/examples)

# cpack -G DEB: the kit as one Debian package. vekos-cc drives the host's gcc.
set(CPACK_PACKAGE_NAME vekos-kit)
set(CPACK_PACKAGE_VENDOR vekos)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Compiler driver, library and emulator for vekos programs")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "vekos developers <vekos@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "gcc, g++, lib32gcc-12-dev | gcc-multilib, binutils, libelf1")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
