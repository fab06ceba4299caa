# liblite_timeline.so: the SQLite table-schema service. Links the host's SQLite support
# (korvex::sqlite) only; SQLite itself is reached through its SqliteStateConnection.
add_library(lite_timeline SHARED ${CMAKE_CURRENT_LIST_DIR}/lite_timeline.cpp)
target_include_directories(lite_timeline PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(lite_timeline PUBLIC korvex_sqlite)
