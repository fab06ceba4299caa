#include "korvex/error.hpp"
#include "korvex/classes/class_version_manager.hpp"
#include "korvex/table_schemas/base.hpp"

#include <gtest/gtest.h>

using korvex::Address;
using korvex::ClassVersionManager;
using korvex::versioned_table_name;

class TableNameRule : public ::testing::Test {
protected:
    void TearDown() override { ClassVersionManager::clear(); }
};

TEST_F(TableNameRule, PlainAndVersionedClasses) {
    EXPECT_EQ(versioned_table_name(Address::from_string("app#person")), "person");
    EXPECT_EQ(versioned_table_name(Address::from_string("app#Person@ABC12")), "person_v_abc12");
    EXPECT_EQ(versioned_table_name(Address::from_string("app#order_line@3")), "orderline_v_3");
    EXPECT_EQ(versioned_table_name(Address::from_string("resource#Metadata")), "metadata");
}

TEST_F(TableNameRule, EmptyVersionHasNoSuffix) {
    Address address = Address::from_string("app#Person");
    address.class_version = korvex::Version("");
    EXPECT_EQ(versioned_table_name(address), "person");
}

TEST_F(TableNameRule, TransactionClassIgnoresVersion) {
    EXPECT_EQ(versioned_table_name(Address::from_string("resource#Transaction@7")), "transaction");
}

TEST_F(TableNameRule, LatestAsksTheVersionManagerWithTheRawName) {
    ClassVersionManager::register_class_version("person_record", "1");
    ClassVersionManager::register_class_version("person_record", "2B");
    EXPECT_EQ(versioned_table_name(Address::from_string("app#person_record@LATEST")), "personrecord_v_2b");
    EXPECT_THROW(versioned_table_name(Address::from_string("app#Unknown@LATEST")), korvex::UsageError);
    // The text LATEST set on an address is the marker too; other spellings are versions.
    Address address = Address::from_string("app#person_record");
    address.class_version = "LATEST";
    EXPECT_EQ(versioned_table_name(address), "personrecord_v_2b");
    address.class_version = std::string("latest");
    EXPECT_EQ(versioned_table_name(address), "personrecord_v_latest");
}

TEST_F(TableNameRule, NoClassVersionIsNamedLikeAMarker) {
    for (const char* marker : {"LATEST", "ALL"}) {
        EXPECT_THROW(ClassVersionManager::register_class_version("Person", marker), korvex::UsageError) << marker;
    }
    EXPECT_TRUE(ClassVersionManager().get_class_versions("Person").empty());
    ClassVersionManager::register_class_version("Person", "Latest");
    EXPECT_EQ(ClassVersionManager().get_latest_class_version("Person").version, "Latest");
}
