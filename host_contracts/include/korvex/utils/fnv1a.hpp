#pragma once
// FNV-1a: a short, stable hash of a name, for the suffixes that keep generated index names apart.
// Stable across builds and platforms, since the names it makes are stored in databases.

#include <cstdint>
#include <string_view>

namespace korvex {

inline std::uint32_t fnv1a_32(std::string_view text) {
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : text) hash = (hash ^ c) * 16777619u;
    return hash;
}

inline std::uint64_t fnv1a_64(std::string_view text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

}  // namespace korvex
