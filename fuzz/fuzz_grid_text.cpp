// ReadGridText on arbitrary file bytes, with a sink shaped like the rule
// lists': five columns kept, anything past them refused by throwing, and the
// row of a refused line dropped.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdlib>

#include "rules/grid_text.h"

namespace {

class FiveColumns : public vs::GridSink {
public:
    void BeginRow() override {
        rows_.emplace_back();
        started_ = true;
    }
    void Field(int column, std::string utf8Text) override {
        // A field outside a row would mean the reader lost track of lines.
        if (!started_ || column < 0) {
            std::abort();
        }
        if (column >= 5) {
            throw vs::GridReadError("column " + std::to_string(column));
        }
        rows_.back()[static_cast<std::size_t>(column)] = std::move(utf8Text);
    }
    void DropRow() override {
        // Only the row begun last, which a field of it was refused in.
        if (!started_ || rows_.empty()) {
            std::abort();
        }
        rows_.pop_back();
        started_ = false;
    }
    std::size_t Rows() const { return rows_.size(); }

private:
    std::vector<std::array<std::string, 5>> rows_;
    bool started_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const char16_t separator = input.ConsumeBool() ? vs::kGridSeparator : u'\t';
    std::string bytes = input.ConsumeRemainingBytesAsString();
    FiveColumns sink;
    std::string error;
    const bool complete = vs::ReadGridText(bytes, separator, sink, &error);
    if (complete != error.empty()) {
        std::abort();
    }
    return 0;
}
