#pragma once

namespace korvex {

// Column names of an object's identity and of its version in every versioned table.
inline constexpr const char* PRIMARY_PARTITION_KEY = "partition_key";
inline constexpr const char* SECONDARY_PARTITION_KEY = "range_key";

}  // namespace korvex
