#include "arrow_stream.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace korvex::spark_connect {

namespace {

[[noreturn]] void malformed(const std::string& what) {
    throw ArrowFormatError("malformed Arrow data from the server: " + what);
}

// Read-only view of a flatbuffer: tables located through their vtables, every access bounds-checked.
class Buffer {
public:
    explicit Buffer(std::string_view bytes) : bytes_(bytes) {}

    template <class T>
    T read(std::size_t pos) const {
        if (pos > bytes_.size() || bytes_.size() - pos < sizeof(T)) malformed("read past the end");
        T value;
        std::memcpy(&value, bytes_.data() + pos, sizeof(T));
        return value;
    }
    std::size_t size() const { return bytes_.size(); }
    std::string_view bytes() const { return bytes_; }

private:
    std::string_view bytes_;
};

class Table {
public:
    Table(const Buffer* buffer, std::size_t pos) : buffer_(buffer), pos_(pos) {
        const auto soffset = buffer_->read<std::int32_t>(pos_);
        const auto vtable = static_cast<std::int64_t>(pos_) - soffset;
        if (vtable < 0 || static_cast<std::size_t>(vtable) >= buffer_->size()) malformed("vtable out of range");
        vtable_ = static_cast<std::size_t>(vtable);
        vtable_size_ = buffer_->read<std::uint16_t>(vtable_);
    }

    // The field's position, or 0 when the field is absent.
    std::size_t field(int index) const {
        const std::size_t entry = 4 + 2 * static_cast<std::size_t>(index);
        if (entry + 2 > vtable_size_) return 0;
        const auto offset = buffer_->read<std::uint16_t>(vtable_ + entry);
        return offset == 0 ? 0 : pos_ + offset;
    }

    template <class T>
    T scalar(int index, T fallback) const {
        const std::size_t at = field(index);
        return at == 0 ? fallback : buffer_->read<T>(at);
    }

    std::optional<Table> table(int index) const {
        const std::size_t at = field(index);
        if (at == 0) return std::nullopt;
        return Table(buffer_, at + buffer_->read<std::uint32_t>(at));
    }

    // Position of the first element and the element count of a vector field.
    std::pair<std::size_t, std::size_t> vector(int index) const {
        const std::size_t at = field(index);
        if (at == 0) return {0, 0};
        const std::size_t start = at + buffer_->read<std::uint32_t>(at);
        const std::size_t count = buffer_->read<std::uint32_t>(start);
        return {start + 4, count};
    }

    Table vector_table(int index, std::size_t element) const {
        const auto [start, count] = vector(index);
        if (element >= count) malformed("vector index out of range");
        const std::size_t at = start + 4 * element;
        return Table(buffer_, at + buffer_->read<std::uint32_t>(at));
    }

    std::string string(int index) const {
        const std::size_t at = field(index);
        if (at == 0) return {};
        const std::size_t start = at + buffer_->read<std::uint32_t>(at);
        const std::size_t length = buffer_->read<std::uint32_t>(start);
        if (start + 4 + length > buffer_->size()) malformed("string out of range");
        return std::string(buffer_->bytes().substr(start + 4, length));
    }

    const Buffer& buffer() const { return *buffer_; }

private:
    const Buffer* buffer_;
    std::size_t pos_;
    std::size_t vtable_ = 0;
    std::uint16_t vtable_size_ = 0;
};

// Arrow's Type union (Schema.fbs).
enum TypeId : std::uint8_t {
    NULL_TYPE = 1, INT = 2, FLOATING_POINT = 3, BINARY = 4, UTF8 = 5, BOOL = 6, DECIMAL = 7, DATE = 8,
    TIMESTAMP = 10, LIST = 12, STRUCT = 13, MAP = 17, LARGE_BINARY = 19, LARGE_UTF8 = 20, LARGE_LIST = 21,
};

// Message header union (Message.fbs).
enum HeaderId : std::uint8_t { SCHEMA = 1, DICTIONARY_BATCH = 2, RECORD_BATCH = 3 };

struct Field {
    std::string name;
    std::uint8_t type = 0;
    int bit_width = 0;      // Int, Decimal
    bool is_signed = true;  // Int
    int precision = 0;      // FloatingPoint: 0 half, 1 single, 2 double; Decimal: digits
    int scale = 0;          // Decimal
    int unit = 0;           // Date: 0 day, 1 millisecond; Timestamp: 0 s .. 3 ns
    bool has_timezone = false;
    std::vector<Field> children;
};

Field read_field(const Table& table) {
    Field field;
    field.name = table.string(0);
    field.type = table.scalar<std::uint8_t>(2, 0);
    if (table.field(4) != 0) {
        throw ArrowFormatError("column " + field.name + ": dictionary-encoded Arrow data is not supported");
    }
    if (auto type = table.table(3)) {
        switch (field.type) {
            case INT:
                field.bit_width = type->scalar<std::int32_t>(0, 0);
                field.is_signed = type->scalar<std::uint8_t>(1, 0) != 0;
                break;
            case FLOATING_POINT:
                field.precision = type->scalar<std::int16_t>(0, 0);
                break;
            case DECIMAL:
                field.precision = type->scalar<std::int32_t>(0, 0);
                field.scale = type->scalar<std::int32_t>(1, 0);
                field.bit_width = type->scalar<std::int32_t>(2, 128);
                break;
            case DATE:
                field.unit = type->scalar<std::int16_t>(0, 1);
                break;
            case TIMESTAMP:
                field.unit = type->scalar<std::int16_t>(0, 0);
                field.has_timezone = type->field(1) != 0;
                break;
            default:
                break;
        }
    }
    const auto children = table.vector(5).second;
    for (std::size_t i = 0; i < children; ++i) {
        field.children.push_back(read_field(table.vector_table(5, i)));
    }
    return field;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
std::string civil_date(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t doe = days - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t year = yoe + era * 400;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    if (month <= 2) ++year;
    char text[80];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day));
    return text;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

// "YYYY-MM-DDTHH:MM:SS[.ffffff]" from a count of `unit` (0 s, 1 ms, 2 us, 3 ns) since the epoch.
std::string timestamp_text(std::int64_t value, int unit, bool utc) {
    static constexpr std::int64_t per_second[] = {1, 1000, 1000000, 1000000000};
    const std::int64_t scale = per_second[unit < 0 || unit > 3 ? 0 : unit];
    const std::int64_t seconds = floor_div(value, scale);
    const std::int64_t fraction = value - seconds * scale;
    const std::int64_t days = floor_div(seconds, 86400);
    const std::int64_t in_day = seconds - days * 86400;
    char text[160];
    std::snprintf(text, sizeof text, "%sT%02lld:%02lld:%02lld", civil_date(days).c_str(),
                  static_cast<long long>(in_day / 3600), static_cast<long long>(in_day / 60 % 60),
                  static_cast<long long>(in_day % 60));
    std::string result = text;
    if (fraction != 0) {
        const int digits = unit == 1 ? 3 : unit == 2 ? 6 : 9;
        std::snprintf(text, sizeof text, ".%0*lld", digits, static_cast<long long>(fraction));
        result += text;
    }
    return utc ? result + "Z" : result;
}

std::string decimal_text(__int128 value, int scale) {
    const bool negative = value < 0;
    unsigned __int128 magnitude = negative ? -static_cast<unsigned __int128>(value) : static_cast<unsigned __int128>(value);
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude != 0);
    if (scale > 0) {
        if (digits.size() <= static_cast<std::size_t>(scale)) {
            digits.insert(0, static_cast<std::size_t>(scale) + 1 - digits.size(), '0');
        }
        digits.insert(digits.size() - static_cast<std::size_t>(scale), ".");
    }
    return negative ? "-" + digits : digits;
}

std::string base64(std::string_view bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned n = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += {alphabet[n >> 18], alphabet[(n >> 12) & 63], alphabet[(n >> 6) & 63], alphabet[n & 63]};
    }
    if (i < bytes.size()) {
        unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += {alphabet[n >> 18], alphabet[(n >> 12) & 63]};
        out += i + 1 < bytes.size() ? alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// Walks a record batch's field nodes and buffers in schema order and turns each column into values.
class BatchReader {
public:
    BatchReader(const Table& batch, std::string_view body) : batch_(batch), body_(body) {
        std::tie(nodes_, node_count_) = batch.vector(1);
        std::tie(buffers_, buffer_count_) = batch.vector(2);
    }

    std::vector<Value> column(const Field& field) {
        const auto [length, null_count] = next_node(field);
        switch (field.type) {
            case NULL_TYPE:
                return std::vector<Value>(length, nullptr);
            case BOOL: {
                const auto validity = validity_buffer(field, null_count);
                const auto data = next_buffer(field);
                return each(length, validity, [&](std::size_t i) -> Value { return bit(data, i, field); });
            }
            case INT:
                return ints(field, length, null_count);
            case FLOATING_POINT: {
                const auto validity = validity_buffer(field, null_count);
                const auto data = next_buffer(field);
                if (field.precision == 2) {
                    return each(length, validity, [&](std::size_t i) -> Value { return fixed<double>(data, i, field); });
                }
                if (field.precision == 1) {
                    return each(length, validity, [&](std::size_t i) -> Value {
                        return static_cast<double>(fixed<float>(data, i, field));
                    });
                }
                unsupported(field, "half-precision floats");
            }
            case UTF8:
            case BINARY:
            case LARGE_UTF8:
            case LARGE_BINARY: {
                const bool large = field.type == LARGE_UTF8 || field.type == LARGE_BINARY;
                const bool text = field.type == UTF8 || field.type == LARGE_UTF8;
                const auto validity = validity_buffer(field, null_count);
                const auto offsets = next_buffer(field);
                const auto data = next_buffer(field);
                return each(length, validity, [&](std::size_t i) -> Value {
                    const auto [begin, end] = range(offsets, i, large, field);
                    if (end > data.size()) malformed("column " + field.name + ": value out of range");
                    const std::string_view bytes = data.substr(begin, end - begin);
                    return text ? Value(std::string(bytes)) : Value(base64(bytes));
                });
            }
            case DECIMAL: {
                if (field.bit_width != 128) unsupported(field, "decimals wider than 128 bits");
                const auto validity = validity_buffer(field, null_count);
                const auto data = next_buffer(field);
                return each(length, validity, [&](std::size_t i) -> Value {
                    return decimal_text(fixed<__int128>(data, i, field), field.scale);
                });
            }
            case DATE: {
                const auto validity = validity_buffer(field, null_count);
                const auto data = next_buffer(field);
                return each(length, validity, [&](std::size_t i) -> Value {
                    return field.unit == 0 ? civil_date(fixed<std::int32_t>(data, i, field))
                                           : civil_date(floor_div(fixed<std::int64_t>(data, i, field), 86400000));
                });
            }
            case TIMESTAMP: {
                const auto validity = validity_buffer(field, null_count);
                const auto data = next_buffer(field);
                return each(length, validity, [&](std::size_t i) -> Value {
                    return timestamp_text(fixed<std::int64_t>(data, i, field), field.unit, field.has_timezone);
                });
            }
            case STRUCT: {
                const auto validity = validity_buffer(field, null_count);
                std::vector<std::vector<Value>> children;
                for (const Field& child : field.children) children.push_back(column(child));
                return each(length, validity, [&](std::size_t i) -> Value {
                    Value object = Value::object();
                    for (std::size_t c = 0; c < field.children.size(); ++c) {
                        object[field.children[c].name] = at(children[c], i, field);
                    }
                    return object;
                });
            }
            case LIST:
            case LARGE_LIST:
            case MAP: {
                if (field.children.size() != 1) malformed("column " + field.name + ": a list needs one child");
                const bool large = field.type == LARGE_LIST;
                const auto validity = validity_buffer(field, null_count);
                const auto offsets = next_buffer(field);
                const std::vector<Value> items = column(field.children[0]);
                return each(length, validity, [&](std::size_t i) -> Value {
                    const auto [begin, end] = range(offsets, i, large, field);
                    if (field.type != MAP) {
                        Value list = Value::array();
                        for (std::size_t k = begin; k < end; ++k) list.push_back(at(items, k, field));
                        return list;
                    }
                    Value map = Value::object();
                    for (std::size_t k = begin; k < end; ++k) {
                        const Value& entry = at(items, k, field);
                        if (!entry.is_object() || entry.size() != 2) malformed("column " + field.name + ": bad map entry");
                        const Value& key = entry.begin().value();
                        map[key.is_string() ? key.get<std::string>() : key.dump()] = (++entry.begin()).value();
                    }
                    return map;
                });
            }
            default:
                unsupported(field, "Arrow type " + std::to_string(field.type));
        }
    }

private:
    [[noreturn]] static void unsupported(const Field& field, const std::string& what) {
        throw ArrowFormatError("column " + field.name + ": " + what + " are not supported");
    }

    std::pair<std::size_t, std::int64_t> next_node(const Field& field) {
        if (next_node_ >= node_count_) malformed("column " + field.name + ": missing field node");
        const std::size_t at = nodes_ + 16 * next_node_++;
        const auto length = batch_.buffer().read<std::int64_t>(at);
        const auto null_count = batch_.buffer().read<std::int64_t>(at + 8);
        if (length < 0) malformed("negative length");
        return {static_cast<std::size_t>(length), null_count};
    }

    // A validity bitmap: empty when nothing is null.
    std::string_view validity_buffer(const Field& field, std::int64_t null_count) {
        const std::string_view bits = next_buffer(field);
        if (bits.empty() && null_count > 0) malformed("column " + field.name + ": missing validity bits");
        return bits;
    }

    std::string_view next_buffer(const Field& field) {
        if (next_buffer_ >= buffer_count_) malformed("column " + field.name + ": missing buffer");
        const std::size_t at = buffers_ + 16 * next_buffer_++;
        const auto offset = batch_.buffer().read<std::int64_t>(at);
        const auto length = batch_.buffer().read<std::int64_t>(at + 8);
        if (offset < 0 || length < 0 || static_cast<std::size_t>(offset + length) > body_.size()) {
            malformed("column " + field.name + ": buffer out of range");
        }
        return body_.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
    }

    template <class F>
    std::vector<Value> each(std::size_t length, std::string_view validity, F&& value_at) {
        std::vector<Value> values;
        values.reserve(length);
        for (std::size_t i = 0; i < length; ++i) {
            const bool valid = validity.empty() ||
                               (i / 8 < validity.size() && (static_cast<unsigned char>(validity[i / 8]) >> (i % 8)) & 1);
            values.push_back(valid ? value_at(i) : Value(nullptr));
        }
        return values;
    }

    std::vector<Value> ints(const Field& field, std::size_t length, std::int64_t null_count) {
        const auto validity = validity_buffer(field, null_count);
        const auto data = next_buffer(field);
        return each(length, validity, [&](std::size_t i) -> Value {
            switch (field.bit_width) {
                case 8: return field.is_signed ? Value(fixed<std::int8_t>(data, i, field)) : Value(fixed<std::uint8_t>(data, i, field));
                case 16: return field.is_signed ? Value(fixed<std::int16_t>(data, i, field)) : Value(fixed<std::uint16_t>(data, i, field));
                case 32: return field.is_signed ? Value(fixed<std::int32_t>(data, i, field)) : Value(fixed<std::uint32_t>(data, i, field));
                case 64: return field.is_signed ? Value(fixed<std::int64_t>(data, i, field)) : Value(fixed<std::uint64_t>(data, i, field));
                default: unsupported(field, std::to_string(field.bit_width) + "-bit integers");
            }
        });
    }

    template <class T>
    static T fixed(std::string_view data, std::size_t i, const Field& field) {
        if ((i + 1) * sizeof(T) > data.size()) malformed("column " + field.name + ": value out of range");
        T value;
        std::memcpy(&value, data.data() + i * sizeof(T), sizeof(T));
        return value;
    }

    static bool bit(std::string_view data, std::size_t i, const Field& field) {
        if (i / 8 >= data.size()) malformed("column " + field.name + ": value out of range");
        return (static_cast<unsigned char>(data[i / 8]) >> (i % 8)) & 1;
    }

    static std::pair<std::size_t, std::size_t> range(std::string_view offsets, std::size_t i, bool large, const Field& field) {
        std::int64_t begin, end;
        if (large) {
            begin = fixed<std::int64_t>(offsets, i, field);
            end = fixed<std::int64_t>(offsets, i + 1, field);
        } else {
            begin = fixed<std::int32_t>(offsets, i, field);
            end = fixed<std::int32_t>(offsets, i + 1, field);
        }
        if (begin < 0 || end < begin) malformed("column " + field.name + ": bad offsets");
        return {static_cast<std::size_t>(begin), static_cast<std::size_t>(end)};
    }

    static const Value& at(const std::vector<Value>& values, std::size_t i, const Field& field) {
        if (i >= values.size()) malformed("column " + field.name + ": child index out of range");
        return values[i];
    }

    const Table& batch_;
    std::string_view body_;
    std::size_t nodes_ = 0, node_count_ = 0, next_node_ = 0;
    std::size_t buffers_ = 0, buffer_count_ = 0, next_buffer_ = 0;
};

}  // namespace

void read_arrow_stream(std::string_view data, std::vector<ColumnDescription>& columns, std::vector<Row>& rows) {
    std::vector<Field> schema;
    bool have_schema = false;
    std::size_t pos = 0;
    while (pos + 4 <= data.size()) {
        Buffer framing(data);
        auto length = framing.read<std::int32_t>(pos);
        pos += 4;
        if (length == -1) {  // continuation marker, then the metadata length
            length = framing.read<std::int32_t>(pos);
            pos += 4;
        }
        if (length == 0) break;  // end of stream
        if (length < 0 || pos + static_cast<std::size_t>(length) > data.size()) malformed("message length");
        const std::string_view metadata_bytes = data.substr(pos, static_cast<std::size_t>(length));
        pos += static_cast<std::size_t>(length);

        Buffer metadata(metadata_bytes);
        const Table message(&metadata, metadata.read<std::uint32_t>(0));
        const auto header_type = message.scalar<std::uint8_t>(1, 0);
        const auto body_length = message.scalar<std::int64_t>(3, 0);
        if (body_length < 0 || pos + static_cast<std::size_t>(body_length) > data.size()) malformed("body length");
        const std::string_view body = data.substr(pos, static_cast<std::size_t>(body_length));
        pos += static_cast<std::size_t>(body_length);

        const auto header = message.table(2);
        if (!header) malformed("message without header");
        if (header_type == SCHEMA) {
            schema.clear();
            const auto count = header->vector(1).second;
            for (std::size_t i = 0; i < count; ++i) schema.push_back(read_field(header->vector_table(1, i)));
            have_schema = true;
            if (columns.empty()) {
                for (const Field& field : schema) columns.push_back({field.name, 0});
            }
        } else if (header_type == RECORD_BATCH) {
            if (!have_schema) malformed("record batch before the schema");
            if (header->field(3) != 0) throw ArrowFormatError("compressed Arrow data is not supported");
            const auto length_rows = header->scalar<std::int64_t>(0, 0);
            BatchReader reader(*header, body);
            std::vector<std::vector<Value>> values;
            for (const Field& field : schema) values.push_back(reader.column(field));
            for (std::int64_t r = 0; r < length_rows; ++r) {
                Row row;
                row.reserve(schema.size());
                for (auto& column : values) {
                    if (static_cast<std::size_t>(r) >= column.size()) malformed("column shorter than the batch");
                    row.push_back(std::move(column[static_cast<std::size_t>(r)]));
                }
                rows.push_back(std::move(row));
            }
        } else if (header_type == DICTIONARY_BATCH) {
            throw ArrowFormatError("dictionary-encoded Arrow data is not supported");
        } else {
            malformed("unexpected message type " + std::to_string(header_type));
        }
    }
}

}  // namespace korvex::spark_connect
