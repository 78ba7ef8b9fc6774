# Installs the library, the engine library that holds the routines pointer, the
# public header, a CMake package (quillmere::quillmere) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# libengine would be too generic a name in a system library folder.
set_target_properties(engine PROPERTIES
  OUTPUT_NAME quillmere_engine
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})

# Installed into a private prefix, the libraries find each other through
# $ORIGIN and the .pc file finds the prefix from its own folder, so the tree
# may move. The system's library folder needs no RUNPATH, nor does a host linked
# there, and its .pc file names the prefix, which pkg-config then leaves off.
list(FIND CMAKE_C_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" system_libdir)
if(system_libdir EQUAL -1)
  set_target_properties(quillmere engine PROPERTIES INSTALL_RPATH "$ORIGIN")
  set(QUILLMERE_PC_RPATH " -Wl,-rpath,\${libdir}")
  file(RELATIVE_PATH pc_to_prefix "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
  string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
  set(QUILLMERE_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
else()
  set(QUILLMERE_PC_RPATH "")
  set(QUILLMERE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
endif()

# A host that calls through sqlite3_api, which quillmere.h declares, links the
# engine library that defines it.
target_link_libraries(quillmere INTERFACE engine)
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
