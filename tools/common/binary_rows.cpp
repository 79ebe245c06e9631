#include "binary_rows.h"

#include <cstring>

#include "record_columns.h"

namespace vorn_tools {
namespace {

constexpr char kMagic[] = "VORNROWS";

std::string NumpyFormat(const FieldAt& field) {
    switch (field.kind) {
    case Kind::Text: return "|S" + std::to_string(field.width);
    case Kind::Int32: return "<i4";
    case Kind::Int64: return "<i8";
    case Kind::Double: return "<f8";
    case Kind::None: break;
    }
    return "";
}

} // namespace

BinaryRowLayout::BinaryRowLayout(int version, int32_t tradeDate) : version_(version), clock_(tradeDate) {
    for (const Column& column : vorn_tools::Columns()) {
        const FieldAt& field = version == 1 ? column.v1 : column.v2;
        if (field.kind == Kind::None) continue;
        const bool text = field.kind == Kind::Text;
        Step* const last = steps_.empty() ? nullptr : &steps_.back();
        // A number right after a number in both the record and the row: one longer copy.
        if (!text && last && !last->text && last->from + last->bytes == field.offset &&
            last->to + last->bytes == rowBytes_)
            last->bytes += field.width;
        else
            steps_.push_back(Step{text, field.offset, rowBytes_, field.width});
        columns_.push_back(RowColumn{column.name, NumpyFormat(field), rowBytes_});
        rowBytes_ += field.width;
    }
    timeOffset_ = rowBytes_;
    columns_.push_back(RowColumn{"time", "<M8[ms]", rowBytes_});
    columns_.push_back(RowColumn{"ts_recv", "<M8[ns]", rowBytes_ + 8});
    columns_.push_back(RowColumn{"ts_event", "<M8[ns]", rowBytes_ + 16});
    rowBytes_ += 24;
}

std::string BinaryRowLayout::StreamHeader() const {
    std::string json = "{\"descr\": [";
    for (const RowColumn& column : columns_)
        json += (&column == &columns_[0] ? "[\"" : ", [\"") + column.name + "\", \"" + column.format + "\"]";
    json += "], \"itemsize\": " + std::to_string(rowBytes_) + "}";
    std::string header(kMagic, sizeof kMagic - 1);
    const uint64_t length = json.size();
    for (int i = 0; i < 8; ++i) header += static_cast<char>(length >> (8 * i) & 0xff);
    return header + json;
}

void BinaryRowLayout::Fill(const void* record, int64_t tsRecvNs, char* row) {
    const char* const in = static_cast<const char*>(record);
    for (const Step& step : steps_) {
        if (!step.text) {
            memcpy(row + step.to, in + step.from, step.bytes);
            continue;
        }
        // Up to the terminator, then zeros: numpy's bytes strip trailing zeros.
        const size_t length = strnlen(in + step.from, step.bytes);
        memcpy(row + step.to, in + step.from, length);
        memset(row + step.to + length, 0, step.bytes - length);
    }
    const int64_t wall = clock_.WallMs(version_, record);
    const int64_t times[3] = {wall, tsRecvNs, RecordClock::EventNsOfWall(wall)};
    memcpy(row + timeOffset_, times, sizeof times);
}

BinaryRowWriter::BinaryRowWriter(FILE* out, int version, int32_t tradeDate)
    : out_(out), layout_(version, tradeDate), row_(layout_.RowBytes()) {
    const std::string header = layout_.StreamHeader();
    fwrite(header.data(), 1, header.size(), out_);
}

bool BinaryRowWriter::Write(const void* record, int64_t tsRecvNs) {
    layout_.Fill(record, tsRecvNs, row_.data());
    if (fwrite(row_.data(), 1, row_.size(), out_) != row_.size()) return false;
    ++rows_;
    return true;
}

} // namespace vorn_tools
