#pragma once
// One request and its answer on a browser connection: the request's number,
// monitor row and decisions, and the answer's state with the cache entry
// being written or served. Every request starts a fresh Exchange, so nothing
// of the request before it can leak into it; the connection's own state
// (admission, user, where it is connected) lives in its Session.

#include <cstdint>
#include <memory>
#include <string>

#include "cache/cache_entry.h"
#include "proxy/body_framer.h"
#include "proxy/proxy_config.h"

namespace vs::proxy {

// Who gives the request its answer. Anything but kUpstream is the proxy
// itself, and no internet traffic is counted for it.
enum class AnsweredBy {
    kUpstream,
    kErrorPage,    // the 403 or 404 page
    kRedirect,     // the 302
    kAuthRequest,  // the 407 page
    kCache,        // answered from the cache without asking upstream
    kBadGateway,   // the 502 page after upstream failed
};

// What became of the request's If-Modified-Since.
enum class Condition {
    kAsSent,
    kByProxy,  // the proxy's own, for its cache entry (or a local cache answer)
    // None, the browser's removed in a write-only cache: the whole answer is
    // to replace what is stored (also after a forced reload, over an entry
    // from elsewhere or in an encoding this browser cannot read), and one
    // the cache may not keep outdates it.
    kWholeOverEntry,
};

struct Exchange {
    // The request, as the browser wrote it: what the log, the monitor and
    // the pages show.
    std::string url;
    // The same as the origin gets it: letters a client sent raw (curl, old
    // Windows tools) escaped byte for byte, as a browser sends them. The
    // cache keys entries by it, and the lists meet it too, so that both
    // spellings of one URL are one page to them.
    std::string urlSent;
    std::string method;  // in capitals
    // Methods are case-sensitive: a server may answer "get" otherwise than
    // GET, and that answer must not be stored for, or given to, the URL's GET.
    bool methodInCapitals = true;
    // The configuration current when the request began: every decision on
    // this exchange reads it, so a change of settings meanwhile never sends
    // half a request one way and half the other.
    std::shared_ptr<const ProxyConfig> config;
    // The request carries the user's own credentials for the origin: its
    // answer is that user's.
    bool authorized = false;
    // The browser's "Cache-Control: no-store": nothing of the exchange may
    // be kept.
    bool browserForbidsStore = false;
    // The browser asked to close the connection after this answer
    // ("Connection: close", or HTTP/1.0 without keep-alive).
    bool browserCloses = false;
    // An HTTP/1.0 browser, which takes any answer for the final one: it
    // must never see an interim (1xx) answer, nor chunk framing, which it
    // cannot read.
    bool browserOnHttp10 = false;
    // The answer's chunks go to that browser as their content alone, the
    // connection's close ending it.
    bool unchunkForBrowser = false;
    // The browser asked to switch protocols (a WebSocket): what it sends
    // after the request waits for the answer, which a 101 makes the tunnel's.
    bool asksUpgrade = false;
    // The request carries a body. A GET with one (a search API's query)
    // asks what its URL alone does not say: its answer is not the URL's.
    bool sendsBody = false;
    std::int32_t requestNo = -1;
    std::int32_t monitorRow = -1;
    AnsweredBy answeredBy = AnsweredBy::kUpstream;
    Condition condition = Condition::kAsSent;

    // The answer. Its head is collected in PendingAnswer until it is whole.
    std::string pendingAnswer;
    bool answerStarted = false;  // a byte of it has arrived
    bool answerHeadSeen = false;
    http::BodyFramer answerBody;
    std::int64_t contentLength = 0;  // as announced; 0 when not a length
    std::int64_t received = 0;       // body bytes so far
    std::int64_t cacheSize = 0;      // body bytes of the entry served
    // The Range a browser sent with a request answered from the cache
    // without asking; empty when none.
    std::string localRange;
    std::int32_t statusCode = 0;
    std::string statusText;
    std::string cacheFileName;
    std::string lastModified;
    std::string contentEncoding;
    std::string contentType;
    // The entry being written for this answer, and the one whose body
    // answers this request.
    std::unique_ptr<cache::EntryWriter> cacheWriter;
    std::unique_ptr<cache::EntryReader> cacheReader;
    // While the entry is written, the page's head is looked through for
    // its own "no-cache", however the network cut it: the body bytes still
    // to look at, and the last few looked at (the word split between reads).
    std::size_t pageHeadLeft = 0;
    std::string pageHeadTail;

    bool AnsweredHere() const { return answeredBy != AnsweredBy::kUpstream; }
    // The 407 has answered and closed the connection: what request
    // processing decides for the request counts its rule hits and logs the
    // request, but answers nothing and shows no second answer in its row.
    bool RefusedAtAdmission() const { return answeredBy == AnsweredBy::kAuthRequest; }
    bool IsConnect() const { return method == "CONNECT"; }
    bool IsHead() const { return method == "HEAD"; }
    // Only a GET's answer is stored, and only a GET or HEAD is answered
    // from the cache.
    bool IsGet() const { return method == "GET"; }
    // A GET or HEAD whose answer the URL alone decides: the cache may hold
    // and give it.
    bool AsksForTheUrl() const { return (IsGet() || IsHead()) && methodInCapitals && !sendsBody; }
    bool ToParent() const { return config->useParent; }
};

}  // namespace vs::proxy
