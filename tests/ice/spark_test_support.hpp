#pragma once
// Shared by the tests that talk to the Spark Connect server of scripts/spark_start.sh.

#include "korvex/spark_connect/iceberg_spark_connection.hpp"

#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>

// The server's URL; throws (failing the test with this message) when it is not set.
inline std::string spark_connect_url() {
    const char* url = std::getenv("SPARK_CONNECT_URL");
    if (url == nullptr || *url == '\0') {
        throw std::runtime_error(
            "SPARK_CONNECT_URL is not set: start a server with scripts/spark_start.sh and source its env.sh "
            "(scripts/test.sh does both)");
    }
    return url;
}

// A namespace name no other test uses, so each test starts from an empty namespace.
inline std::string fresh_namespace() {
    std::random_device device;
    std::mt19937_64 generator((static_cast<std::uint64_t>(device()) << 32) ^ device());
    static const char digits[] = "0123456789abcdef";
    std::string name = "t_";
    for (int i = 0; i < 12; ++i) name += digits[generator() % 16];
    return name;
}

// An Iceberg connection to the test server on a namespace of its own, created empty.
inline korvex::IcebergSparkConnection fresh_iceberg_connection() {
    korvex::IcebergSparkConnection connection(spark_connect_url(), "korvex", fresh_namespace());
    connection.create_namespace();
    return connection;
}
