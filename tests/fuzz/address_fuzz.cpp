// Address::from_string on any text: it either refuses with a korvex::UsageError or returns an
// address whose text form reads back as the same address, with no NUL byte in any part and no
// empty version after an '@'.

#include "korvex/error.hpp"
#include "korvex/models/address.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void finding(const std::string& text, const char* what) {
    std::fprintf(stderr, "FINDING: Address::from_string accepted %zu bytes: %s\n", text.size(), what);
    std::abort();
}

bool holds_nul(const std::string& text) { return text.find('\0') != std::string::npos; }

bool empty_after_at(const korvex::Version& version) { return version.is_specific() && version.text().empty(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    korvex::Address address;
    try {
        address = korvex::Address::from_string(text);
    } catch (const korvex::UsageError& error) {
        if (std::string(error.what()).empty()) finding(text, "refused with an empty message");
        return 0;
    }
    if (address.class_name.empty()) finding(text, "an empty class name");
    if (holds_nul(address.resource) || holds_nul(address.class_name) || holds_nul(address.object_id) ||
        holds_nul(address.class_version.text()) || holds_nul(address.object_version.text())) {
        finding(text, "a NUL byte in a part");
    }
    if (empty_after_at(address.class_version) || empty_after_at(address.object_version)) {
        finding(text, "an empty version after '@'");
    }
    if (address.object_version.text().find('/') != std::string::npos) {
        finding(text, "a '/' in the object version");
    }
    korvex::Address again;
    try {
        again = korvex::Address::from_string(address.to_string());
    } catch (const korvex::UsageError&) {
        finding(text, "a text form that does not read back");
    }
    if (!(again == address)) finding(text, "a text form that reads back as another address");
    (void)address.to_value();
    return 0;
}
