#include "update_rows.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "record_columns.h"

namespace vorn_tools {
namespace {

constexpr char kJsonVersionKey[] = "{\"version\":";
constexpr size_t kUnicodeEscapeChars = 6; // \u00XX
// The two times' keys and values.
constexpr size_t kTimesChars = 32 + 2 * kMaxNumberChars;

char* AppendText(char* out, const char* text) {
    const size_t length = strlen(text);
    memcpy(out, text, length);
    return out + length;
}

bool IsCsvSpecial(char c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; }

// Quotes the text written at [from, end) when it holds a separator, quote or line break,
// doubling its quotes; works backwards in place. Returns the new end.
char* QuoteCsvText(char* from, char* end) {
    size_t quotes = 0;
    bool special = false;
    for (const char* c = from; c < end; ++c) {
        quotes += *c == '"';
        special = special || IsCsvSpecial(*c);
    }
    if (!special) return end;
    char* const quotedEnd = end + 2 + quotes;
    char* write = quotedEnd;
    *--write = '"';
    for (const char* read = end; read > from;) {
        const char c = *--read;
        *--write = c;
        if (c == '"') *--write = '"';
    }
    *--write = '"';
    return quotedEnd;
}

size_t JsonEscapedLength(unsigned char c) {
    if (c == '"' || c == '\\') return 2;
    return c < 0x20 || c >= 0x7f ? kUnicodeEscapeChars : 1;
}

// Rewrites the text written at [from, end) as a JSON string, quotes included, escaping
// quotes, backslashes and every byte outside printable ASCII; works backwards in place.
char* QuoteJsonText(char* from, char* end) {
    size_t length = 2;
    for (const char* c = from; c < end; ++c) length += JsonEscapedLength(static_cast<unsigned char>(*c));
    static const char kHex[] = "0123456789abcdef";
    char* const quotedEnd = from + length;
    char* write = quotedEnd;
    *--write = '"';
    for (const char* read = end; read > from;) {
        const unsigned char c = static_cast<unsigned char>(*--read);
        switch (JsonEscapedLength(c)) {
        case 1: *--write = static_cast<char>(c); break;
        case 2:
            *--write = static_cast<char>(c);
            *--write = '\\';
            break;
        default:
            write -= kUnicodeEscapeChars;
            memcpy(write, "\\u00", 4);
            write[4] = kHex[c >> 4];
            write[5] = kHex[c & 15];
        }
    }
    *--write = '"';
    return quotedEnd;
}

bool IsFiniteDouble(const FieldAt& field, const void* record) {
    if (field.kind != Kind::Double) return true;
    double value;
    memcpy(&value, static_cast<const char*>(record) + field.offset, sizeof value);
    return std::isfinite(value);
}

const FieldAt& FieldOf(const Column& column, int version) { return version == 1 ? column.v1 : column.v2; }

char* WriteCsvRow(int version, const void* record, char* out) {
    *out++ = version == 1 ? '1' : '2';
    for (const Column& column : Columns()) {
        const FieldAt& field = FieldOf(column, version);
        *out++ = ',';
        char* const from = out;
        out = FormatValue(field, record, out);
        if (field.kind == Kind::Text) out = QuoteCsvText(from, out);
    }
    *out++ = '\n';
    return out;
}

char* WriteJsonRow(int version, const void* record, char* out) {
    memcpy(out, kJsonVersionKey, sizeof kJsonVersionKey - 1);
    out += sizeof kJsonVersionKey - 1;
    *out++ = version == 1 ? '1' : '2';
    for (const Column& column : Columns()) {
        const FieldAt& field = FieldOf(column, version);
        if (field.kind == Kind::None) continue;
        *out++ = ',';
        *out++ = '"';
        const size_t nameLength = strlen(column.name);
        memcpy(out, column.name, nameLength);
        out += nameLength;
        *out++ = '"';
        *out++ = ':';
        if (!IsFiniteDouble(field, record)) {
            memcpy(out, "null", 4);
            out += 4;
            continue;
        }
        char* const from = out;
        out = FormatValue(field, record, out);
        if (field.kind == Kind::Text) out = QuoteJsonText(from, out);
    }
    *out++ = '}';
    *out++ = '\n';
    return out;
}

// The most characters a value of `field` takes once quoted and escaped.
size_t MaxValueChars(const FieldAt& field, RowFormat format) {
    if (field.kind != Kind::Text) return kMaxNumberChars;
    return 2 + field.width * (format == RowFormat::Json ? kUnicodeEscapeChars : 2);
}

} // namespace

size_t MaxRowChars(RowFormat format) {
    size_t chars = sizeof kJsonVersionKey + 3; // the version's key, value and the row's end
    for (const Column& column : Columns())
        chars += 5 + strlen(column.name) + std::max(MaxValueChars(column.v1, format), MaxValueChars(column.v2, format));
    return chars;
}

char* WriteRow(RowFormat format, int version, const void* record, char* out) {
    return format == RowFormat::Json ? WriteJsonRow(version, record, out) : WriteCsvRow(version, record, out);
}

std::string CsvHeader() {
    std::string header = "version";
    for (const Column& column : Columns()) {
        header += ',';
        header += column.name;
    }
    header += '\n';
    return header;
}

void AppendRow(RowFormat format, int version, const void* record, std::string& line) {
    const size_t from = line.size();
    line.resize(from + MaxRowChars(format));
    char* const end = WriteRow(format, version, record, &line[from]);
    line.resize(static_cast<size_t>(end - line.data()));
}

RowWriter::RowWriter(FILE* out, RowFormat format, bool timestamps, int32_t tradeDate)
    : out_(out), format_(format), timestamps_(timestamps), clock_(tradeDate), line_(MaxRowChars(format) + kTimesChars) {
    if (format == RowFormat::Csv) {
        std::string header = CsvHeader();
        if (timestamps) header.insert(header.size() - 1, ",ts_recv,ts_event");
        fwrite(header.data(), 1, header.size(), out_);
    }
}

// Replaces the row's end at `end` by the two times and the row's end again.
char* RowWriter::WriteTimes(int version, const void* record, int64_t tsRecvNs, char* end) {
    const bool json = format_ == RowFormat::Json;
    end -= json ? 2 : 1;
    const int64_t event = RecordClock::EventNsOfWall(clock_.WallMs(version, record));
    end = AppendText(end, json ? ",\"ts_recv\":" : ",");
    end = std::to_chars(end, end + kMaxNumberChars, tsRecvNs).ptr;
    end = AppendText(end, json ? ",\"ts_event\":" : ",");
    if (event != kNoTime)
        end = std::to_chars(end, end + kMaxNumberChars, event).ptr;
    else if (json)
        end = AppendText(end, "null");
    return AppendText(end, json ? "}\n" : "\n");
}

bool RowWriter::Write(int version, const void* record, int64_t tsRecvNs) {
    char* end = WriteRow(format_, version, record, line_.data());
    if (timestamps_) end = WriteTimes(version, record, tsRecvNs, end);
    const size_t length = static_cast<size_t>(end - line_.data());
    if (fwrite(line_.data(), 1, length, out_) != length) return false;
    ++rows_;
    return true;
}

} // namespace vorn_tools
