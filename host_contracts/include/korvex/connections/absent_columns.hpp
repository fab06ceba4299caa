#pragma once
// A read over several class-version tables at once: the tables may differ in their columns (a
// later class version added or left out a field). While the part of the statement that reads one
// table is built, the columns that other tables have and this one lacks read as NULL, as if the
// table had the column with nothing in it, wherever the statement names them: selection,
// conditions, ordering. The stores' column renderers ask `stand_in` before writing a column.

#include "korvex/query/q.hpp"

#include <map>
#include <optional>
#include <string>

namespace korvex {

class AbsentColumns {
public:
    // `stand_ins`: each column this table lacks, with the expression that stands for it (a NULL
    // of the column's type, where the engine needs one). In force on this thread until destroyed.
    explicit AbsentColumns(std::map<std::string, std::string> stand_ins);
    ~AbsentColumns();
    AbsentColumns(const AbsentColumns&) = delete;
    AbsentColumns& operator=(const AbsentColumns&) = delete;

    // The expression for the object's column `name`, or null when the table has it or no such
    // read is being built.
    static const std::string* stand_in(const std::string& name);

private:
    std::map<std::string, std::string> stand_ins_;
    const AbsentColumns* outer_;
};

// Whether `conditions` name a field of the object itself, which a table may lack (not only parts
// of its address or metadata).
bool names_object_fields(const std::optional<Q>& conditions);

}  // namespace korvex
