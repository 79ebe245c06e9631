#include "update_rows.h"

#include <cmath>
#include <cstring>

#include "record_columns.h"

namespace vorn_tools {
namespace {

// Quotes the text appended from `from` on when it holds a separator, quote or line break.
void QuoteCsvTextFrom(std::string& line, size_t from) {
    if (line.find_first_of(",\"\r\n", from) == std::string::npos) return;
    std::string quoted = "\"";
    for (size_t i = from; i < line.size(); ++i) {
        if (line[i] == '"') quoted += '"';
        quoted += line[i];
    }
    quoted += '"';
    line.replace(from, std::string::npos, quoted);
}

// Escapes the text appended from `from` on as a JSON string body, quotes included.
void QuoteJsonTextFrom(std::string& line, size_t from) {
    std::string quoted = "\"";
    for (size_t i = from; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            quoted += escaped;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    quoted += '"';
    line.replace(from, std::string::npos, quoted);
}

bool IsFiniteDouble(const FieldAt& field, const void* record) {
    if (field.kind != Kind::Double) return true;
    double value;
    memcpy(&value, static_cast<const char*>(record) + field.offset, sizeof value);
    return std::isfinite(value);
}

void AppendCsvRow(int version, const void* record, std::string& line) {
    line += version == 1 ? '1' : '2';
    for (const Column& column : Columns()) {
        const FieldAt& field = version == 1 ? column.v1 : column.v2;
        line += ',';
        const size_t from = line.size();
        if (FormatValue(field, record, line) && field.kind == Kind::Text) QuoteCsvTextFrom(line, from);
    }
    line += '\n';
}

void AppendJsonRow(int version, const void* record, std::string& line) {
    line += "{\"version\":";
    line += version == 1 ? '1' : '2';
    for (const Column& column : Columns()) {
        const FieldAt& field = version == 1 ? column.v1 : column.v2;
        if (field.kind == Kind::None) continue;
        line += ",\"";
        line += column.name;
        line += "\":";
        const size_t from = line.size();
        if (!IsFiniteDouble(field, record)) {
            line += "null";
            continue;
        }
        FormatValue(field, record, line);
        if (field.kind == Kind::Text) QuoteJsonTextFrom(line, from);
    }
    line += "}\n";
}

} // namespace

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
    if (format == RowFormat::Json)
        AppendJsonRow(version, record, line);
    else
        AppendCsvRow(version, record, line);
}

RowWriter::RowWriter(FILE* out, RowFormat format) : out_(out), format_(format) {
    line_.reserve(1024);
    if (format == RowFormat::Csv) {
        const std::string header = CsvHeader();
        fwrite(header.data(), 1, header.size(), out_);
    }
}

void RowWriter::Write(int version, const void* record) {
    line_.clear();
    AppendRow(format_, version, record, line_);
    fwrite(line_.data(), 1, line_.size(), out_);
    ++rows_;
}

} // namespace vorn_tools
