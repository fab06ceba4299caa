#include "korvex/error.hpp"
#include "korvex/query/lookup.hpp"
#include "korvex/query/q.hpp"

#include <stdexcept>

namespace korvex {

std::string_view to_string(Lookup lookup) {
    switch (lookup) {
        case Lookup::EQ: return "eq";
        case Lookup::NEQ: return "neq";
        case Lookup::GT: return "gt";
        case Lookup::GTE: return "gte";
        case Lookup::LT: return "lt";
        case Lookup::LTE: return "lte";
        case Lookup::IN: return "in";
        case Lookup::CONTAINS: return "contains";
        case Lookup::ICONTAINS: return "icontains";
        case Lookup::STARTSWITH: return "startswith";
        case Lookup::ISTARTSWITH: return "istartswith";
        case Lookup::ENDSWITH: return "endswith";
        case Lookup::IENDSWITH: return "iendswith";
        case Lookup::ISNULL: return "isnull";
    }
    return "";
}

Q::Q(std::string field, Lookup lookup, Value value)
    : kind_(Kind::LEAF), field_(std::move(field)), lookup_(lookup), value_(std::move(value)) {
    if (field_.empty()) {
        throw UsageError("a condition needs a field name");
    }
}

// AND / OR of the truthy children: none gives the empty condition, one gives that child.
Q Q::combine(Kind kind, std::vector<Q> children) {
    std::vector<Q> kept;
    for (auto& child : children) {
        if (child) kept.push_back(std::move(child));
    }
    if (kept.empty()) return Q();
    if (kept.size() == 1) return std::move(kept.front());
    Q result;
    result.kind_ = kind;
    result.children_ = std::move(kept);
    return result;
}

Q Q::all_of(std::vector<Q> children) { return combine(Kind::AND, std::move(children)); }
Q Q::any_of(std::vector<Q> children) { return combine(Kind::OR, std::move(children)); }

Q Q::operator&(const Q& other) const { return all_of({*this, other}); }
Q Q::operator|(const Q& other) const { return any_of({*this, other}); }

Q Q::operator!() const {
    if (kind_ == Kind::EMPTY) return Q();
    Q result;
    result.kind_ = Kind::NOT;
    result.children_ = {*this};
    return result;
}

}  // namespace korvex
