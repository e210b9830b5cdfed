#include "proxy/http_head.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "base/blanks.h"
#include "base/cp1251.h"

namespace vs::http {

namespace {

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return AsciiLower(x) == AsciiLower(y);
           });
}

// The characters HTTP allows in a method or a field name.
bool IsTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

bool IsToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenChar);
}

// Control characters and blanks have no place in a request target; bytes
// of the upper half do (raw 8-bit URLs).
bool IsTargetText(std::string_view text) {
    return !text.empty() && std::none_of(text.begin(), text.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7F;
    });
}

// A line's content without its CR LF (or LF).
std::string_view LineContent(std::string_view text, std::size_t start, std::size_t lf) {
    std::size_t end = lf == std::string_view::npos ? text.size() : lf;
    if (end > start && text[end - 1] == '\r') {
        --end;
    }
    return text.substr(start, end - start);
}

constexpr std::array<std::string_view, 5> kInsertBefore = {"Referer", "Host", "Proxy-Connection",
                                                           "Connection", "Content-Type"};

}  // namespace

std::size_t FindHeadEnd(std::string_view bytes, std::size_t from) {
    std::size_t lf = bytes.find('\n', from);
    while (lf != std::string_view::npos) {
        std::size_t next = lf + 1;
        if (next < bytes.size() && bytes[next] == '\n') {
            return next + 1;
        }
        if (next + 1 < bytes.size() && bytes[next] == '\r' && bytes[next + 1] == '\n') {
            return next + 2;
        }
        lf = bytes.find('\n', next);
    }
    return std::string_view::npos;
}

MessageHead::MessageHead(std::string text) : text_(std::move(text)) {
    Parse();
}

std::string_view MessageHead::StartLine() const {
    return LineContent(text_, 0, text_.find('\n'));
}

void MessageHead::ParseStartLine(std::string_view line) {
    if (line.starts_with("HTTP/1.") && line.size() >= 12 && (line[7] == '0' || line[7] == '1') &&
        line[8] == ' ') {
        std::string_view status = line.substr(9);
        statusText_ = {9, static_cast<std::uint32_t>(status.size())};
        if (status.size() >= 3 &&
            std::all_of(status.begin(), status.begin() + 3,
                        [](char c) { return c >= '0' && c <= '9'; }) &&
            (status.size() == 3 || status[3] == ' ')) {
            statusCode_ = (status[0] - '0') * 100 + (status[1] - '0') * 10 + (status[2] - '0');
        }
        return;
    }
    std::size_t first = line.find(' ');
    std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos) {
        return;
    }
    std::string_view method = line.substr(0, first);
    std::string_view target = line.substr(first + 1, second - first - 1);
    std::string_view version = line.substr(second + 1);
    // "HTTP/1." and a digit, nothing else: an origin may read "HTTP/1.00"
    // as 1.0, where a transfer coding does not frame the body, while the
    // proxy framed it as 1.1's; and no other major version is read this way.
    const bool httpVersion =
        version.size() == 8 && version.starts_with("HTTP/1.") && version[7] >= '0' && version[7] <= '9';
    if (!IsToken(method) || !IsTargetText(target) || !httpVersion) {
        return;
    }
    method_ = {0, static_cast<std::uint32_t>(method.size())};
    target_ = {static_cast<std::uint32_t>(first + 1), static_cast<std::uint32_t>(target.size())};
    version_ = {static_cast<std::uint32_t>(second + 1), static_cast<std::uint32_t>(version.size())};
}

void MessageHead::Parse() {
    fields_.clear();
    method_ = target_ = version_ = statusText_ = {};
    statusCode_ = 0;
    complete_ = malformed_ = false;
    const std::string_view text = text_;
    std::size_t lf = text.find('\n');
    ParseStartLine(LineContent(text, 0, lf));
    fieldsStart_ = lf == std::string_view::npos ? text.size() : lf + 1;
    fieldsEnd_ = text.size();
    std::size_t pos = fieldsStart_;
    while (pos < text.size()) {
        lf = text.find('\n', pos);
        const std::size_t lineEnd = lf == std::string_view::npos ? text.size() : lf + 1;
        const std::string_view line = LineContent(text, pos, lf);
        if (line.empty()) {
            if (lf != std::string_view::npos) {
                fieldsEnd_ = pos;
                complete_ = true;
            }
            break;
        }
        const std::size_t colon = line.find(':');
        const std::string_view name = line.substr(0, colon);
        const std::string_view raw = colon == std::string_view::npos ? "" : line.substr(colon + 1);
        if (colon == std::string_view::npos || !IsToken(name) ||
            raw.find_first_of(std::string_view("\r\0", 2)) != std::string_view::npos) {
            // A NUL would end the value early for an origin reading C strings,
            // which then sees other fields than the lists judged.
            malformed_ = true;  // folded, no colon, blank before the colon, bare CR, NUL
        } else {
            const std::string_view value = TrimBlanks(raw);
            fields_.push_back(
                Line{static_cast<std::uint32_t>(pos),
                     static_cast<std::uint32_t>(lineEnd),
                     {static_cast<std::uint32_t>(pos), static_cast<std::uint32_t>(name.size())},
                     {static_cast<std::uint32_t>(value.data() - text.data()),
                      static_cast<std::uint32_t>(value.size())}});
        }
        pos = lineEnd;
    }
}

const MessageHead::Line* MessageHead::Find(std::string_view name) const {
    for (const Line& field : fields_) {
        if (SameName(Part(field.name), name)) {
            return &field;
        }
    }
    return nullptr;
}

std::optional<std::string_view> MessageHead::Value(std::string_view name) const {
    if (const Line* field = Find(name)) {
        return Part(field->value);
    }
    return std::nullopt;
}

std::vector<std::string_view> MessageHead::Values(std::string_view name) const {
    std::vector<std::string_view> values;
    for (const Line& field : fields_) {
        if (SameName(Part(field.name), name)) {
            values.push_back(Part(field.value));
        }
    }
    return values;
}

template <typename Visit>
bool MessageHead::AnyListItem(std::string_view name, Visit visit) const {
    for (const Line& field : fields_) {
        if (!SameName(Part(field.name), name)) {
            continue;
        }
        for (std::string_view value = Part(field.value); !value.empty();) {
            const std::size_t comma = value.find(',');
            if (std::string_view item = TrimBlanks(value.substr(0, comma));
                !item.empty() && visit(item)) {
                return true;
            }
            value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
        }
    }
    return false;
}

bool MessageHead::ListHas(std::string_view name, std::string_view token) const {
    return AnyListItem(name, [&](std::string_view item) { return SameName(item, token); });
}

bool MessageHead::ListNames(std::string_view name, std::string_view directive) const {
    return AnyListItem(name,
                       [&](std::string_view item) { return SameName(ItemToken(item), directive); });
}

std::vector<std::string_view> MessageHead::ListItems(std::string_view name) const {
    std::vector<std::string_view> items;
    AnyListItem(name, [&](std::string_view item) {
        items.push_back(item);
        return false;
    });
    return items;
}

std::string_view ItemToken(std::string_view item) {
    return TrimBlanks(item.substr(0, item.find_first_of("=;")));
}

bool IsIdentityCoding(std::string_view encoding) {
    return encoding.empty() || cp1251::EqualsNoCase(encoding, "identity");
}

void MessageHead::SetTarget(std::string_view target) {
    if (!IsRequest()) {
        return;
    }
    text_.replace(target_.at, target_.size, target);
    Parse();
}

void MessageHead::SetStatus(std::string_view statusText) {
    if (statusText_.at == 0) {
        return;
    }
    text_.replace(statusText_.at, statusText_.size, statusText);
    Parse();
}

bool MessageHead::Remove(std::string_view name) {
    bool removed = false;
    for (auto field = fields_.rbegin(); field != fields_.rend(); ++field) {
        if (SameName(Part(field->name), name)) {
            text_.erase(field->lineStart, field->lineEnd - field->lineStart);
            removed = true;
        }
    }
    if (removed) {
        Parse();
    }
    return removed;
}

std::size_t MessageHead::InsertionPoint() const {
    for (const Line& field : fields_) {
        for (std::string_view known : kInsertBefore) {
            if (SameName(Part(field.name), known)) {
                return field.lineStart;
            }
        }
    }
    return complete_ ? fieldsEnd_ : std::string::npos;
}

bool MessageHead::Insert(std::initializer_list<Field> fields) {
    const std::size_t at = InsertionPoint();
    if (at == std::string::npos) {
        return false;
    }
    std::string lines;
    for (const auto& [name, value] : fields) {
        lines.append(name).append(": ").append(value).append("\r\n");
    }
    text_.insert(at, lines);
    Parse();
    return true;
}

bool MessageHead::Set(std::string_view name, std::string_view value) {
    const Line* first = Find(name);
    if (first == nullptr) {
        return Insert(name, value);
    }
    // From the last line back, so that the offsets before stay true.
    for (auto field = fields_.rbegin(); field != fields_.rend(); ++field) {
        if (&*field == first) {
            const std::string_view line =
                LineContent(text_, field->lineStart, text_.find('\n', field->lineStart));
            std::string replacement;
            replacement.append(name).append(": ").append(value);
            text_.replace(field->lineStart, line.size(), replacement);
        } else if (SameName(Part(field->name), name)) {
            text_.erase(field->lineStart, field->lineEnd - field->lineStart);
        }
    }
    Parse();
    return true;
}

void DropConnectionFields(MessageHead& head) {
    // Nearly always "keep-alive" or "close", which name no field of their
    // own to look for.
    static constexpr std::string_view kKept[] = {
        "close", "keep-alive",          "Connection",       "Content-Length",
        "Host",  "Proxy-Authorization", "Transfer-Encoding"};
    const auto isKept = [](std::string_view token) {
        return std::any_of(std::begin(kKept), std::end(kKept), [token](std::string_view kept) {
            return cp1251::EqualsNoCase(token, kept);
        });
    };
    // An upgrade goes on with all it names but what the proxy keeps.
    const bool upgrade = head.Has("Upgrade") || head.StatusCode() == 101;
    std::vector<std::string> named;
    std::string options;  // what this hop says of its own connection
    for (const std::string_view item : head.ListItems("Connection")) {
        const std::string_view token = ItemToken(item);
        const bool own =
            cp1251::EqualsNoCase(token, "close") || cp1251::EqualsNoCase(token, "keep-alive");
        if (own || (upgrade && !isKept(token))) {
            options.append(options.empty() ? "" : ", ").append(token);
        }
        if (!upgrade && !isKept(token)) {
            named.emplace_back(token);
        }
    }
    for (const std::string& name : named) {
        head.Remove(name);
    }
    // Left in Connection, a name would have the next hop drop the field
    // that follows it; a body's length dropped there lets the request
    // hidden in the body through.
    if (options.empty()) {
        head.Remove("Connection");
    } else if (head.Values("Connection").size() != 1 || head.Value("Connection") != options) {
        head.Set("Connection", options);
    }
    head.Remove("Keep-Alive");
    head.Remove("Proxy-Connection");
}

}  // namespace vs::http
