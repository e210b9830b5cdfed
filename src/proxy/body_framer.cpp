#include "proxy/body_framer.h"

#include <algorithm>
#include <limits>

#include "base/blanks.h"
#include "base/cp1251.h"
#include "proxy/http_head.h"

namespace vs::http {

namespace {

// A line of the wire: text without control characters (a tab aside), then
// CR LF.
bool EndsAtCrLfAlone(std::string_view line) {
    if (!line.ends_with("\r\n")) {
        return false;
    }
    line.remove_suffix(2);
    return std::none_of(line.begin(), line.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t') || u == 0x7f;
    });
}

constexpr std::size_t kMaxLine = 4096;
// Longer numbers are not lengths anybody sends; refusing them keeps every
// length inside 64 bits.
constexpr std::size_t kMaxLengthDigits = 18;

enum class LengthState { Absent, Valid, Invalid };

struct Length {
    LengthState state = LengthState::Absent;
    std::uint64_t value = 0;
};

std::optional<std::uint64_t> Decimal(std::string_view text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    // Leading zeros are legal and say nothing of the size.
    text.remove_prefix(std::min(text.find_first_not_of('0'), text.size() - 1));
    if (text.size() > kMaxLengthDigits) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

// Every Content-Length field, and every element of a comma list in one, must
// name the same plain decimal number.
Length ReadLength(const MessageHead& head) {
    Length length;
    for (std::string_view value : head.Values("Content-Length")) {
        while (true) {
            const std::size_t comma = value.find(',');
            const auto number = Decimal(TrimBlanks(value.substr(0, comma)));
            if (!number || (length.state == LengthState::Valid && *number != length.value)) {
                return {LengthState::Invalid, 0};
            }
            length = {LengthState::Valid, *number};
            if (comma == std::string_view::npos) {
                break;
            }
            value = value.substr(comma + 1);
        }
    }
    return length;
}

// Whether the last transfer coding named is "chunked".
bool EndsChunked(const MessageHead& head) {
    const auto codings = head.Values("Transfer-Encoding");
    if (codings.empty()) {
        return false;
    }
    std::string_view last = codings.back();
    last = TrimBlanks(
        last.substr(last.rfind(',') == std::string_view::npos ? 0 : last.rfind(',') + 1));
    return cp1251::EqualsNoCase(last, "chunked");
}

// Whether "chunked" is the one transfer coding named.
bool ChunkedAlone(const MessageHead& head) {
    const std::vector<std::string_view> codings = head.ListItems("Transfer-Encoding");
    return codings.size() == 1 && cp1251::EqualsNoCase(codings.front(), "chunked");
}

// A request's one transfer coding: chunked, once, in HTTP/1.1. Anything
// else ("chunked, chunked", "gzip, chunked", or an HTTP/1.0 request, which
// has no transfer codings) some origin frames otherwise.
bool OnlyChunked(const MessageHead& head) {
    return ChunkedAlone(head) && head.Version() != "HTTP/1.0";
}

}  // namespace

BodyFramer BodyFramer::WithLength(std::uint64_t length) {
    BodyFramer framer;
    framer.announced_ = length;
    framer.remaining_ = length;
    framer.mode_ = length > 0 ? Mode::Length : Mode::None;
    return framer;
}

BodyFramer BodyFramer::ChunkedBody() {
    BodyFramer framer;
    framer.chunked_ = true;
    framer.mode_ = Mode::ChunkSize;
    return framer;
}

BodyFramer BodyFramer::UntilClose() {
    BodyFramer framer;
    framer.mode_ = Mode::UntilClose;
    return framer;
}

std::optional<BodyFramer> RequestFraming(const MessageHead& head) {
    const Length length = ReadLength(head);
    const bool coded = head.Has("Transfer-Encoding");
    if (head.HasMalformedLine() || length.state == LengthState::Invalid ||
        (coded && length.state != LengthState::Absent) || (coded && !OnlyChunked(head))) {
        return std::nullopt;
    }
    if (coded) {
        return BodyFramer::ChunkedBody();
    }
    return BodyFramer::WithLength(length.value);
}

void MendLength(MessageHead& head) {
    const std::vector<std::string_view> values = head.Values("Content-Length");
    if (!head.Complete() || values.empty()) {
        return;
    }
    const Length length = ReadLength(head);
    if (length.state != LengthState::Valid) {
        head.Remove("Content-Length");
        return;
    }
    const std::string plain = std::to_string(length.value);
    if (values.size() != 1 || TrimBlanks(values.front()) != plain) {
        head.Set("Content-Length", plain);
    }
}

BodyFramer AnswerFraming(const MessageHead& head, bool bodiless) {
    if (bodiless) {
        return BodyFramer();
    }
    const Length length = ReadLength(head);
    const bool coded = head.Has("Transfer-Encoding");
    BodyFramer framer;
    if (!head.Complete()) {
        framer = BodyFramer::UntilClose();  // a head cut short names no framing for sure
    } else if (coded && EndsChunked(head)) {
        framer = BodyFramer::ChunkedBody();
    } else if (!coded && length.state == LengthState::Valid) {
        framer = BodyFramer::WithLength(length.value);
    } else {
        framer = BodyFramer::UntilClose();
    }
    // "gzip, chunked" is relayed by its chunks, but what they hold is still
    // coded for this one message: as an entry it would be served as the
    // page itself.
    if (!head.Complete() || head.HasMalformedLine() || length.state == LengthState::Invalid ||
        (coded && (length.state != LengthState::Absent || !ChunkedAlone(head)))) {
        framer.doubtful_ = true;
    }
    framer.answer_ = true;
    return framer;
}

void BodyFramer::Break() {
    line_.clear();
    broken_ = true;
    // Not chunked framing after all: nobody knows where this body ends. An
    // answer's then runs to the close; a request's ends here and its
    // connection with it (the caller sees Broken()).
    mode_ = answer_ ? Mode::UntilClose : Mode::None;
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

void BodyFramer::EndOfStream() {
    if (mode_ == Mode::UntilClose) {
        mode_ = Mode::None;
    }
}

std::size_t BodyFramer::ConsumeLine(std::string_view bytes) {
    std::size_t lf = bytes.find('\n');
    std::size_t take = lf == std::string_view::npos ? bytes.size() : lf + 1;
    // The limit counts the line's bytes wherever the blocks were cut, so the
    // body ends at the same byte of the stream however it arrived.
    const std::size_t room = kMaxLine + 1 - line_.size();
    if (take >= room) {
        Break();
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
    // A request's framing goes on to an origin that may end a line only at
    // CR LF and read a bare LF or a control character as part of a chunk
    // extension: it would find the body's end at another byte than the
    // proxy, and take what the proxy forwarded as body for a request the
    // lists never saw. Such a line ends the request.
    if (!answer_ && !EndsAtCrLfAlone(line)) {
        Break();
        return;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    switch (mode_) {
        case Mode::ChunkSize: {
            const std::size_t extension = line.find(';');
            const std::string_view written = std::string_view(line).substr(0, extension);
            std::string_view size = TrimBlanks(written);
            // Blanks are allowed only before an extension's ";": an origin
            // reading the digits from the line's first byte would find no
            // size in " 5" and take the chunk for the next request.
            const bool leadingBlank = size.data() != written.data();
            const bool trailingBlank = size.size() != written.size();
            if (!answer_ && (leadingBlank || (trailingBlank && extension == std::string::npos))) {
                Break();
                break;
            }
            // Leading zeros are legal in any number; only the digits after
            // them can pass what a length may be.
            while (size.size() > 1 && size.front() == '0') {
                size.remove_prefix(1);
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
                Break();
            } else if (value == 0) {
                mode_ = Mode::Trailer;
            } else {
                remaining_ = value;
                mode_ = Mode::ChunkData;
            }
            break;
        }
        case Mode::ChunkDataEnd:
            // Anything but the line end after a chunk's data means the chunk
            // ran over its announced size.
            if (line.empty()) {
                mode_ = Mode::ChunkSize;
            } else {
                Break();
            }
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

}  // namespace vs::http
