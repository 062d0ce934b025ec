# Install rules, the CMake package (TqProxy::TqProxy), on Linux a pkg-config
# file, and the release archive (ZIP of the DLL; .tar.gz of the .so).
# Everything a host needs is in the one component "TqProxy"; the archive is
# made from that component only, so nothing a test or benchmark installs
# can slip into it.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TQPROXY_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TqProxy)

install(TARGETS TqProxy EXPORT TqProxyTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT TqProxy
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT TqProxy
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT TqProxy
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/TqProxy.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT TqProxy)
if(TQPROXY_LLVM_DLLTOOL)
  # The MSVC import library; TqProxyConfig.cmake points MSVC hosts at it.
  install(FILES ${CMAKE_BINARY_DIR}/lib/TqProxy.lib DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT TqProxy)
endif()

install(EXPORT TqProxyTargets NAMESPACE TqProxy:: DESTINATION ${TQPROXY_CMAKE_DIR}
  COMPONENT TqProxy)
configure_package_config_file(cmake/TqProxyConfig.cmake.in
  ${CMAKE_BINARY_DIR}/TqProxyConfig.cmake INSTALL_DESTINATION ${TQPROXY_CMAKE_DIR})
# The version check also refuses a 32-bit consumer: the DLL is 64-bit only.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TqProxyConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/TqProxyConfig.cmake ${CMAKE_BINARY_DIR}/TqProxyConfigVersion.cmake
  DESTINATION ${TQPROXY_CMAKE_DIR} COMPONENT TqProxy)

if(NOT WIN32)
  # pkg-config finds the library relative to where the file was installed,
  # however deep the library folder is (lib, or lib/<multiarch> under /usr).
  file(RELATIVE_PATH TQPROXY_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
  string(REGEX REPLACE "/$" "" TQPROXY_PC_TO_PREFIX "${TQPROXY_PC_TO_PREFIX}")
  configure_file(cmake/tqproxy.pc.in ${CMAKE_BINARY_DIR}/tqproxy.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/tqproxy.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT TqProxy)
endif()

install(FILES README.md CHANGELOG.md LICENSE DESTINATION . COMPONENT TqProxy)
install(FILES docs/host-guide.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT TqProxy)

set(CPACK_PACKAGE_NAME TqProxy)
set(CPACK_PACKAGE_VENDOR "TqProxy developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "UDP endpoint library for 64-bit Windows hosts")
  set(CPACK_PACKAGE_FILE_NAME TqProxy-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "UDP endpoint library for Linux hosts")
  set(CPACK_PACKAGE_FILE_NAME TqProxy-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
# Debug info in DWARF is of no use to a Windows host: 5 MB become under 1 MB.
set(CPACK_STRIP_FILES ON)
# One archive of the host component: build dir; project; component; subdirectory.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};TqProxy;TqProxy;/")
include(CPack)
