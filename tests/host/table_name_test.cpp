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

// Lower case by Unicode's full default mapping, not A to Z alone; the former spelling is the one
// that lowered A to Z only, given only where the two differ.
TEST_F(TableNameRule, LowerCasesEveryAlphabetAndNamesTheFormerSpelling) {
    struct Case {
        std::string class_name, version, table, former;
    };
    const std::vector<Case> cases = {
        {"Äpfel", "1", "äpfel_v_1", "Äpfel_v_1"},
        {"ЖУК", "", "жук", "ЖУК"},
        {"ΣΑΣ", "", "σας", "ΣΑΣ"},                        // final sigma
        {"ΟΔΟΣ_ΣΑΣ", "", "οδοσσας", "ΟΔΟΣΣΑΣ"},           // words joined first: one final sigma
        {"Person", "ÄB2", "person_v_äb2", "person_v_Äb2"},  // the version too
        {"Straße", "V1", "straße_v_v1", ""},               // ß is already lower case
        {"order_line", "3B", "orderline_v_3b", ""},
        {"äpfel", "", "äpfel", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.class_name + "@" + c.version);
        Address address = Address::from_string("app#Person");
        address.class_name = c.class_name;
        address.class_version = korvex::Version(c.version);
        EXPECT_EQ(versioned_table_name(address), c.table);
        EXPECT_EQ(korvex::former_table_name(address).value_or(""), c.former);
    }
}

TEST_F(TableNameRule, RefusesANameThatIsNotUtf8) {
    for (const std::string name : {"P\xC3", "P\xFF\xC3\x84", "P\xC0\x80", "P\xED\xA0\x80"}) {
        Address address = Address::from_string("app#Person");
        address.class_name = name;
        try {
            versioned_table_name(address);
            ADD_FAILURE() << "accepted " << name;
        } catch (const korvex::UsageError& error) {
            EXPECT_NE(std::string(error.what()).find("not valid UTF-8 (at byte offset 1)"), std::string::npos)
                << error.what();
        }
    }
}
