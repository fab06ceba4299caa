#pragma once
// What every fuzz target shares, whatever it links: the readable escapes of its input lines, and
// how it reports a finding.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace korvex::fuzz {

// Inside a line "^J" stands for a line feed, "^I" for a tab and "^@" for a NUL byte (raw bytes
// work too), so that seeds stay readable.
inline std::string decode_carets(std::string_view raw) {
    std::string text;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '^' && i + 1 < raw.size()) {
            const char next = raw[i + 1];
            if (next == 'J' || next == 'I' || next == '@') {
                text += next == 'J' ? '\n' : next == 'I' ? '\t' : '\0';
                ++i;
                continue;
            }
        }
        text += raw[i];
    }
    return text;
}

// Stops the fuzzer with the finding, so that libFuzzer keeps the input that shows it.
[[noreturn]] inline void finding(const std::string& what) {
    std::fprintf(stderr, "FINDING: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace korvex::fuzz
