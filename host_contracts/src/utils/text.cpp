#include "korvex/utils/text.hpp"

#include "korvex/error.hpp"

#include <locale.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>
#include <wctype.h>

#include <cstdio>
#include <vector>

namespace korvex {
namespace {

// Appends the UTF-8 encoding of one code point.
void append_utf8(std::string& text, char32_t code_point) {
    if (code_point < 0x80) {
        text += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        text += static_cast<char>(0xC0 | (code_point >> 6));
        text += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        text += static_cast<char>(0xE0 | (code_point >> 12));
        text += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (code_point >> 18));
        text += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

}  // namespace

// Upper case with Unicode's simple case mapping (one code point to one, as the server's UPPER
// does), through a UTF-8 locale object so that the process's global locale is not touched.
// Bytes that are not valid UTF-8 are kept as they are.
std::string unicode_upper(const std::string& text) {
    static const locale_t utf8 = [] {
        locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        return locale != static_cast<locale_t>(0) ? locale : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
    }();
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        bool valid = length > 0 && i + length <= text.size();
        char32_t code_point = length == 1 ? lead : length == 2 ? (lead & 0x1F) : length == 3 ? (lead & 0x0F) : (lead & 0x07);
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code_point = (code_point << 6) | (next & 0x3F);
        }
        if (!valid) {
            result += text[i++];
            continue;
        }
        append_utf8(result, static_cast<char32_t>(towupper_l(static_cast<wint_t>(code_point), utf8)));
        i += length;
    }
    return result;
}


// Letters a to z and A to Z only, whatever the process locale: a byte of a UTF-8 character is
// never changed (a single-byte locale would otherwise take it for a letter of its own).
std::string to_camel_case(const std::string& text) {
    std::string result;
    bool word_start = true;
    for (char c : text) {
        if (c == '_' || c == '-' || c == ' ') {
            word_start = true;
            continue;
        }
        result += word_start && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        word_start = false;
    }
    return result;
}

std::string to_lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// ICU's full lower-case mapping in the root locale ("" names it; a null locale would take the
// process default and with it Turkish or Lithuanian rules), UTF-8 in and out.
std::string unicode_lower(const std::string& text) {
    bool ascii = true;
    for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) return to_lower(text);

    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    // Checked first, so that the message can show the text with the bad bytes written as \xNN.
    std::string shown;
    int32_t first_invalid = -1;
    for (int32_t offset = 0; offset < length;) {
        const int32_t start = offset;
        UChar32 code_point = 0;
        U8_NEXT(bytes, offset, length, code_point);
        if (code_point >= 0) {
            shown.append(text, static_cast<std::size_t>(start), static_cast<std::size_t>(offset - start));
            continue;
        }
        if (first_invalid < 0) first_invalid = start;
        for (int32_t k = start; k < offset; ++k) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(bytes[k]));
            shown += escaped;
        }
    }
    if (first_invalid >= 0) {
        throw UsageError("'" + printable_name(shown) + "' is not valid UTF-8 (at byte offset " +
                         std::to_string(first_invalid) + "); only UTF-8 text can be lower-cased by Unicode's rules");
    }

    // UTF-16 needs no more units than UTF-8 has bytes; full mapping may lengthen the text (U+0130
    // becomes i and a combining dot), so the lower-casing is retried with the length ICU asks for.
    UErrorCode status = U_ZERO_ERROR;
    std::vector<UChar> wide(text.size() + 1);
    int32_t units = 0;
    u_strFromUTF8(wide.data(), static_cast<int32_t>(wide.size()), &units, text.data(), length, &status);
    std::vector<UChar> lower(wide.size());
    int32_t lower_units = 0;
    for (int attempt = 0; attempt < 2 && U_SUCCESS(status); ++attempt) {
        lower_units = u_strToLower(lower.data(), static_cast<int32_t>(lower.size()), wide.data(), units, "", &status);
        if (status != U_BUFFER_OVERFLOW_ERROR) break;
        lower.resize(static_cast<std::size_t>(lower_units) + 1);
        status = U_ZERO_ERROR;
    }
    // At most three UTF-8 bytes for each UTF-16 unit.
    std::string result(static_cast<std::size_t>(lower_units) * 3, '\0');
    int32_t result_bytes = 0;
    if (U_SUCCESS(status)) {
        u_strToUTF8(result.data(), static_cast<int32_t>(result.size()), &result_bytes, lower.data(), lower_units,
                    &status);
    }
    if (U_FAILURE(status)) throw Error(std::string("Unicode lower-casing failed: ") + u_errorName(status));
    result.resize(static_cast<std::size_t>(result_bytes));
    return result;
}

std::string printable_name(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace korvex
