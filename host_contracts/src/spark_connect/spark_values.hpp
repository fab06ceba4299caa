#pragma once
// Statement parameters for a Spark Connect server: korvex values turned into the expressions a
// parameterised SQL relation carries, and into the JSON text a batch of rows travels in.
//
// Spark's own literal containers (array, map and struct literals of the protocol) turn a null
// element or field into the type's default value (0, "", false) on the server, so non-empty
// containers are sent as calls of array(), map() and named_struct() over typed literals, the
// forms Spark accepts as parameter values; only empty containers travel as container literals.

#include "korvex/value.hpp"
#include "korvex/iceberg/iceberg_table_column.hpp"

#include <spark/connect/expressions.pb.h>
#include <spark/connect/types.pb.h>

#include <string>

namespace korvex::spark_connect {

// The protocol's form of a Spark SQL type. Throws UsageError for a type name a parameter cannot
// have (DATE, TIMESTAMP, BINARY and intervals are not supported: send text and CAST it).
void to_data_type(const ComplexType& type, spark::connect::DataType& out);

// spark_type_of(value), its errors naming `what`.
ComplexType inferred_type(const Value& value, const std::string& what);

// `value` as a parameter expression of type `type`. A value that does not fit the type (text for
// a BIGINT, an integer above the type's range, a key that is not a struct field) throws
// UsageError naming `what` and the place inside the value.
void to_expression(const Value& value, const ComplexType& type, spark::connect::Expression& out,
                   const std::string& what);

// Appends `value` as JSON text that Spark's from_json reads back as `type`: the same checks as
// to_expression; NaN and infinities as the texts "NaN", "Infinity" and "-Infinity".
void append_json(const Value& value, const ComplexType& type, std::string& out, const std::string& what);

}  // namespace korvex::spark_connect
