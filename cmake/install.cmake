# What `cmake --install` puts where (GNUInstallDirs paths under the prefix),
# and the packages cpack makes of it: a .deb on Linux, a zip of the Windows
# programs from the mingw build.
include(CMakePackageConfigHelpers)
set(VRN_PACKAGE_CONTACT "vrntools maintainers <maintainers@vrntools.example>" CACHE STRING
  "The maintainer named in the Debian package")

# The programs, into bin/. A new program adds its target here.
set(VRN_INSTALLED_PROGRAMS vrnprog vrnstat vrndump vrnrec vrnscan vrnsim)
install(TARGETS ${VRN_INSTALLED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The library as one archive, its headers in include/vrntools, and a CMake
# package for another project's find_package(vrntools) and
# target_link_libraries(app vrntools::vrn).
set(VRN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vrntools)
install(TARGETS vrn EXPORT vrntoolsTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/lib/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vrntools
  FILES_MATCHING PATTERN "*.h" PATTERN posix EXCLUDE PATTERN win32 EXCLUDE)
install(EXPORT vrntoolsTargets NAMESPACE vrntools:: DESTINATION ${VRN_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vrntoolsConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vrntoolsConfig.cmake INSTALL_DESTINATION ${VRN_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vrntoolsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vrntoolsConfig.cmake ${PROJECT_BINARY_DIR}/vrntoolsConfigVersion.cmake
  DESTINATION ${VRN_CMAKE_DIR})

# The Wireshark dissector, in the Lua plugin folder under the library
# folder: with the prefix /usr on Debian (the .deb) the one Wireshark reads
# for every user, /usr/lib/x86_64-linux-gnu/wireshark/plugins; with the
# prefix ~/.local a user's own, ~/.local/lib/wireshark/plugins.
install(FILES ${PROJECT_SOURCE_DIR}/tools/wireshark/vrn.lua DESTINATION ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins)

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(NOT WIN32)
  # A manual page per program, from docs/man/PROGRAM.1.scd (scdoc's markup,
  # readable as it is) with the project's version, turned into roff by
  # scdoc and gzipped as Debian installs them. AUTO builds them when scdoc
  # is there; the package preset requires them.
  set(VRN_MAN_PAGES AUTO CACHE STRING "Manual pages: AUTO (when scdoc is found), REQUIRED or OFF")
  set_property(CACHE VRN_MAN_PAGES PROPERTY STRINGS AUTO REQUIRED OFF)
  if(NOT VRN_MAN_PAGES STREQUAL "OFF")
    if(VRN_MAN_PAGES STREQUAL "REQUIRED")
      find_program(VRN_SCDOC scdoc REQUIRED)
    else()
      find_program(VRN_SCDOC scdoc)
    endif()
    if(VRN_SCDOC)
      set(VRN_MAN_DIR ${PROJECT_BINARY_DIR}/man)
      set(VRN_MAN_GZ)
      foreach(program ${VRN_INSTALLED_PROGRAMS})
        set(page ${PROJECT_SOURCE_DIR}/docs/man/${program}.1.scd)
        configure_file(${page} ${VRN_MAN_DIR}/${program}.1.scd @ONLY)
        add_custom_command(OUTPUT ${VRN_MAN_DIR}/${program}.1.gz
          COMMAND sh -c "'${VRN_SCDOC}' <'${program}.1.scd' >'${program}.1' && gzip -9nf '${program}.1'"
          WORKING_DIRECTORY ${VRN_MAN_DIR}
          DEPENDS ${VRN_MAN_DIR}/${program}.1.scd
          COMMENT "Manual page ${program}(1)" VERBATIM)
        list(APPEND VRN_MAN_GZ ${VRN_MAN_DIR}/${program}.1.gz)
      endforeach()
      add_custom_target(vrn_man_pages ALL DEPENDS ${VRN_MAN_GZ})
      install(FILES ${VRN_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    else()
      message(STATUS "No manual pages: scdoc not found (Debian package scdoc)")
    endif()
  endif()

  # bash completion: one file for all the programs, found by bash-completion
  # under each program's name (links to the first).
  set(VRN_COMPLETION_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  list(GET VRN_INSTALLED_PROGRAMS 0 first)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/completion)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/completion/vrntools.bash DESTINATION ${VRN_COMPLETION_DIR}
    RENAME ${first})
  foreach(program ${VRN_INSTALLED_PROGRAMS})
    if(NOT program STREQUAL first)
      file(CREATE_LINK ${first} ${PROJECT_BINARY_DIR}/completion/${program} SYMBOLIC)
      install(FILES ${PROJECT_BINARY_DIR}/completion/${program} DESTINATION ${VRN_COMPLETION_DIR})
    endif()
  endforeach()
endif()
if(NOT WIN32)
  # What a Debian package carries beside its files: the copyright and a
  # changelog, compressed as Debian's tools do (gzip -9n).
  string(TIMESTAMP VRN_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)  # SOURCE_DATE_EPOCH when set
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
  execute_process(COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/debian/changelog
    OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME vrntools)
set(CPACK_PACKAGE_VENDOR "vrntools")
set(CPACK_PACKAGE_CONTACT "${VRN_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service programs and library for the VRN module, and its simulator")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "vrnprog writes a data file into the flash of a VRN module over
UDP/IPv4, vrnstat prints what the module holds, vrndump backs up flash
cells, vrnrec composes and shows the module's records, vrnscan finds the
modules on a network, and vrnsim plays the module on loopback. Also the library the programs are built on, as a
static archive with its headers and a CMake package (vrntools::vrn), and a
Wireshark dissector for the protocol; with Python 3 the vrn package over
the library.")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(VRN_PYTHON)
  # The extension in the package is built for this one interpreter version.
  math(EXPR VRN_PYTHON_NEXT_MINOR "${Python3_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), python3 (<< ${Python3_VERSION_MAJOR}.${VRN_PYTHON_NEXT_MINOR})")
endif()
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "cmake, tshark | wireshark")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
