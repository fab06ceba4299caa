// Value::parse as the code calls it on texts from outside (condition values, JSON columns):
// without exceptions, a failure marked as discarded. Whatever it accepts prints back, in both
// forms the code writes (plain, and ASCII-only for statement parameters), as JSON that reads
// back as the same value; the throwing form throws only its own errors for what it refuses. The
// stores' own JSON reader and writer (parse_json, json_text) give exactly the general parser's
// values, kinds included, and the general writer's bytes.

#include "korvex/value.hpp"
#include "korvex_data/connections/implementations/pg_timeline_detail.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void finding(const char* what, const std::string& json) {
    std::fprintf(stderr, "FINDING: %s: %s\n", what, json.substr(0, 200).c_str());
    std::abort();
}

// The value's kinds at every depth: an unsigned and a signed integer compare equal as values.
std::string kinds(const korvex::Value& value) {
    std::string out(1, static_cast<char>('a' + static_cast<int>(value.type())));
    if (value.is_structured()) {
        for (const auto& [key, element] : value.items()) out += key + ":" + kinds(element) + ",";
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const korvex::Value value = korvex::Value::parse(data, data + size, nullptr, false);
    // A json or jsonb result field is decoded by the same parse, and kept as text when it fails.
    constexpr unsigned JSONB_OID = 3802;
    const korvex::Value field =
        korvex::pg_timeline::detail::decode_field(reinterpret_cast<const char*>(data), size, JSONB_OID);
    if (field != (value.is_discarded() ? korvex::Value(std::string(data, data + size)) : value)) {
        finding("a json field decoded otherwise than parsed", std::string(data, data + size));
    }
    const korvex::Value read = korvex::parse_json(std::string_view(reinterpret_cast<const char*>(data), size));
    if (read.is_discarded() != value.is_discarded() || (!value.is_discarded() && (read != value || kinds(read) != kinds(value)))) {
        finding("parse_json read otherwise than the general parser", std::string(data, data + size));
    }
    if (value.is_discarded()) {
        try {
            (void)korvex::Value::parse(data, data + size);
            finding("the throwing parse accepted what the other refused", std::string(data, data + size));
        } catch (const korvex::Value::exception&) {
        }
        return 0;
    }
    for (const bool ascii : {false, true}) {
        const std::string json = value.dump(-1, ' ', ascii);
        if (!korvex::holds_non_finite_number(value) && korvex::json_text(value, ascii) != json) finding("json_text wrote other bytes than the JSON writer", json);
        const korvex::Value again = korvex::Value::parse(json, nullptr, false);
        if (again.is_discarded()) finding("a printed value that does not parse", json);
        if (again != value) finding("a printed value that parses as another value", json);
        if (ascii) {
            for (char c : json) {
                if (static_cast<unsigned char>(c) >= 0x80) finding("a non-ASCII byte in the ASCII form", json);
            }
        }
    }
    (void)korvex::printed(value);
    (void)korvex::pg_timeline::detail::parameter_text(value);
    return 0;
}
