// A small HTTP origin server run as a process of its own by the cache tests.
// Usage: vellostore_test_origin PORT [NAME]
// Prints "ready" once listening, then one line per request: the request
// line, a tab, and the If-Modified-Since value (or "-"). A NAME is sent in
// an "X-Origin" field of every answer, so that tests see who answered.
//
// Paths:
//   /lm/NAME          200 "body of NAME", Last-Modified on an odd second;
//                     304 when If-Modified-Since equals it exactly
//   /date/NAME        the same with only a Date header
//   /gz               gzip-encoded "text/css" answer
//   /chunked          chunked "text/plain" answer in three chunks
//   /badchunked       chunked answer whose second size line is not a number
//   /short            Content-Length 1000, 600 bytes, then close
//   /huge             Content-Length 3221225472, 4096 bytes, then close
//   /nolength         no Content-Length: body, then close
//   /nocache          "Pragma: no-cache"
//   /who              200 with Last-Modified, the body is NAME
//   /missing          404 with a small page
//   /nospace          "Content-Length:100" without a blank, 50 bytes, close
//   /spaces           "Content-Length:  12 " with its 12 bytes
//   /gzchunked        gzip-encoded "text/javascript", chunked, in one write
//   /bodyheaders      a body whose lines look like header fields
//   /stall...         no length, 1000 bytes, then 30 s of silence
//   /private, /nostore   "Cache-Control: private" / "no-store", the body
//                     names the request's Cookie
//   /vary-lang        "Vary: Accept-Language", the body is that field
//   /vary-enc         "Vary: Accept-Encoding"
//   /module.js        "text/javascript", 304 like /lm/
//   /bighead          a 70 KiB header field, then a small body
//   /hugelength       "Content-Length: 1000000000000000000", 5 bytes, close
//   /twolengths       Content-Length 5 and 9, 9 bytes, close
//   /overrun          a chunk longer than its size, close
//   /spacedte         "Transfer-Encoding : chunked", a chunked body, close
//   /foldedte         "Transfer-Encoding:" folded onto a second line, close
//   /slow             Content-Length 100000, 1000 bytes, then 30 s of silence
//   /slowish          Content-Length 2000, 1000 bytes, 300 ms, the other 1000
//   /reset            Content-Length 10000, 100 bytes, then a connection reset
//   anything else     200 "hello" with Last-Modified

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "net/socket.h"

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
    const bool head_only = line.rfind("HEAD ", 0) == 0;
    auto reply = [&](const std::string& full) {
        if (head_only) {
            Send(s, full.substr(0, full.find("\r\n\r\n") + 4));
        } else {
            Send(s, full);
        }
    };
    if (path.rfind("/lm/", 0) == 0 || path.rfind("/date/", 0) == 0) {
        const bool lm = path.rfind("/lm/", 0) == 0;
        if (ims == kLastModified) {
            Send(s, "HTTP/1.1 304 Not Modified\r\nConnection: keep-alive\r\n\r\n");
            return true;
        }
        std::string dates = lm ? std::string("Last-Modified: ") + kLastModified + "\r\n"
                               : std::string("Date: ") + kLastModified + "\r\n";
        reply(Answer("text/plain", dates, "body of " + path.substr(path.rfind('/') + 1)));
        return true;
    }
    if (path == "/gz") {
        std::string body("\x1f\x8b\x08\x00gzipped-css-bytes", 21);
        reply(Answer(
            "text/css",
            "Content-Encoding: gzip\r\nLast-Modified: " + std::string(kLastModified) + "\r\n",
            body));
        return true;
    }
    if (path == "/badchunked") {
        Send(s,
             "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n"
             "5\r\nfirst\r\nzz\r\nwhatever follows\r\n");
        return false;
    }
    if (path == "/chunked") {
        Send(s,
             "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n"
             "5\r\nfirst\r\n7;x=1\r\n-second\r\n6\r\n-third\r\n0\r\n\r\n");
        return true;
    }
    if (path == "/short" || path == "/huge") {
        const bool huge = path == "/huge";
        Send(s, std::string("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: ") +
                    (huge ? "3221225472" : "1000") + "\r\n\r\n" +
                    std::string(huge ? 4096 : 600, 'x'));
        return false;
    }
    if (path == "/slow") {
        Send(s, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 100000\r\n\r\n" +
                    std::string(1000, 's'));
        std::this_thread::sleep_for(std::chrono::seconds(30));
        return false;
    }
    if (path == "/slowish") {
        Send(s, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2000\r\n\r\n" +
                    std::string(1000, 'a'));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Send(s, std::string(1000, 'b'));
        return true;
    }
    if (path == "/reset") {
        Send(s, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10000\r\n\r\n" +
                    std::string(100, 'r'));
        linger abort{1, 0};
        ::setsockopt(s.Fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        return false;
    }
    if (path == "/nolength") {
        Send(s, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nall that came");
        return false;
    }
    if (path == "/nocache") {
        reply(Answer("text/plain", "Pragma: no-cache\r\n", "fresh"));
        return true;
    }
    const std::string lm = std::string("Last-Modified: ") + kLastModified + "\r\n";
    if (path == "/private" || path == "/nostore") {
        reply(Answer("text/plain",
                     lm + (path == "/private" ? "Cache-Control: private, max-age=60\r\n"
                                              : "Cache-Control: no-store\r\n"),
                     "for " + HeaderValue(head, "Cookie")));
        return true;
    }
    if (path == "/vary-lang" || path == "/vary-enc") {
        reply(Answer(
            "text/plain",
            lm + (path == "/vary-lang" ? "Vary: Accept-Language\r\n" : "Vary: Accept-Encoding\r\n"),
            path == "/vary-lang" ? HeaderValue(head, "Accept-Language") : "any"));
        return true;
    }
    if (path == "/module.js") {
        if (ims == kLastModified) {
            Send(s, "HTTP/1.1 304 Not Modified\r\nConnection: keep-alive\r\n\r\n");
            return true;
        }
        reply(Answer("text/javascript", lm, "export const x = 1;"));
        return true;
    }
    if (path == "/bighead") {
        reply(Answer("text/plain", lm + "X-Big: " + std::string(70 * 1024, 'b') + "\r\n", "small"));
        return true;
    }
    const std::string plain = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n" + lm;
    if (path == "/hugelength") {
        Send(s, plain + "Content-Length: 1000000000000000000\r\n\r\nfive!");
        return false;
    }
    if (path == "/twolengths") {
        Send(s, plain + "Content-Length: 5\r\nContent-Length: 9\r\n\r\n123456789");
        return false;
    }
    if (path == "/overrun") {
        Send(s, plain + "Transfer-Encoding: chunked\r\n\r\n3\r\nabcdef\r\n0\r\n\r\n");
        return false;
    }
    if (path == "/spacedte" || path == "/foldedte") {
        Send(s, plain +
                    (path == "/spacedte" ? "Transfer-Encoding : chunked\r\n"
                                         : "Transfer-Encoding:\r\n chunked\r\n") +
                    "\r\n3\r\nabc\r\n0\r\n\r\n");
        return false;
    }
    if (path == "/who") {
        reply(Answer("text/plain", std::string("Last-Modified: ") + kLastModified + "\r\n",
                     originName));
        return true;
    }
    if (path == "/missing") {
        reply(
            "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: 9\r\n\r\n"
            "not found");
        return true;
    }
    if (path == "/nospace") {
        Send(s, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length:100\r\n\r\n" +
                    std::string(50, 'n'));
        return false;
    }
    if (path == "/spaces") {
        reply(
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\ncontent-length:  12 \r\n\r\n"
            "twelve bytes");
        return true;
    }
    if (path == "/gzchunked") {
        std::string body("\x1f\x8b\x08\x00gzipped-js", 14);
        Send(s,
             "HTTP/1.1 200 OK\r\nContent-Type: text/javascript\r\nContent-Encoding: gzip\r\n"
             "Last-Modified: " +
                 std::string(kLastModified) + "\r\nTransfer-Encoding: chunked\r\n\r\n6\r\n" +
                 body.substr(0, 6) + "\r\n8\r\n" + body.substr(6) + "\r\n0\r\n\r\n");
        return true;
    }
    if (path == "/bodyheaders") {
        reply(Answer("text/plain", "",
                     "Content-Encoding: x\r\nContent-Length: 5\r\nLast-Modified: never\r\n"));
        return true;
    }
    if (path.rfind("/stall", 0) == 0) {
        Send(s, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n" +
                    std::string(1000, 's'));
        std::this_thread::sleep_for(std::chrono::seconds(30));
        return false;
    }
    reply(Answer("text/html", std::string("Last-Modified: ") + kLastModified + "\r\n", "hello"));
    return true;
}

void Connection(vs::net::Socket s) {
    std::string pending;
    char block[16384];
    try {
        for (;;) {
            std::size_t end;
            while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
                std::size_t n = vs::net::ReceiveSome(s, block, sizeof block);
                if (n == 0) {
                    return;
                }
                pending.append(block, n);
            }
            std::string head = pending.substr(0, end + 4);
            pending.erase(0, end + 4);
            if (!Serve(s, head)) {
                return;
            }
        }
    } catch (const std::exception&) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    int port = argc > 1 ? std::atoi(argv[1]) : 0;
    originName = argc > 2 ? argv[2] : "";
    vs::net::Socket listener =
        vs::net::ListenTcp("127.0.0.1", static_cast<std::uint16_t>(port), 64);
    std::printf("ready %d\n", vs::net::LocalPort(listener));
    std::fflush(stdout);
    for (;;) {
        int fd = ::accept(listener.Fd(), nullptr, nullptr);
        if (fd >= 0) {
            std::thread(Connection, vs::net::Socket(fd)).detach();
        }
    }
}
