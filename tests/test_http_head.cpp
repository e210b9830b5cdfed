// The parsed message head and the body framing decided from it: what every
// step of the proxy reads a header value from, and where every body ends.

#include <gtest/gtest.h>

#include "proxy/body_framer.h"
#include "proxy/http_head.h"

namespace vs::http {
namespace {

TEST(MessageHead, ValuesWhateverTheSpacingAndCaseAndNeverFromTheBody) {
    const MessageHead answer{
        "HTTP/1.1 200 OK\r\nContent-Length:100\r\ncontent-type:  text/css \r\n"
        "X-Empty:\r\nVary: a\r\nVary: b\r\n\r\nContent-Encoding: gzip\r\n"};
    EXPECT_EQ(answer.StatusCode(), 200);
    EXPECT_EQ(answer.StatusText(), "200 OK");
    EXPECT_EQ(answer.Value("CONTENT-LENGTH"), "100");
    EXPECT_EQ(answer.Value("Content-Type"), "text/css");
    EXPECT_EQ(answer.Value("X-Empty"), "");
    EXPECT_EQ(answer.Values("vary"), (std::vector<std::string_view>{"a", "b"}));
    EXPECT_FALSE(answer.Has("Content-Encoding"));  // after the blank line: body
    EXPECT_TRUE(answer.Complete());

    // A status code needs no reason phrase; a start line that is neither
    // status nor request line gives neither.
    EXPECT_EQ(MessageHead("HTTP/1.1 204\r\n\r\n").StatusCode(), 204);
    const MessageHead request{"GET http://h/a?b HTTP/1.1\nHost: h\n\n"};
    EXPECT_TRUE(request.IsRequest());
    EXPECT_EQ(request.Method(), "GET");
    EXPECT_EQ(request.Target(), "http://h/a?b");
    EXPECT_EQ(request.Value("Host"), "h");
    for (const char* bad : {"GET  HTTP/1.1\r\n\r\n", "GET / HTTP/1.1 x\r\n\r\n", "GARBAGE\r\n\r\n",
                            "G\x01T / HTTP/1.1\r\n\r\n", "GET /a\x01 HTTP/1.1\r\n\r\n"}) {
        EXPECT_FALSE(MessageHead(bad).IsRequest()) << bad;
        EXPECT_EQ(MessageHead(bad).StatusCode(), 0) << bad;
    }
}

TEST(MessageHead, LinesThatAreNotNameColonValuePlayNoPart) {
    const MessageHead head{
        "HTTP/1.1 200 OK\r\nTransfer-Encoding : chunked\r\nX-A: 1\r\n folded\r\n"
        "X-B: a\rb\r\nno colon\r\nContent-Type: text/plain\r\n\r\n"};
    EXPECT_TRUE(head.HasMalformedLine());
    EXPECT_FALSE(head.Has("Transfer-Encoding"));
    EXPECT_FALSE(head.Has("X-B"));
    EXPECT_EQ(head.Value("X-A"), "1");  // the folded rest is not added to it
    EXPECT_EQ(head.Value("Content-Type"), "text/plain");
    EXPECT_FALSE(MessageHead("HTTP/1.1 200 OK\r\nA: b\r\n\r\n").HasMalformedLine());
}

TEST(MessageHead, EditsWorkOnWholeLinesAfterTheStartLine) {
    // Names of known fields in the URL and in values must not attract the
    // new line, which goes before the first Referer, Host, Proxy-Connection,
    // Connection or Content-Type field, else last.
    MessageHead request{
        "GET http://h/Connection/Host:/If-Modified-Since:x HTTP/1.1\r\n"
        "Accept: text/html, Connection\r\nhost: h\r\nIf-Modified-Since: old\r\n\r\n"};
    EXPECT_TRUE(request.Set("If-Modified-Since", "new"));
    EXPECT_TRUE(request.Insert("Proxy-Authorization", "Basic x"));
    EXPECT_EQ(request.Text(),
              "GET http://h/Connection/Host:/If-Modified-Since:x HTTP/1.1\r\n"
              "Accept: text/html, Connection\r\nProxy-Authorization: Basic x\r\nhost: h\r\n"
              "If-Modified-Since: new\r\n\r\n");
    EXPECT_TRUE(request.Remove("proxy-authorization"));
    EXPECT_FALSE(request.Remove("proxy-authorization"));
    request.SetTarget("/Connection/Host:/If-Modified-Since:x");
    EXPECT_EQ(request.Text(),
              "GET /Connection/Host:/If-Modified-Since:x HTTP/1.1\r\n"
              "Accept: text/html, Connection\r\nhost: h\r\nIf-Modified-Since: new\r\n\r\n");

    MessageHead plain{"HTTP/1.0 304 Not Modified\r\nServer: x\r\n\r\n"};
    plain.SetStatus("200 OK");
    EXPECT_TRUE(plain.Set("Content-Length", "5"));
    EXPECT_EQ(plain.Text(), "HTTP/1.0 200 OK\r\nServer: x\r\nContent-Length: 5\r\n\r\n");
    EXPECT_EQ(plain.StatusCode(), 200);
    // A value set is the field's only one: a 304 said its length twice, and
    // a browser refuses an answer of two lengths.
    MessageHead twice{
        "HTTP/1.1 304 Not Modified\r\nContent-Length: 0\r\nA: 1\r\ncontent-length: 0\r\n\r\n"};
    EXPECT_TRUE(twice.Set("Content-Length", "10"));
    EXPECT_EQ(twice.Text(), "HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\nA: 1\r\n\r\n");

    // A head cut short has no known end: only a known field places a line.
    MessageHead cut{"GET / HTTP/1.1\r\nAccept: */*\r\n"};
    EXPECT_FALSE(cut.Insert("X", "1"));
    EXPECT_EQ(cut.Text(), "GET / HTTP/1.1\r\nAccept: */*\r\n");
}

TEST(BodyFraming, RequestsTheOriginMightFrameOtherwiseAreNotForwarded) {
    auto framing = [](std::string fields) {
        return RequestFraming(MessageHead("POST / HTTP/1.1\r\n" + fields + "\r\n"));
    };
    // More refusals go through the real proxy in HostileInput.
    EXPECT_FALSE(framing("Content-Length: 4, 5\r\n"));
    EXPECT_FALSE(framing("Transfer-Encoding: chunked, gzip\r\n"));
    EXPECT_EQ(framing("Content-Length: 4\r\ncontent-length:4\r\n")->AnnouncedLength(), 4u);
    EXPECT_FALSE(framing("")->InBody());

    BodyFramer chunked = *framing("transfer-encoding: Chunked\r\n");
    const std::string body = "4;ext=1\r\nGET \r\nA\r\n0123456789\r\n0\r\nX-Trailer: 1\r\n\r\n";
    std::size_t used = 0;
    for (char c : body + "NEXT") {  // one byte per read: the state survives splits
        used += chunked.Consume(std::string_view(&c, 1));
        if (!chunked.InBody()) {
            break;
        }
    }
    EXPECT_EQ(used, body.size());
    EXPECT_TRUE(chunked.Complete());
}

TEST(BodyFraming, AnswersWhoseEndIsInDoubtRunToTheCloseAndAreNeverComplete) {
    auto framing = [](std::string fields) {
        return AnswerFraming(MessageHead("HTTP/1.1 200 OK\r\n" + fields + "\r\n"), false);
    };
    BodyFramer length = framing("Content-Length:  5 \r\n");
    EXPECT_EQ(length.Consume("12345HTTP/1.1"), 5u);
    EXPECT_TRUE(length.Complete());

    // More go through the real proxy in CacheFixture.FramingInDoubtIsRelayedButNeverStored.
    for (const char* doubtful :
         {"Content-Length: 1000000000000000000000\r\n", "Transfer-Encoding: gzip\r\n",
          "Transfer-Encoding : chunked\r\n", "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n",
          // Relayed by its chunks, but still gzip inside them.
          "Transfer-Encoding: gzip, chunked\r\n"}) {
        BodyFramer framer = framing(doubtful);
        EXPECT_TRUE(framer.Doubtful()) << doubtful;
        framer.Consume("0\r\n\r\n");
        framer.EndOfStream();
        EXPECT_FALSE(framer.Complete()) << doubtful;
    }

    BodyFramer untilClose = framing("");
    EXPECT_EQ(untilClose.Consume("all of it"), 9u);
    EXPECT_FALSE(untilClose.Complete());
    untilClose.EndOfStream();
    EXPECT_TRUE(untilClose.Complete());

    EXPECT_FALSE(
        AnswerFraming(MessageHead("HTTP/1.1 304 Not Modified\r\nContent-Length: 9\r\n\r\n"), true)
            .InBody());
    EXPECT_TRUE(AnswerFraming(MessageHead("HTTP/1.1 200 OK\r\nContent-Le"), false).Doubtful());
}

}  // namespace
}  // namespace vs::http
