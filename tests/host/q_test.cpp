#include "korvex/error.hpp"
#include "korvex/query/q.hpp"

#include <gtest/gtest.h>

using korvex::Lookup;
using korvex::Q;

TEST(Q, EmptyConditionsVanishFromCombinations) {
    const Q a("name", Lookup::EQ, "Ann");
    const Q b("age", Lookup::GT, 3);
    EXPECT_EQ(Q().kind(), Q::Kind::EMPTY);
    EXPECT_EQ(Q() & a, a);
    EXPECT_EQ(a | Q(), a);
    EXPECT_EQ(Q::all_of({Q(), Q()}).kind(), Q::Kind::EMPTY);
    EXPECT_EQ((!Q()).kind(), Q::Kind::EMPTY);

    const Q both = a & b;
    EXPECT_EQ(both.kind(), Q::Kind::AND);
    EXPECT_EQ(both.children(), (std::vector<Q>{a, b}));
    const Q either = a | b;
    EXPECT_EQ(either.kind(), Q::Kind::OR);
    const Q negated = !a;
    EXPECT_EQ(negated.kind(), Q::Kind::NOT);
    EXPECT_EQ(negated.children(), std::vector<Q>{a});
}

TEST(Q, LeafNeedsAFieldName) { EXPECT_THROW(Q("", Lookup::EQ, 1), korvex::UsageError); }
