#pragma once
// A read over several class-version tables at once: the tables may differ in their columns (a
// later class version added or left out a field). While the part of the statement that reads one
// table is built, the columns that other tables have and this one lacks read as NULL, as if the
// table had the column with nothing in it, wherever the statement names them: selection,
// conditions, ordering. The builders receive what they need to know about the table they write
// for as a ReadScope argument.

#include "korvex/query/q.hpp"

#include <map>
#include <optional>
#include <string>

namespace korvex {

// Each column a table lacks, with the expression that stands for it (a NULL of the column's
// type, where the engine needs one).
using AbsentColumns = std::map<std::string, std::string>;

// The table a part of a read statement is built for. Empty outside a read (no table named, no
// column absent).
struct ReadScope {
    // The table being read.
    const std::string* table = nullptr;
    // The columns other tables of the read have and this one lacks.
    const AbsentColumns* absent = nullptr;
    // Whether the metadata comes back as plain columns, one per metadata field (named
    // "_metadata.<field>", after the object's own), instead of as one _metadata object; the
    // store's own reads of one table ask for it.
    bool plain_metadata = false;
    // Whether every row of a plain read is a latest version: the conditions hold the latest
    // marker as a term of their top-level AND (the dialect may then write next_version simpler).
    bool latest_only = false;
    // Whether a plain read joins every metadata row of each version rather than one picked by
    // the engine (the dialect's direct join): the store asks for it only where no condition or
    // ordering reads the metadata and no page is asked for, so that a version written once reads
    // the same either way and one written more than once shows by its repeated key.
    bool direct_metadata = false;

    // The expression for the object's column `name`, or null when the table has it.
    const std::string* stand_in(const std::string& name) const {
        if (absent == nullptr) return nullptr;
        const auto found = absent->find(name);
        return found != absent->end() ? &found->second : nullptr;
    }
};

// Whether `conditions` name a field of the object itself, which a table may lack (not only parts
// of its address or metadata).
bool names_object_fields(const std::optional<Q>& conditions);

}  // namespace korvex
