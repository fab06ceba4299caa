// Column descriptors of Iceberg tables, and how the connection derives them and full table
// names from the host's records.

#include "korvex/classes/class_version_manager.hpp"
#include "recording_iceberg_connection.hpp"
#include "korvex/iceberg/iceberg_table_column.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

using korvex::Address;
using korvex::ComplexType;
using korvex::IcebergTableColumn;
using korvex::IcebergTableColumnsSchema;
using korvex::RecordingIcebergConnection;
using korvex::TableColumnSchema;
using korvex::TableSchema;
using korvex::ValueKind;

namespace {

ComplexType text() { return ComplexType::primitive("string"); }

ComplexType pair_struct(bool second_nullable = true) {
    return ComplexType::struct_of({ComplexType::field("a", text()), ComplexType::field("b", text(), second_nullable)});
}

}  // namespace

TEST(IcebergTableColumn, WritesSparkSqlColumnDefinitions) {
    EXPECT_EQ(IcebergTableColumn("label", text()).to_sql(), "`label` STRING");
    EXPECT_EQ(IcebergTableColumn("label", text(), false).to_sql(), "`label` STRING NOT NULL");
    EXPECT_EQ(IcebergTableColumn("ref", pair_struct(false), false).to_sql(),
              "`ref` STRUCT<`a`: STRING, `b`: STRING NOT NULL> NOT NULL");
    EXPECT_EQ(IcebergTableColumn("tags", ComplexType::array_of(text())).to_sql(), "`tags` ARRAY<STRING>");
    EXPECT_EQ(IcebergTableColumn("m", ComplexType::map_of(text(), ComplexType::primitive("double"))).to_sql(),
              "`m` MAP<STRING, DOUBLE>");
    EXPECT_EQ(IcebergTableColumn("odd`name", text()).to_sql(), "`odd``name` STRING");
    EXPECT_EQ(IcebergTableColumnsSchema({IcebergTableColumn("a", text()), IcebergTableColumn("b", text(), false)}).to_sql(),
              "`a` STRING, `b` STRING NOT NULL");
    EXPECT_EQ(IcebergTableColumnsSchema({}).to_sql(), "");
}

TEST(IcebergTableColumn, ComparesEveryAttributeNestedOnesIncluded) {
    const IcebergTableColumn base("c", pair_struct());
    EXPECT_EQ(base, IcebergTableColumn("c", pair_struct()));
    EXPECT_EQ(base.hash(), IcebergTableColumn("c", pair_struct()).hash());

    EXPECT_NE(base, IcebergTableColumn("d", pair_struct()));
    EXPECT_NE(base, IcebergTableColumn("c", pair_struct(), false));
    EXPECT_NE(base, IcebergTableColumn("c", pair_struct(false)));
    EXPECT_NE(base, IcebergTableColumn("c", text()));
    EXPECT_NE(IcebergTableColumn("t", ComplexType::array_of(text(), true)),
              IcebergTableColumn("t", ComplexType::array_of(text(), false)));
    EXPECT_NE(IcebergTableColumn("t", ComplexType::primitive("FLOAT")), IcebergTableColumn("t", ComplexType::primitive("DOUBLE")));
    EXPECT_EQ(ComplexType::primitive("bigint"), ComplexType::primitive("BIGINT"));
}

TEST(IcebergTableColumn, EqualDescriptorsCollapseInASet) {
    const std::unordered_set<IcebergTableColumn> set{IcebergTableColumn("c", pair_struct()),
                                                     IcebergTableColumn("c", pair_struct()),
                                                     IcebergTableColumn("c", pair_struct(false))};
    EXPECT_EQ(set.size(), 2u);
    EXPECT_TRUE(set.contains(IcebergTableColumn("c", pair_struct(false))));
}

TEST(BuildColumnsFromSchema, MapsValueKindsStructsAndArraysToSparkTypes) {
    RecordingIcebergConnection connection;
    const auto nested = korvex::make_nested({{"x", ValueKind::TEXT}, {"inner", korvex::make_nested({{"y", ValueKind::FLOAT}})}});
    const TableSchema schema{Address::from_string("app#Thing"),
                             {{"s", ValueKind::TEXT},
                              {"flag", ValueKind::BOOLEAN, 0, false},
                              {"f", ValueKind::FLOAT},
                              {"n", ValueKind::INTEGER},
                              {"m", ValueKind::MAPPING},
                              {"seq", ValueKind::SEQUENCE},
                              {"st", nested, nullptr, false},
                              {"arr", korvex::make_array(ValueKind::TEXT)}},
                             {},
                             {}};
    const auto columns = connection.build_columns_from_schema(schema);
    EXPECT_EQ(IcebergTableColumnsSchema(columns).to_sql(),
              "`s` STRING, `flag` BOOLEAN NOT NULL, `f` DOUBLE, `n` BIGINT, `m` STRING, `seq` STRING, "
              "`st` STRUCT<`x`: STRING, `inner`: STRUCT<`y`: DOUBLE>> NOT NULL, `arr` ARRAY<STRING>");
    // Struct fields and array elements may hold nulls, as Spark reports them for such a table.
    EXPECT_TRUE(columns[6].type.fields()[0].nullable);
    EXPECT_TRUE(columns[7].type.contains_null());
}

TEST(FullTableName, QualifiesTheVersionedNameWithCatalogAndNamespace) {
    korvex::ClassVersionManager::clear();
    korvex::ClassVersionManager::register_class_version("order_line", "3");
    RecordingIcebergConnection connection("korvex", "db");
    EXPECT_EQ(connection.get_full_table_name(Address::from_string("iceberg#metadata")), "korvex.db.metadata");
    EXPECT_EQ(connection.get_full_table_name(Address::from_string("app#order_line@LATEST")), "korvex.db.orderline_v_3");
    EXPECT_EQ(connection.get_full_table_name(Address::from_string("app#Person@1.0")), "korvex.db.`person_v_1.0`");
    EXPECT_EQ(RecordingIcebergConnection("", "db").get_full_table_name(Address::from_string("iceberg#Reference")),
              "db.reference");
    EXPECT_EQ(RecordingIcebergConnection("", "").get_full_table_name(Address::from_string("iceberg#Reference")), "reference");
    EXPECT_EQ(RecordingIcebergConnection("my-catalog", "db").get_full_table_name(Address::from_string("iceberg#Reference")),
              "`my-catalog`.db.reference");
    // Spark would read a bare 1d or 1e3 as a number.
    EXPECT_EQ(RecordingIcebergConnection("1e3", "1d").get_full_table_name(Address::from_string("iceberg#Reference")),
              "`1e3`.`1d`.reference");
    korvex::ClassVersionManager::clear();
}
