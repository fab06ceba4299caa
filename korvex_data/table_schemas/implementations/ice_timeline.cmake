# libice_timeline.so: the Iceberg table-schema service. Links the host's Iceberg support
# (korvex::iceberg) only: Spark is reached through its IcebergHistoricalConnection, whose Spark
# Connect implementation lives in korvex_spark_connect and is chosen by the host.
add_library(ice_timeline SHARED ${CMAKE_CURRENT_LIST_DIR}/ice_timeline.cpp)
target_include_directories(ice_timeline PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(ice_timeline PUBLIC korvex_iceberg)
