#pragma once
// An HTTP message head: the request or status line and the header fields up
// to the blank line. It is parsed once where a request or an answer begins,
// and every later step that needs a header value asks it; nothing searches
// the raw bytes, so body bytes are never taken for header lines.
//
// Field names compare without regard to case and values come without the
// white space around them, as HTTP/1.1 allows: "Content-Length:100" and
// "content-length:  100 " both give "100". Edits work on whole lines after
// the start line, so an inserted line can never land inside the request
// line or inside a value.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vs::http {

// Where the head at the start of `bytes` ends: just after its blank line
// (CR LF CR LF, or a bare LF LF from a sloppy peer), or npos while it has
// not arrived.
std::size_t FindHeadEnd(std::string_view bytes, std::size_t from = 0);

class MessageHead {
public:
    MessageHead() = default;
    // The head as it arrived, normally through its blank line. A head cut
    // short is read as far as it goes.
    explicit MessageHead(std::string text);

    const std::string& Text() const { return text_; }
    std::size_t Size() const { return text_.size(); }
    // The blank line that ends the head is there.
    bool Complete() const { return complete_; }

    std::string_view StartLine() const;

    // Request line "METHOD TARGET HTTP/x.y", one blank between the parts;
    // all three empty when the start line is not of that form.
    bool IsRequest() const { return method_.size > 0; }
    std::string_view Method() const { return Part(method_); }
    std::string_view Target() const { return Part(target_); }
    std::string_view Version() const { return Part(version_); }

    // Status line "HTTP/1.x CODE REASON": the text after the version
    // ("200 OK") and the three-digit code, which needs no reason phrase
    // after it. 0 and empty when the start line is not a status line.
    int StatusCode() const { return statusCode_; }
    std::string_view StatusText() const { return Part(statusText_); }

    // The first field of that name, its value without surrounding white
    // space; nullopt when there is none.
    std::optional<std::string_view> Value(std::string_view name) const;
    // Every field of that name, in order.
    std::vector<std::string_view> Values(std::string_view name) const;
    bool Has(std::string_view name) const { return Value(name).has_value(); }
    // Whether the value of a field lists `token` (comma-separated, case
    // ignored), as in "Connection: keep-alive, close".
    bool ListHas(std::string_view name, std::string_view token) const;
    // The same for a directive, which may carry a value: "private" is named
    // by "Cache-Control: private=\"Set-Cookie\"" too.
    bool ListNames(std::string_view name, std::string_view directive) const;
    // The items of every comma-separated list field of that name, in
    // order, blanks trimmed and empty items left out: "gzip;q=0.5",
    // "private=\"Set-Cookie\"".
    std::vector<std::string_view> ListItems(std::string_view name) const;

    // Some line is not "name: value": no colon, white space before the
    // colon, a folded continuation, or a bare CR. Such a line is not read as
    // a field at all, so whatever it says plays no part.
    bool HasMalformedLine() const { return malformed_; }

    // Edits. Each keeps the head parsed.
    void SetTarget(std::string_view target);
    // Replaces the status line's text after the version ("200 OK").
    void SetStatus(std::string_view statusText);
    // Removes every line of that field; whether there was one.
    bool Remove(std::string_view name);
    // Inserts "name: value" where a new line goes: before the first
    // Referer, Host, Proxy-Connection, Connection or Content-Type field,
    // else last in the head. A head cut short without any of those fields
    // gets nothing (its end is not known). Returns whether it was placed.
    bool Insert(std::string_view name, std::string_view value) { return Insert({{name, value}}); }
    // Several lines at that place, in the order given.
    using Field = std::pair<std::string_view, std::string_view>;
    bool Insert(std::initializer_list<Field> fields);
    // Replaces the first line of that field in place and removes any
    // other, else inserts.
    bool Set(std::string_view name, std::string_view value);

private:
    struct Span {
        std::uint32_t at = 0;
        std::uint32_t size = 0;
    };
    struct Line {
        std::uint32_t lineStart;
        std::uint32_t lineEnd;  // after the line's LF
        Span name;
        Span value;
    };

    void Parse();
    void ParseStartLine(std::string_view line);
    std::string_view Part(Span span) const { return {text_.data() + span.at, span.size}; }
    const Line* Find(std::string_view name) const;
    // Calls `visit` with each list item of the fields of that name until it
    // returns true; whether one did. Allocates nothing, for the per-request
    // "Connection" checks.
    template <typename Visit>
    bool AnyListItem(std::string_view name, Visit visit) const;
    // Offset where Insert puts a new line; npos when nowhere.
    std::size_t InsertionPoint() const;

    std::string text_;
    std::vector<Line> fields_;
    std::size_t fieldsStart_ = 0;  // after the start line's LF
    std::size_t fieldsEnd_ = 0;    // where the blank line starts
    Span method_, target_, version_, statusText_;
    int statusCode_ = 0;
    bool complete_ = false;
    bool malformed_ = false;
};

// A list item's token: the text before any "=value" or ";parameters",
// blanks trimmed ("private", "gzip").
std::string_view ItemToken(std::string_view item);

// Whether a Content-Encoding value names no coding at all (none, or
// "identity"): the body's bytes are the page's own.
bool IsIdentityCoding(std::string_view encoding);

// Drops the fields for one connection alone, the browser's to the proxy or
// the origin's to it: those the Connection field names, Keep-Alive and
// Proxy-Connection. Forwarded, they would tell the next hop of a connection
// it does not have. An upgrade (a request with Upgrade, a 101) keeps all it
// names (Upgrade, HTTP2-Settings), as the proxy passes it through; the
// body's framing, the host and the proxy's credentials stay whatever the
// field names, or a body framed by its length would go on without it and
// a request hidden in it would pass the lists unseen. Connection goes on
// naming none of these, nor what went.
void DropConnectionFields(MessageHead& head);

}  // namespace vs::http
