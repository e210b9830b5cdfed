#include "proxy/body_framer.h"

#include <algorithm>
#include <limits>

#include "base/cp1251.h"

namespace vs::proxy {

namespace {

constexpr std::size_t kMaxLine = 4096;

// Value of the first header line named `name` (case-insensitive), trimmed;
// empty view when there is none.
std::string_view HeaderValue(std::string_view header, std::string_view name) {
    std::size_t start = header.find('\n');
    while (start != std::string_view::npos && start + 1 < header.size()) {
        ++start;
        std::size_t end = header.find('\n', start);
        std::string_view line = header.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (line.size() > name.size() && line[name.size()] == ':' &&
            cp1251::EqualsNoCase(line.substr(0, name.size()), name)) {
            std::string_view value = line.substr(name.size() + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
                value.remove_prefix(1);
            }
            while (!value.empty() &&
                   (value.back() == '\r' || value.back() == ' ' || value.back() == '\t')) {
                value.remove_suffix(1);
            }
            return value;
        }
        start = end;
    }
    return {};
}

}  // namespace

std::int64_t ParseContentLength(std::string_view header) {
    std::string_view value = HeaderValue(header, "Content-Length");
    if (value.empty() || value.size() > 18) {
        return -1;
    }
    std::int64_t length = 0;
    for (char c : value) {
        if (c < '0' || c > '9') {
            return -1;
        }
        length = length * 10 + (c - '0');
    }
    return length;
}

bool IsChunked(std::string_view header) {
    std::string value = cp1251::Lower(HeaderValue(header, "Transfer-Encoding"));
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
        value.pop_back();
    }
    return value.ends_with("chunked");
}

void BodyFramer::Start(std::string_view header) {
    line_.clear();
    broken_ = false;
    chunked_ = IsChunked(header);
    if (chunked_) {
        mode_ = Mode::ChunkSize;
        return;
    }
    std::int64_t length = ParseContentLength(header);
    remaining_ = length > 0 ? static_cast<std::uint64_t>(length) : 0;
    mode_ = remaining_ > 0 ? Mode::Length : Mode::None;
}

void BodyFramer::StartAnswer(std::string_view header) {
    Start(header);
    if (!chunked_ && ParseContentLength(header) < 0) {
        mode_ = Mode::UntilClose;
    }
}

std::size_t BodyFramer::Consume(std::string_view bytes, std::string* payload) {
    std::size_t used = 0;
    while (used < bytes.size() && mode_ != Mode::None) {
        std::string_view rest = bytes.substr(used);
        switch (mode_) {
            case Mode::UntilClose:
                if (payload != nullptr) {
                    payload->append(rest);
                }
                used = bytes.size();
                break;
            case Mode::Length:
            case Mode::ChunkData: {
                std::size_t n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, rest.size()));
                if (payload != nullptr) {
                    payload->append(rest.substr(0, n));
                }
                used += n;
                remaining_ -= n;
                if (remaining_ == 0) {
                    mode_ = mode_ == Mode::Length ? Mode::None : Mode::ChunkDataEnd;
                }
                break;
            }
            default:
                used += ConsumeLine(rest);
                break;
        }
    }
    return used;
}

std::uint64_t BodyFramer::PlainRoom() const {
    switch (mode_) {
        case Mode::UntilClose:
            return std::numeric_limits<std::uint64_t>::max();
        case Mode::Length:
        case Mode::ChunkData:
            return remaining_;
        default:
            return 0;
    }
}

void BodyFramer::Skip(std::uint64_t bytes) {
    if (mode_ != Mode::Length && mode_ != Mode::ChunkData) {
        return;
    }
    remaining_ -= std::min(bytes, remaining_);
    if (remaining_ == 0) {
        mode_ = mode_ == Mode::Length ? Mode::None : Mode::ChunkDataEnd;
    }
}

std::size_t BodyFramer::ConsumeLine(std::string_view bytes) {
    std::size_t lf = bytes.find('\n');
    std::size_t take = lf == std::string_view::npos ? bytes.size() : lf + 1;
    // The limit counts the line's bytes wherever the blocks were cut, so the
    // body ends at the same byte of the stream however it arrived.
    const std::size_t room = kMaxLine + 1 - line_.size();
    if (take >= room) {
        line_.clear();
        mode_ = Mode::None;  // not chunked framing after all: stop following it
        broken_ = true;
        return room;
    }
    line_.append(bytes.substr(0, take));
    if (lf != std::string_view::npos) {
        LineDone();
    }
    return take;
}

void BodyFramer::LineDone() {
    std::string line;
    line.swap(line_);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    switch (mode_) {
        case Mode::ChunkSize: {
            std::string_view size = std::string_view(line).substr(0, line.find(';'));
            while (!size.empty() && (size.back() == ' ' || size.back() == '\t')) {
                size.remove_suffix(1);
            }
            std::uint64_t value = 0;
            bool valid = !size.empty() && size.size() <= 15;
            for (char c : size) {
                int digit = (c >= '0' && c <= '9')   ? c - '0'
                            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                     : -1;
                valid = valid && digit >= 0;
                value = value * 16 + static_cast<std::uint64_t>(std::max(digit, 0));
            }
            if (!valid) {
                mode_ = Mode::None;
                broken_ = true;
            } else if (value == 0) {
                mode_ = Mode::Trailer;
            } else {
                remaining_ = value;
                mode_ = Mode::ChunkData;
            }
            break;
        }
        case Mode::ChunkDataEnd:
            mode_ = Mode::ChunkSize;
            break;
        case Mode::Trailer:
            if (line.empty()) {
                mode_ = Mode::None;
            }
            break;
        default:
            break;
    }
}

}  // namespace vs::proxy
