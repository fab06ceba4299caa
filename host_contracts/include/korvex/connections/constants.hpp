#pragma once
// Field names and table aliases shared by the SQL statement builders.

namespace korvex {

inline constexpr const char* ADDRESS_FIELD = "_address";
inline constexpr const char* METADATA_FIELD = "_metadata";
inline constexpr const char* MODEL_TABLE_ALIAS = "t1";
inline constexpr const char* METADATA_TABLE_ALIAS = "t2";

}  // namespace korvex
