// A small HTTP origin server run as a process of its own by the cache tests.
// Usage: vellostore_test_origin [NAME]
// Prints "ready PORT" once listening, then one line per request: the request
// line, a tab, and the If-Modified-Since value (or "-"). A NAME is sent in
// an "X-Origin" field of every answer, so that tests see who answered.
// Paths the tests need an answer of their own for are below in Serve; any
// other path answers 200 with Last-Modified and "hello" (or the NAME).

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "support/net_helpers.h"

namespace {

constexpr const char* kLastModified = "Sun, 06 Nov 1994 08:49:37 GMT";
std::mutex printLock;
std::string originName;

std::string HeaderValue(const std::string& head, const std::string& name) {
    std::size_t at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) {
        return "";
    }
    at += name.size() + 4;
    return head.substr(at, head.find("\r\n", at) - at);
}

// Every answer says who sent it when the origin has a name.
void Send(vs::net::Socket& s, std::string text) {
    if (!originName.empty() && text.starts_with("HTTP/")) {
        text.insert(text.find("\r\n") + 2, "X-Origin: " + originName + "\r\n");
    }
    vs::net::SendAll(s, text);
}

std::string Answer(const std::string& type, const std::string& extra, const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\n" + extra +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Answers whose framing the proxy cannot trust, each followed by the close.
const std::map<std::string, std::string> kDoubtful = {
    {"/badchunked", "Transfer-Encoding: chunked\r\n\r\n5\r\nfirst\r\nzz\r\nwhatever follows\r\n"},
    {"/hugelength", "Content-Length: 1000000000000000000\r\n\r\nfive!"},
    {"/twolengths", "Content-Length: 5\r\nContent-Length: 9\r\n\r\n123456789"},
    {"/overrun", "Transfer-Encoding: chunked\r\n\r\n3\r\nabcdef\r\n0\r\n\r\n"},
    {"/foldedte", "Transfer-Encoding:\r\n chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"},
    {"/bothframings",
     "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"},
};

// Returns false when the connection must close.
bool Serve(vs::net::Socket& s, const std::string& head) {
    std::string line = head.substr(0, head.find("\r\n"));
    std::string path = line.substr(line.find(' ') + 1);
    path = path.substr(0, path.find(' '));
    std::size_t scheme = path.find("://");
    if (scheme != std::string::npos) {
        path = path.substr(path.find('/', scheme + 3));
    }
    const std::string ims = HeaderValue(head, "If-Modified-Since");
    {
        std::lock_guard guard(printLock);
        std::printf("%s\t%s\n", line.c_str(), ims.empty() ? "-" : ims.c_str());
        std::fflush(stdout);
    }
    const std::string lm = std::string("Last-Modified: ") + kLastModified + "\r\n";
    const std::string plain = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
    auto reply = [&](const std::string& full) {
        Send(s, line.starts_with("HEAD ") ? full.substr(0, full.find("\r\n\r\n") + 4) : full);
        return true;
    };
    // The head and the first n bytes of a body the origin never finishes.
    auto start = [&](const std::string& fields, std::size_t n, char fill) {
        Send(s, plain + fields + "\r\n" + std::string(n, fill));
        return false;
    };

    // "/lm/NAME", "/date/NAME", "/badlm/NAME" and "/futurelm/NAME" answer
    // "body of NAME", dated by Last-Modified, by Date only, or by Date beside
    // a Last-Modified that is no date or ahead of it; 304 when
    // If-Modified-Since is that date.
    if (path.starts_with("/lm/") || path.starts_with("/date/") || path.starts_with("/badlm/") ||
        path.starts_with("/futurelm/")) {
        if (ims == kLastModified) {
            Send(s, "HTTP/1.1 304 Not Modified\r\nConnection: keep-alive\r\n\r\n");
            return true;
        }
        const std::string date = std::string("Date: ") + kLastModified + "\r\n";
        return reply(Answer(path.ends_with(".js") ? "text/javascript" : "text/plain",
                            path[1] == 'l'   ? lm
                            : path[1] == 'd' ? date
                            : path[1] == 'f'
                                ? "Last-Modified: Fri, 01 Jan 2100 00:00:00 GMT\r\n" + date
                                : "Last-Modified: yesterday\r\n" + date,
                            "body of " + path.substr(path.rfind('/') + 1)));
    }
    if (auto doubtful = kDoubtful.find(path); doubtful != kDoubtful.end()) {
        Send(s, plain + lm + doubtful->second);
        return false;
    }
    if (path == "/short" || path == "/huge") {
        return path == "/huge" ? start("Content-Length: 3221225472\r\n", 4096, 'x')
                               : start("Content-Length: 1000\r\n", 600, 'x');
    }
    if (path == "/nospace") {
        return start("Content-Length:100\r\n", 50, 'n');
    }
    if (path == "/slow" || path.starts_with("/stall")) {
        start(path == "/slow" ? "Content-Length: 100000\r\n" : "Connection: close\r\n", 1000, 's');
        std::this_thread::sleep_for(std::chrono::seconds(30));
        return false;
    }
    if (path == "/slowish") {
        start("Content-Length: 2000\r\n", 1000, 'a');
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Send(s, std::string(1000, 'b'));
        return true;
    }
    if (path == "/reset") {
        start("Content-Length: 10000\r\n", 100, 'r');
        linger abort{1, 0};
        ::setsockopt(s.Fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        return false;
    }
    if (path == "/nolength-reset") {  // running to the close, and reset instead
        Send(s, plain + lm + "\r\npart of it");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        linger abort{1, 0};
        ::setsockopt(s.Fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        return false;
    }
    if (path == "/nolength") {
        Send(s, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nall that came");
        return false;
    }
    if (path == "/chunked") {
        Send(s, plain + "Transfer-Encoding: chunked\r\n\r\n" +
                    "5\r\nfirst\r\n7;x=1\r\n-second\r\n00000000000000006\r\n-third\r\n0\r\n\r\n");
        return true;
    }
    if (path == "/gzchunked") {  // in one write
        const std::string body("\x1f\x8b\x08\x00gzipped-js", 14);
        Send(s, "HTTP/1.1 200 OK\r\nContent-Type: text/javascript\r\nContent-Encoding: gzip\r\n" +
                    lm + "Transfer-Encoding: chunked\r\n\r\n6\r\n" + body.substr(0, 6) +
                    "\r\n8\r\n" + body.substr(6) + "\r\n0\r\n\r\n");
        return true;
    }
    if (path == "/gz") {
        return reply(Answer("text/css", "Content-Encoding: gzip\r\n" + lm,
                            std::string("\x1f\x8b\x08\x00gzipped-css-bytes", 21)));
    }
    if (path == "/early") {  // hints first, as a site's front server may send them
        Send(s, "HTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\n\r\n");
        return reply(Answer("text/plain", lm, "after hints"));
    }
    if (path == "/shared-font") {  // what a font for pages of other hosts comes with
        if (ims == kLastModified) {
            Send(s,
                 "HTTP/1.1 304 Not Modified\r\nAccess-Control-Allow-Origin: *\r\n"
                 "X-Content-Type-Options: nosniff\r\n\r\n");
            return true;
        }
        return reply(Answer("font/woff2",
                            lm + "Access-Control-Allow-Origin: *\r\nSet-Cookie: visitor=1\r\n"
                                 "X-Content-Type-Options: nosniff\r\n",
                            "wOF2"));
    }
    // Its own meta tag after the head, split by a chunk's end; or bytes that
    // merely spell the word inside a compressed body.
    if (path == "/meta-nocache" || path == "/meta-nocache-gz") {
        const std::string page =
            "<html><head><meta http-equiv=\"Pragma\" content=\"no-cache\"></head></html>";
        const std::size_t split = page.find("no-cache") + 4;
        const auto chunk = [](std::string_view data) {
            char size[16];
            std::snprintf(size, sizeof size, "%zx\r\n", data.size());
            return size + std::string(data) + "\r\n";
        };
        const std::string coding = path.ends_with("-gz") ? "Content-Encoding: gzip\r\n" : "";
        Send(s, plain + lm + coding + "Transfer-Encoding: chunked\r\n\r\n" +
                    chunk(page.substr(0, split)));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Send(s, chunk(page.substr(split)) + "0\r\n\r\n");
        return true;
    }
    if (path == "/nocache" || path == "/nocache-capitals") {
        return reply(Answer(
            "text/plain",
            path == "/nocache" ? "Pragma: no-cache\r\n" : "Cache-Control: NO-CACHE\r\n", "fresh"));
    }
    // Pages for one visitor, said three ways (the last by its session cookie).
    if (path == "/private" || path == "/nostore" || path == "/session") {
        const std::string control = path == "/private" ? "Cache-Control: private, max-age=60\r\n"
                                    : path == "/nostore"
                                        ? "Cache-Control: no-store\r\n"
                                        : "Set-Cookie: sid=" + HeaderValue(head, "Cookie") + "\r\n";
        if (ims == kLastModified) {
            Send(s, "HTTP/1.1 304 Not Modified\r\n" + control + "\r\n");
            return true;
        }
        return reply(Answer("text/plain", lm + control, "for " + HeaderValue(head, "Cookie")));
    }
    // A public page that an edit makes private: "/goes-private/now" does it,
    // and the new version answers any condition whole, as its date moved;
    // "/goes-private-dated" keeps vouching for the old one by its date.
    if (path.starts_with("/goes-private")) {
        static std::atomic<bool> turned{false};
        turned = turned || path == "/goes-private/now";
        if (ims == kLastModified && (!turned || path == "/goes-private-dated")) {
            Send(s, "HTTP/1.1 304 Not Modified\r\n\r\n");
            return true;
        }
        if (turned) {
            return reply(Answer("text/plain", "Cache-Control: private\r\n", "private now"));
        }
        return reply(Answer("text/plain", lm, "public"));
    }
    if (path == "/vary-lang") {
        return reply(Answer("text/plain", lm + "Vary: Accept-Language\r\n",
                            HeaderValue(head, "Accept-Language")));
    }
    // Compressed for browsers that say they read gzip, like real servers.
    if (path == "/vary-enc") {
        if (ims == kLastModified) {
            Send(s,
                 "HTTP/1.1 304 Not Modified\r\nContent-Type: text/plain\r\n"
                 "Content-Encoding: gzip\r\nVary: Accept-Encoding\r\n\r\n");
            return true;
        }
        const std::string accepted = HeaderValue(head, "Accept-Encoding");
        const bool gzip = accepted.find("gzip") != std::string::npos &&
                          accepted.find("gzip;q=0") == std::string::npos;
        return reply(
            Answer("text/plain",
                   lm + "Vary: Accept-Encoding\r\n" + (gzip ? "Content-Encoding: gzip\r\n" : ""),
                   gzip ? std::string("\x1f\x8b\x08\x00"
                                      "any",
                                      7)
                        : "any"));
    }
    // A page whose versions share their date, told apart by their ETag only
    // (a file replaced within the same second): "/versioned/next" makes the
    // next version. 304 as a file server answers: to its ETag when asked by
    // one, else to its date.
    if (path.starts_with("/versioned")) {
        static std::atomic<int> version{1};
        if (path == "/versioned/next") {
            ++version;
        }
        const std::string tag = "\"v" + std::to_string(version.load()) + "\"";
        const std::string inm = HeaderValue(head, "If-None-Match");
        if (inm.empty() ? ims == kLastModified : inm == tag) {
            Send(s, "HTTP/1.1 304 Not Modified\r\nETag: " + tag + "\r\n\r\n");
            return true;
        }
        return reply(Answer("text/plain", lm + "ETag: " + tag + "\r\n",
                            "version " + std::to_string(version.load())));
    }
    // A file served in the second it was written, and written again within
    // it, of the same size: date and tag (a file server's, made of the two)
    // stay as they were. "/just-written/next" writes it.
    if (path.starts_with("/just-written")) {
        static std::atomic<int> version{1};
        if (path == "/just-written/next") {
            ++version;
        }
        const std::string inm = HeaderValue(head, "If-None-Match");
        if (ims == kLastModified && (inm.empty() || inm == "\"same\"")) {
            Send(s, "HTTP/1.1 304 Not Modified\r\nETag: \"same\"\r\n\r\n");
            return true;
        }
        return reply(Answer("text/plain", lm + "Date: " + kLastModified + "\r\nETag: \"same\"\r\n",
                            "version " + std::to_string(version.load())));
    }
    // A page sent without a type, whose 304 names one.
    // A JSON answer quoting a user's "<html>", plain or compressed.
    if (path == "/untyped-nosniff" || path == "/untyped-nosniff-gz") {
        return reply("HTTP/1.1 200 OK\r\n" + lm + "X-Content-Type-Options: nosniff\r\n" +
                     (path.ends_with("gz") ? "Content-Encoding: gzip\r\n" : "") +
                     "Content-Length: 15\r\n\r\n{\"c\":\"<html>x\"}");
    }
    if (path == "/untyped") {
        if (ims == kLastModified) {
            Send(s, "HTTP/1.1 304 Not Modified\r\nContent-Type: text/html; charset=utf-8\r\n\r\n");
            return true;
        }
        return reply("HTTP/1.1 200 OK\r\n" + lm + "Content-Length: 14\r\n\r\n<html>a</html>");
    }
    // The current version of a page whose older version a test stored: 304
    // to its own ETag, or to its own date.
    if (path == "/etag") {
        if (HeaderValue(head, "If-None-Match") == "\"v2\"" || ims == kLastModified) {
            Send(s, "HTTP/1.1 304 Not Modified\r\nETag: \"v2\"\r\n\r\n");
            return true;
        }
        return reply(Answer("text/plain", lm + "ETag: \"v2\"\r\n", "version 2"));
    }
    if (path == "/bighead") {
        return reply(
            Answer("text/plain", lm + "X-Big: " + std::string(70 * 1024, 'b') + "\r\n", "small"));
    }
    if (path == "/bodyheaders") {
        return reply(
            Answer("text/plain", "",
                   "Content-Encoding: x\r\nContent-Length: 5\r\nLast-Modified: never\r\n"));
    }
    if (path == "/bigpolicy") {  // a policy as long as large sites send
        return reply(Answer(
            "text/html",
            lm + "Content-Security-Policy: script-src 'self' " + std::string(2100, 'p') + "\r\n",
            "guarded"));
    }
    if (path == "/events") {  // a stream that ends after two events, for the page to come back
        return reply(Answer("text/event-stream; charset=utf-8", lm, "data: 1\n\ndata: 2\n\n"));
    }
    // Broadcasts the station ended: the close ends the body.
    if (path == "/radio" || path == "/radio-icy") {
        const std::string type =
            path == "/radio" ? "audio/mpeg\r\n" : "application/octet-stream\r\nicy-name: One\r\n";
        Send(s, "HTTP/1.1 200 OK\r\nContent-Type: " + type + lm + "\r\n" + std::string(4000, 'r'));
        return false;
    }
    if (path == "/spaces") {
        return reply(plain + "content-length:  12 \r\n\r\ntwelve bytes");
    }
    if (path == "/lengthlist") {
        return reply(plain + "Content-Length: 12, 12\r\nContent-Length: 12\r\n\r\ntwelve bytes");
    }
    if (path == "/missing") {
        return reply(
            "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: 9\r\n\r\n"
            "not found");
    }
    return reply(Answer("text/html", lm, originName.empty() ? "hello" : originName));
}

}  // namespace

int main(int argc, char** argv) {
    originName = argc > 1 ? argv[1] : "";
    vs::test::LoopbackServer server([](vs::net::Socket& s) {
        std::string head;
        while ((head = vs::test::ReadUntil(s, "\r\n\r\n")).ends_with("\r\n\r\n") &&
               Serve(s, head)) {
        }
    });
    std::printf("ready %d\n", server.Port());
    std::fflush(stdout);
    for (;;) {
        ::pause();
    }
}
