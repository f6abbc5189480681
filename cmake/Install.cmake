# Installs the library as a CMake package (find_package(OrvOleDb), target
# OrvOleDb::OrvOleDb) and a pkg-config file (orvoledb.pc).
include(CMakePackageConfigHelpers)

install(TARGETS orvoledb EXPORT OrvOleDbTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orvoledb
  FILES_MATCHING PATTERN "*.h")
install(DIRECTORY ${CMAKE_SOURCE_DIR}/platform/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orvoledb/platform
  FILES_MATCHING PATTERN "*.h")

install(EXPORT OrvOleDbTargets NAMESPACE OrvOleDb::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OrvOleDb)

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/OrvOleDbConfig.cmake.in
  ${CMAKE_BINARY_DIR}/OrvOleDbConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OrvOleDb)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/OrvOleDbConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/OrvOleDbConfig.cmake ${CMAKE_BINARY_DIR}/OrvOleDbConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OrvOleDb)

# The prefix as seen from the folder of the .pc file, so that the installed tree can move.
file(RELATIVE_PATH ORV_PC_TO_PREFIX "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
configure_file(${CMAKE_SOURCE_DIR}/cmake/orvoledb.pc.in ${CMAKE_BINARY_DIR}/orvoledb.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/orvoledb.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
