// The DELETE that revert sends for each recorded write, for hostile class names, versions and
// object identities, on a connection that records statements instead of sending them.
//
// Input lines: class name, class version, object id, object version.

#include "fuzz_support.hpp"

#include "korvex/table_schemas/base.hpp"

using namespace korvex;
using namespace korvex::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzLines lines(data, size);
    const Address address = read_address(lines);
    // Revert refuses a version marker by design: it deletes one named version.
    if (address.class_name.empty() || address.object_version.is_marker()) return 0;

    RecordingConnection connection;
    std::string table_name;
    if (!accepted([&] { table_name = versioned_table_name(address); })) return 0;
    connection.begin();
    const bool reverted = accepted([&] {
        connection._add_revert_data(address, DataMap::object());
        connection.revert();
    });

    const auto lexed = checked(connection.statements);
    for (std::size_t i = 0; i < lexed.size(); ++i) {
        const std::string& text = connection.statements[i].text;
        if (text.starts_with("DELETE") && !names_after(lexed[i], "FROM", table_name)) {
            finding("the table is not the one identifier FROM names: " + text);
        }
    }
    // Address parts reach the server as parameters, which the executor checks before sending.
    if (reverted) {
        if (table_name.size() > MAX_IDENTIFIER_BYTES) finding("a table name over the identifier limit was accepted");
        const auto deletes =
            std::count_if(connection.statements.begin(), connection.statements.end(),
                          [](const Statement& statement) { return statement.text.starts_with("DELETE"); });
        if (deletes != 1) finding("revert sent " + std::to_string(deletes) + " DELETE statements for one write");
    }
    return 0;
}
