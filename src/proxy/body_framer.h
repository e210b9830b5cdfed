#pragma once
// Follows the framing of a message body (Content-Length or chunked) through
// the blocks that carry it. For requests it makes sure only a block
// beginning where a request can begin is ever taken for a new request (an
// upload whose lines happen to start with a method word is not a request);
// for answers it yields the body without chunk framing, which is what the
// cache stores, and tells when the body is complete.

#include <cstdint>
#include <string>
#include <string_view>

namespace vs::proxy {

class BodyFramer {
public:
    // The request whose header block this is has just been seen. A request
    // without length or chunked coding has no body.
    void Start(std::string_view header);
    // The same for an answer, whose body without either runs to the end of
    // the connection.
    void StartAnswer(std::string_view header);
    bool InBody() const { return mode_ != Mode::None; }
    bool Chunked() const { return chunked_; }
    // The chunk framing turned out malformed: the body's end is unknown, so
    // what arrived must not pass for a complete body.
    bool Broken() const { return broken_; }
    // How many of `bytes` (the next bytes of the stream) belong to the body.
    // When fewer than all, the body has ended there. The body's content,
    // chunk framing removed, is appended to `payload` when given.
    std::size_t Consume(std::string_view bytes, std::string* payload = nullptr);

    // How many of the next bytes are body content with no framing among
    // them, so that they may pass unseen (the rest of a length, of a chunk,
    // or everything until the close); 0 when the next bytes must be read.
    std::uint64_t PlainRoom() const;
    // Follows `bytes` (at most PlainRoom()) that passed unseen.
    void Skip(std::uint64_t bytes);

private:
    enum class Mode { None, Length, UntilClose, ChunkSize, ChunkData, ChunkDataEnd, Trailer };
    std::size_t ConsumeLine(std::string_view bytes);
    void LineDone();

    Mode mode_ = Mode::None;
    bool chunked_ = false;
    bool broken_ = false;
    std::uint64_t remaining_ = 0;
    std::string line_;
};

// The value of a Content-Length header as a body length: nullopt-like -1 when
// absent or not a plain decimal number that fits.
std::int64_t ParseContentLength(std::string_view header);
// Whether the last transfer coding of the header is "chunked".
bool IsChunked(std::string_view header);

}  // namespace vs::proxy
