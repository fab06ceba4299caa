#pragma once
// The Iceberg connection over a Spark Connect server: statements run as Spark SQL in the
// client's session, table descriptions come from the schema Spark reports for the table.
// Not to be shared between threads.

#include "korvex/iceberg/iceberg_historical_connection.hpp"
#include "korvex/spark_connect/spark_connect_client.hpp"

#include <memory>
#include <string>

namespace korvex {

class IcebergSparkConnection : public IcebergHistoricalConnection {
public:
    // Opens a client for `url` (see SparkConnectClient); tables live in `catalog`.`namespace_name`.
    explicit IcebergSparkConnection(const std::string& url, std::string catalog = "korvex",
                                    std::string namespace_name = "db", SparkConnectOptions options = {});

    // The columns of the table as Spark reports them: name, Spark SQL type and nullability,
    // struct fields, array elements and map values included. A missing table raises
    // ConnectAnalysisException with Spark's message.
    std::vector<IcebergTableColumn> get_table_description(const std::string& full_table_name) override;

    std::shared_ptr<Cursor> execute(const std::string& statement) override;

    // Creates the connection's namespace in its catalog when it does not exist yet.
    void create_namespace();

    SparkConnectClient& client() { return *client_; }

private:
    std::unique_ptr<SparkConnectClient> client_;
};

}  // namespace korvex
