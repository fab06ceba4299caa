#include "korvex/error.hpp"
#include "korvex/models/address.hpp"

#include <gtest/gtest.h>

using korvex::Address;
using korvex::Version;
using korvex::Versions;

TEST(Address, ReadsInternalTableAddresses) {
    const Address metadata = Address::from_string("resource#Metadata");
    EXPECT_EQ(metadata.resource, "resource");
    EXPECT_EQ(metadata.class_name, "Metadata");
    EXPECT_TRUE(metadata.class_version.is_absent());
    EXPECT_TRUE(metadata.object_id.empty());

    EXPECT_EQ(Address::from_string("iceberg#metadata").class_name, "metadata");
}

TEST(Address, ReadsVersionsAndMarkers) {
    const Address address = Address::from_string("app#Person@2/p-17@LATEST");
    EXPECT_EQ(address.class_version, Version("2"));
    EXPECT_EQ(address.object_id, "p-17");
    EXPECT_TRUE(address.object_version == Versions::LATEST);
    EXPECT_EQ(address.to_string(), "app#Person@2/p-17@LATEST");
    EXPECT_TRUE(Address::from_string("app#Person@ALL").class_version == Versions::ALL);
}

TEST(Address, RejectsMalformedText) {
    EXPECT_THROW(Address::from_string("no-hash"), korvex::UsageError);
    EXPECT_THROW(Address::from_string("res#"), korvex::UsageError);
    EXPECT_THROW(Address::from_string("res#Person/"), korvex::UsageError);
}

TEST(Address, CopyIsIndependent) {
    Address original = Address::from_string("app#Person@1/a@1");
    Address copy = original.model_copy();
    copy.class_version = Version("9");
    EXPECT_EQ(original.class_version, Version("1"));
}

TEST(Versions, MarkerEqualsItsText) {
    EXPECT_TRUE(Versions::LATEST == "LATEST");
    EXPECT_FALSE(Versions::ALL == "LATEST");
    EXPECT_EQ(korvex::as_version_marker(korvex::Value("ALL")), Versions::ALL);
    EXPECT_FALSE(korvex::as_version_marker(korvex::Value(1)).has_value());
    EXPECT_TRUE(Version("").is_empty());
    EXPECT_FALSE(Version(Versions::LATEST).is_empty());
    // A version given as the marker's text is the marker, for class and object versions alike.
    Address address = Address::from_string("app#Person/p");
    address.class_version = "LATEST";
    address.object_version = std::string("ALL");
    EXPECT_TRUE(address.class_version == Versions::LATEST);
    EXPECT_TRUE(address.object_version == Versions::ALL);
    EXPECT_EQ(address, Address::from_string("app#Person@LATEST/p@ALL"));
    EXPECT_TRUE(Version("Latest").is_specific());
}
