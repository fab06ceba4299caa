# libice_history.so: the historical connection on Iceberg through Spark Connect. Links the host's
# Iceberg support and the Spark Connect client, nothing else; its table-schema service
# (libice_timeline.so) is loaded by module path at run time, not linked.
if(TARGET korvex_spark_connect)
  file(GLOB ICE_HISTORY_SOURCES CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_LIST_DIR}/ice_history.cpp ${CMAKE_CURRENT_LIST_DIR}/ice_history_*.cpp)
  add_library(ice_history SHARED ${ICE_HISTORY_SOURCES})
  target_include_directories(ice_history PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(ice_history PUBLIC korvex_spark_connect korvex_iceberg korvex_host)
  if(TARGET ice_timeline)
    add_dependencies(ice_history ice_timeline)
  endif()
endif()
