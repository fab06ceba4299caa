#pragma once
// Reads the Arrow IPC streams in which a Spark Connect server sends result rows: a schema
// message followed by record batches. Only what results of SQL statements hold is decoded:
// null, booleans, integers, floating-point numbers, text and binary, decimals, dates,
// timestamps, and structs, lists and maps of those. Dictionary-encoded and compressed data,
// and other types, are rejected with an error that names the column.

#include "korvex/error.hpp"
#include "korvex/connections/cursor.hpp"

#include <stdexcept>
#include <string_view>
#include <vector>

namespace korvex::spark_connect {

class ArrowFormatError : public Error {
public:
    using Error::Error;
};

// Appends the rows of one Arrow IPC stream to `rows`. `columns` is set from the stream's schema
// when it is still empty.
void read_arrow_stream(std::string_view data, std::vector<ColumnDescription>& columns, std::vector<Row>& rows);

}  // namespace korvex::spark_connect
