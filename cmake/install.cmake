# Installs the library, the engine library that holds the routines pointer, the
# public header, a CMake package (quillmere::quillmere) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Installed libraries find each other in their own folder.
set_target_properties(quillmere engine PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(engine PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
target_include_directories(quillmere INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(quillmere INTERFACE $<INSTALL_INTERFACE:SQLite::SQLite3>)

install(TARGETS quillmere engine EXPORT quillmereTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/quillmere.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT quillmereTargets NAMESPACE quillmere::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quillmere)

configure_package_config_file(cmake/quillmereConfig.cmake.in
  ${PROJECT_BINARY_DIR}/quillmereConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quillmere)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quillmereConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quillmereConfig.cmake ${PROJECT_BINARY_DIR}/quillmereConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quillmere)

configure_file(cmake/quillmere.pc.in ${PROJECT_BINARY_DIR}/quillmere.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quillmere.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
