#pragma once
// The one owner of body framing. Where a message's body ends is decided
// here, from its parsed head, and followed here through the blocks that
// carry it. For requests that decides which bytes are the next request (an
// upload whose lines start with a method word is not a request); for
// answers it yields the body without chunk framing, which is what the cache
// stores, and tells when the body is complete.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vs::http {

class MessageHead;

class BodyFramer {
public:
    // No body at all (the default).
    BodyFramer() = default;
    static BodyFramer WithLength(std::uint64_t length);
    static BodyFramer ChunkedBody();
    static BodyFramer UntilClose();

    // More body bytes are to come.
    bool InBody() const { return mode_ != Mode::None; }
    bool Chunked() const { return chunked_; }
    bool RunsToClose() const { return mode_ == Mode::UntilClose; }
    // The chunk framing turned out malformed: the body's end is unknown, so
    // what arrived must not pass for a complete body.
    bool Broken() const { return broken_; }
    // The head's framing could not be taken at its word (two different
    // lengths, a length that does not fit, a transfer coding that is not
    // chunked alone): the body is never trusted as whole, nor stored.
    bool Doubtful() const { return doubtful_; }
    // The body ended where its framing says, intact.
    bool Complete() const { return mode_ == Mode::None && !broken_ && !doubtful_; }
    // The announced length, 0 when the framing is not a length.
    std::uint64_t AnnouncedLength() const { return announced_; }

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

    // The stream ended: a body that runs to the close is complete now.
    void EndOfStream();

private:
    friend BodyFramer AnswerFraming(const MessageHead& head, bool bodiless);

    enum class Mode { None, Length, UntilClose, ChunkSize, ChunkData, ChunkDataEnd, Trailer };
    std::size_t ConsumeLine(std::string_view bytes);
    void LineDone();
    void Break();

    Mode mode_ = Mode::None;
    bool chunked_ = false;
    bool broken_ = false;
    bool doubtful_ = false;
    bool answer_ = false;
    std::uint64_t remaining_ = 0;
    std::uint64_t announced_ = 0;
    std::string line_;
};

// The framing a request's head gives its body, or nullopt when the request
// must not be forwarded because the origin might frame it otherwise: both a
// length and a transfer coding, two different lengths, a length that is
// not a plain decimal number that fits, a transfer coding other than
// chunked alone (or any in HTTP/1.0), or a header line that is not
// "name: value".
std::optional<BodyFramer> RequestFraming(const MessageHead& head);

// A length repeated ("Content-Length: 5, 5", or two such fields) or written
// with leading zeros is read as the one number, and goes on as that one
// plain field: a peer after the proxy may refuse the list (RFC 9110 8.6) or
// count the zeros. One that is no length ("+5", "5, 6") goes on not at all,
// as the proxy then reads the body to the close, which the peer must too.
void MendLength(MessageHead& head);

// The framing of an answer's body. `bodiless` for answers that never have
// one whatever they say (to a HEAD, 1xx, 204, 304). Chunked coding wins
// over a length; a length that cannot be trusted or a coding that is not
// chunked leaves the body running to the close, marked doubtful.
BodyFramer AnswerFraming(const MessageHead& head, bool bodiless);

}  // namespace vs::http
