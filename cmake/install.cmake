# cmake --install: the job library, the public headers, the host emulator as
# a static library, the tool and its modules where it is built, a CMake
# package and pkg-config files. Components: library, c_header (the Windows
# archive's two), development, tool. The packages come from scripts/release.sh.

# Installed programs find the library in ../lib, so lib stays lib everywhere.
set(CMAKE_INSTALL_LIBDIR lib CACHE PATH "Object code libraries")
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Loaded at run time, never linked: the file alone, no import library.
if(WIN32)
  set(MESHJOBS_INSTALLED_LIBRARY ${CMAKE_INSTALL_BINDIR}/meshjobs.dll)
else()
  set(MESHJOBS_INSTALLED_LIBRARY ${CMAKE_INSTALL_LIBDIR}/libmeshjobs.so)
endif()
get_filename_component(library_directory ${MESHJOBS_INSTALLED_LIBRARY} DIRECTORY)
install(PROGRAMS $<TARGET_FILE:meshjobs_library> DESTINATION ${library_directory} COMPONENT library)

install(FILES include/meshjobs/meshjobs.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/meshjobs COMPONENT c_header)
install(FILES include/meshjobs/records.h include/meshjobs/names.h host/include/meshjobs/host.h
              host/include/meshjobs/job_records.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/meshjobs COMPONENT development)
install(TARGETS meshjobs_headers meshjobs_host EXPORT meshjobs-targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES examples/c_host.c DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT development)
if(TARGET meshjobs_tool)
  install(TARGETS meshjobs_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  # Its modules, loaded on first use, where it finds the job library: ../lib.
  install(TARGETS meshjobs_scene meshjobs_draco LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT tool)
endif()

# find_package(meshjobs [version]): the same minor version is compatible.
set(config_directory ${CMAKE_INSTALL_LIBDIR}/cmake/meshjobs)
install(EXPORT meshjobs-targets NAMESPACE meshjobs:: DESTINATION ${config_directory} COMPONENT development)
configure_package_config_file(cmake/meshjobs-config.cmake.in ${PROJECT_BINARY_DIR}/meshjobs-config.cmake
                              INSTALL_DESTINATION ${config_directory} PATH_VARS MESHJOBS_INSTALLED_LIBRARY)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/meshjobs-config-version.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/meshjobs-config.cmake ${PROJECT_BINARY_DIR}/meshjobs-config-version.cmake
        DESTINATION ${config_directory} COMPONENT development)

# pkg-config, relocatable: paths relative to the .pc file.
list(TRANSFORM CMAKE_DL_LIBS PREPEND -l OUTPUT_VARIABLE dl_flags)
string(JOIN " " MESHJOBS_HOST_LIBS -lmeshjobs_host -pthread ${dl_flags})
if(WIN32)
  string(APPEND MESHJOBS_HOST_LIBS " -lsynchronization")
endif()
foreach(name meshjobs meshjobs-host)
  configure_file(cmake/${name}.pc.in ${PROJECT_BINARY_DIR}/${name}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${name}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
endforeach()

# The Debian package (Linux x86-64): cpack -G DEB in the build folder.
if(NOT CMAKE_SYSTEM_NAME STREQUAL Linux)
  return()
endif()
set(CPACK_PACKAGE_NAME meshjobs)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mesh-processing jobs for a game engine's job system")
set(CPACK_PACKAGE_CONTACT "meshjobs developers <meshjobs@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
# The tool's libraries (assimp among them), as dpkg-shlibdeps reads them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_GENERATOR DEB)
include(CPack)
