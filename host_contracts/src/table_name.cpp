#include "korvex/classes/class_version_manager.hpp"
#include "korvex/table_schemas/base.hpp"
#include "korvex/transactions/constants.hpp"
#include "korvex/utils/text.hpp"

namespace korvex {

std::string versioned_table_name(const Address& address) {
    const std::string class_name = to_camel_case(address.class_name);
    if (class_name == TRANSACTION_CLASS_NAME) {
        return to_lower(class_name);
    }
    Version class_version = address.class_version;
    if (class_version == Versions::LATEST) {
        class_version = Version(ClassVersionManager().get_latest_class_version(address.class_name).version);
    }
    if (!class_version.is_empty()) {
        return to_lower(class_name + "_v_" + class_version.text());
    }
    return to_lower(class_name);
}

std::string no_table_message(const std::string& operation, const Address& address, const std::string& table_name) {
    std::string class_version = address.resource + "#" + address.class_name;
    if (!address.class_version.is_absent()) class_version += "@" + address.class_version.text();
    return operation + ": " + class_version + " has no table (" + printable_name(table_name) +
           " does not exist); register its table schema with the table-schema service first";
}

}  // namespace korvex
