#pragma once
// Follows the framing of a request body (Content-Length or chunked) through
// the blocks that carry it, so that only a block beginning where a request
// can begin is ever taken for a new request. Body bytes pass unchanged: an
// upload whose lines happen to start with a method word is not a request.

#include <cstdint>
#include <string>
#include <string_view>

namespace vs::proxy {

class BodyFramer {
public:
    // The request whose header block this is has just been seen.
    void Start(std::string_view header);
    bool InBody() const { return mode_ != Mode::None; }
    // How many of `bytes` (the next bytes of the stream) belong to the body.
    // When fewer than all, the body has ended there.
    std::size_t Consume(std::string_view bytes);

private:
    enum class Mode { None, Length, ChunkSize, ChunkData, ChunkDataEnd, Trailer };
    std::size_t ConsumeLine(std::string_view bytes);
    void LineDone();

    Mode mode_ = Mode::None;
    std::uint64_t remaining_ = 0;
    std::string line_;
};

// The value of a Content-Length header as a body length: nullopt-like -1 when
// absent or not a plain decimal number that fits.
std::int64_t ParseContentLength(std::string_view header);
// Whether the last transfer coding of the header is "chunked".
bool IsChunked(std::string_view header);

}  // namespace vs::proxy
