#pragma once
// Address of a class or of one object version: resource, class name and version, object
// identity and version. Plain value type; copies are independent.
//
// Text form: "resource#ClassName[@classVersion][/objectId[@objectVersion]]", for example
// "resource#Metadata" or "app#Person@2/p-17@3". A version text LATEST or ALL reads as the marker.
// An object part without an object id names that object version of every object:
// "app#Person@1/@2" reads version 2 of each object, "app#Person@ALL/@LATEST" the latest ones.

#include "korvex/models/version.hpp"
#include "korvex/value.hpp"

#include <string>
#include <string_view>

namespace korvex {

struct Address {
    std::string resource;
    std::string class_name;
    Version class_version;
    std::string object_id;
    Version object_version;

    Address model_copy() const { return *this; }

    // Parses the text form above; throws UsageError showing the text and what is wrong with it
    // (a NUL byte, no class name, an empty version after '@', a second '#', '/' or '@').
    static Address from_string(const std::string& text);
    std::string to_string() const;

    // As a map with the five fields (absent versions as null), the shape stored in address columns.
    Value to_value() const;

    bool operator==(const Address&) const = default;
};

// Refuses, with UsageError and before anything is sent, the address of a write that names no
// object: an empty object id ("app#Person@1/@2" reads version 2 of every object; it names no
// object to write).
void check_write_address(std::string_view operation, const Address& address);

}  // namespace korvex
