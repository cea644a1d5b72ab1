# Debian packages, one per install component, made by CPack's DEB generator
# (scripts/package.sh configures the build for it and runs cpack):
#   library      libpcmpack1     the shared library
#   development  libpcmpack-dev  header, development link, static library,
#                                pkg-config file, CMake package
#   tool         pcmpack         the command-line tool and its manual page
# Run-time dependencies come from the binaries (dpkg-shlibdeps); the library
# paths are the multiarch ones GNUInstallDirs gives under the prefix /usr.

# A static build's archive to ship in libpcmpack-dev next to the shared
# library (a target builds one kind or the other; package.sh builds both).
set(PCMPACK_PACKAGE_STATIC_LIBRARY "" CACHE FILEPATH
    "libpcmpack.a of a static build, installed with the development component")
if(PCMPACK_PACKAGE_STATIC_LIBRARY)
  install(FILES ${PCMPACK_PACKAGE_STATIC_LIBRARY} DESTINATION ${CMAKE_INSTALL_LIBDIR}
          COMPONENT development EXCLUDE_FROM_ALL)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pcmpack)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "pcmpack developers <pcmpack@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL library development tool)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(PCMPACK_SOVERSION ${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libpcmpack${PCMPACK_SOVERSION})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
# A shlibs file, so that what links against the library depends on it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The library is made known to the dynamic linker through dpkg's trigger.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libpcmpack-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "libpcmpack${PCMPACK_SOVERSION} (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME pcmpack)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION sound)
# The tool's own library is in a package being built, not installed, so
# dpkg-shlibdeps cannot name it: the dependency is given here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "libpcmpack${PCMPACK_SOVERSION} (>= ${PROJECT_VERSION})")

set(PCMPACK_PACKAGE_ABOUT
    "It packs interleaved PCM audio into DVD LPCM, HDMV LPCM and AES3\n(SMPTE 302M, D-10 audio elements, planar PCM) elementary streams.\nReleased under the BSD 2-Clause licence.")
# The licence each package carries is packaging/copyright; CPack's own
# resource names the same text.
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION
    "PCM audio packetizer for disc and broadcast streams - library\n${PCMPACK_PACKAGE_ABOUT}\nThis package holds the shared library.")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "PCM audio packetizer for disc and broadcast streams - development files\n${PCMPACK_PACKAGE_ABOUT}\nThis package holds the C header, the static library, the pkg-config\nfile and the CMake package.")
set(CPACK_COMPONENT_TOOL_DESCRIPTION
    "PCM audio packetizer for disc and broadcast streams - tool\n${PCMPACK_PACKAGE_ABOUT}\nThis package holds the pcmpack command-line tool.")

# After CPack has installed each component and before it packs it: the
# manual page and the changelog compressed as Debian wants them, the
# copyright file.
set(CPACK_PCMPACK_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_documents.cmake)

include(CPack)
