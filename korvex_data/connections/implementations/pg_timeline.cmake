# libpg_timeline.so: the PostgreSQL historical connection. Links the host's PostgreSQL support
# (korvex::postgres, its table-schema service) and libpq.
file(GLOB PG_TIMELINE_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/pg_timeline.cpp ${CMAKE_CURRENT_LIST_DIR}/pg_timeline_*.cpp)
if(PG_TIMELINE_SOURCES)
  add_library(pg_timeline SHARED ${PG_TIMELINE_SOURCES})
  target_include_directories(pg_timeline PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(pg_timeline PUBLIC korvex_postgres PRIVATE PostgreSQL::PostgreSQL)
endif()
