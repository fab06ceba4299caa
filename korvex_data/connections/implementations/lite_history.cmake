# liblite_history.so: the SQLite historical connection. Links the host's SQLite support
# (korvex::sqlite, which reaches SQLite); its table-schema service (liblite_timeline.so) is loaded
# by module path at run time, not linked.
file(GLOB LITE_HISTORY_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/lite_history.cpp ${CMAKE_CURRENT_LIST_DIR}/lite_history_*.cpp)
add_library(lite_history SHARED ${LITE_HISTORY_SOURCES})
target_include_directories(lite_history PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(lite_history PUBLIC korvex_sqlite)
if(TARGET lite_timeline)
  add_dependencies(lite_history lite_timeline)
endif()
