# The installed package: `find_package(korvex 0.1 CONFIG)` gives korvex::host, the engine-support
# libraries korvex::sqlite, korvex::postgres and korvex::iceberg, and korvex::spark_connect where
# the Spark client is built; korvex.pc and korvex-<engine>.pc serve pkg-config.
include(CMakePackageConfigHelpers)

set(KORVEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/korvex)
install(EXPORT korvexTargets NAMESPACE korvex:: DESTINATION ${KORVEX_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/korvexConfig.cmake.in
  ${CMAKE_BINARY_DIR}/korvexConfig.cmake
  INSTALL_DESTINATION ${KORVEX_CMAKE_DIR}
  PATH_VARS KORVEX_INSTALL_MODULE_DIR)
# No stable ABI within 0.x: a request for 0.1 accepts 0.1.*, not 0.2.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/korvexConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/korvexConfig.cmake ${CMAKE_BINARY_DIR}/korvexConfigVersion.cmake
  DESTINATION ${KORVEX_CMAKE_DIR})

# The .pc file finds its prefix from its own folder, so an install moved elsewhere (or made
# with `cmake --install --prefix`) still describes itself.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  message(FATAL_ERROR "korvex.pc needs CMAKE_INSTALL_LIBDIR relative to the install prefix")
endif()
file(RELATIVE_PATH KORVEX_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/korvex.pc.in ${CMAKE_BINARY_DIR}/korvex.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/korvex.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(_korvex_engine_descriptions
  "sqlite=SQLite support: the SQLite state connection and statement builders"
  "postgres=PostgreSQL support: the PostgreSQL table-schema service"
  "iceberg=Iceberg support: the Iceberg connection base and its column model"
  "spark_connect=Spark Connect client and the Iceberg connection over it")
foreach(_entry IN LISTS _korvex_engine_descriptions)
  string(REGEX MATCH "^([a-z_]+)=(.*)$" _ "${_entry}")
  set(KORVEX_PC_ENGINE ${CMAKE_MATCH_1})
  set(KORVEX_PC_DESCRIPTION ${CMAKE_MATCH_2})
  if(TARGET korvex_${KORVEX_PC_ENGINE})
    configure_file(${CMAKE_CURRENT_LIST_DIR}/korvex-engine.pc.in ${CMAKE_BINARY_DIR}/korvex-${KORVEX_PC_ENGINE}.pc @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/korvex-${KORVEX_PC_ENGINE}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  endif()
endforeach()
