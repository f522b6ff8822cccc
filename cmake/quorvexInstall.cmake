# cmake --install: the headers, both shared libraries with their soname links, a
# CMake package (find_package(quorvex) -> quorvex::quorvex, quorvex::quorvex_ext) and quorvex.pc.
# Every file locates the others relative to itself, so the tree can be
# installed under any prefix (cmake --install <build> --prefix <dir>).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUORVEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quorvex)

install(TARGETS quorvex quorvex_ext EXPORT quorvexTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/quorvex.h ${PROJECT_SOURCE_DIR}/include/quorvex_ext.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT quorvexTargets NAMESPACE quorvex:: DESTINATION ${QUORVEX_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/quorvexConfig.cmake.in
  ${PROJECT_BINARY_DIR}/quorvexConfig.cmake INSTALL_DESTINATION ${QUORVEX_CMAKE_DIR})
# 0.x releases promise compatibility within a minor version only.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quorvexConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quorvexConfig.cmake ${PROJECT_BINARY_DIR}/quorvexConfigVersion.cmake
  DESTINATION ${QUORVEX_CMAKE_DIR})

# pkg-config: paths relative to the .pc file's own directory.
set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(QUORVEX_PC_TO_PREFIX "")
  set(QUORVEX_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
else()
  file(RELATIVE_PATH QUORVEX_PC_TO_PREFIX /root/${pc_dir} /root)
  string(REGEX REPLACE "/$" "" QUORVEX_PC_TO_PREFIX "${QUORVEX_PC_TO_PREFIX}")
  set(QUORVEX_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(QUORVEX_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
else()
  set(QUORVEX_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/quorvex.pc.in ${PROJECT_BINARY_DIR}/quorvex.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quorvex.pc DESTINATION ${pc_dir})
