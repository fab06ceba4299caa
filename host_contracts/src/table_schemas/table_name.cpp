#include "korvex/classes/class_version_manager.hpp"
#include "korvex/table_schemas/base.hpp"
#include "korvex/transactions/constants.hpp"
#include "korvex/utils/text.hpp"

namespace korvex {
namespace {

// The table name before lower-casing.
std::string table_name_as_written(const Address& address) {
    const std::string class_name = to_camel_case(address.class_name);
    if (class_name == TRANSACTION_CLASS_NAME) {
        return class_name;
    }
    Version class_version = address.class_version;
    if (class_version == Versions::LATEST) {
        class_version = Version(ClassVersionManager().get_latest_class_version(address.class_name).version);
    }
    if (!class_version.is_empty()) {
        return class_name + "_v_" + class_version.text();
    }
    return class_name;
}

std::string lowered_table_name(const std::string& written) {
    try {
        return unicode_lower(written);
    } catch (const UsageError& error) {
        throw UsageError(std::string("no table name for a class whose name or version is not UTF-8 text: ") +
                         error.what());
    }
}

}  // namespace

std::string versioned_table_name(const Address& address) {
    return lowered_table_name(table_name_as_written(address));
}

std::optional<std::string> former_table_name(const Address& address) {
    const std::string written = table_name_as_written(address);
    std::string former = to_lower(written);
    if (former == lowered_table_name(written)) return std::nullopt;
    return former;
}

UsageError former_table_name_error(const Address& address, const std::string& table_name,
                                   const std::string& former_name) {
    return UsageError("the table of " + printable_name(address.to_string()) + " is named " + printable_name(table_name) +
                      " (its name lower-cased by Unicode's rules), but the store holds a table named " +
                      printable_name(former_name) +
                      ", the spelling that lower-cased A to Z only; rename that table to " +
                      printable_name(table_name) + " to keep its rows, or drop it, then register the class again");
}

std::string no_table_message(const std::string& operation, const Address& address, const std::string& table_name) {
    std::string class_version = address.resource + "#" + address.class_name;
    if (!address.class_version.is_absent()) class_version += "@" + address.class_version.text();
    return operation + ": " + class_version + " has no table (" + printable_name(table_name) +
           " does not exist); register its table schema with the table-schema service first";
}

}  // namespace korvex
