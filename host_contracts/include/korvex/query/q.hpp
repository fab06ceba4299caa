#pragma once
// Condition trees: leaf conditions (a field path, a look-up operator and a value) combined with
// AND, OR and NOT. A field path names a field and, after "__", the steps of a path below it:
// "name", "data__a__b", "_address__object_id", "_metadata__class_schema_type".

#include "korvex/query/lookup.hpp"
#include "korvex/value.hpp"

#include <string>
#include <vector>

namespace korvex {

class Q {
public:
    enum class Kind { EMPTY, LEAF, AND, OR, NOT };

    // The empty condition: selects everything and is falsy.
    Q() = default;
    // A leaf condition.
    Q(std::string field, Lookup lookup, Value value);

    static Q all_of(std::vector<Q> children);
    static Q any_of(std::vector<Q> children);

    Q operator&(const Q& other) const;
    Q operator|(const Q& other) const;
    Q operator!() const;

    Kind kind() const { return kind_; }
    // Truthy when it holds any condition.
    explicit operator bool() const { return kind_ != Kind::EMPTY; }

    // Leaf parts.
    const std::string& field() const { return field_; }
    Lookup lookup() const { return lookup_; }
    const Value& value() const { return value_; }

    // Operands of AND / OR (two or more) and NOT (one).
    const std::vector<Q>& children() const { return children_; }

    bool operator==(const Q&) const = default;

private:
    static Q combine(Kind kind, std::vector<Q> children);

    Kind kind_ = Kind::EMPTY;
    std::string field_;
    Lookup lookup_ = Lookup::EQ;
    Value value_;
    std::vector<Q> children_;
};

}  // namespace korvex
