#pragma once
// The connection record: one per browser connection, owned by the client
// connection, attached to the outbound connection as its hook object. It
// carries what the proxy knows about the connection and its current request,
// and the flags through which request processing tells the response path
// what it decided.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "cache/cache_entry.h"
#include "proxy/body_framer.h"
#include "proxy/connection.h"

namespace vs {
class TMyRegEx;
}

namespace vs::proxy {

class Engine;

class TMyIntercept : public ConnectionIntercept, public ConnectionData {
public:
    TMyIntercept(Engine& engine, Connection& client);
    // The connection's final work: finishes the cache entry, closes the
    // request's monitor row, gives the matcher back.
    ~TMyIntercept() override;

    // Send hook: request processing of every block on its way upstream.
    void Send(std::string& bytes) override;
    // Receive hook: the response path of every block from upstream.
    void Receive(std::string& bytes) override;
    bool Opaque() const override { return TunnelOpen; }
    void Tunnelled(Direction direction, std::size_t bytes) override;
    std::size_t UnseenRoom() const override;
    void PassedUnseen(std::size_t bytes) override;

    // Clears the per-request fields.
    void ResetRequest();

    Engine& Owner() { return engine_; }

    // Request target of the current request as in its request line.
    std::string URL;
    // The first request, read at connect time, processed in place, sent once
    // the outbound connection is up.
    std::string FirstData;
    Connection* ClientConnection;
    // Lent by the matcher pool for the connection's lifetime.
    TMyRegEx* RegEx;
    std::int32_t ConnectionNo;
    std::int32_t RequestNo = -1;
    std::int32_t MonitorRow = -1;
    std::int32_t UserIndex = -1;
    // Body length announced by the answer, 0 when none; and body bytes seen.
    // 64 bits: downloads beyond 2 GiB are ordinary.
    std::int64_t ContentLength = 0;
    std::int64_t Received = 0;
    std::int64_t CacheSize = 0;
    std::int32_t StatusCode = 0;
    std::string StatusText;
    std::string CacheFileName;
    std::string LastModified;
    std::string ContentEncoding;
    std::string ContentType;
    // The cache entry being written for this answer, and the one whose body
    // answers this request.
    std::unique_ptr<cache::EntryWriter> CacheWriteStream;
    std::unique_ptr<cache::EntryReader> CacheReadStream;
    bool ConditionalByProxy = false;
    bool AnsweredFromCache = false;
    bool ClientIMSRemoved = false;
    bool ErrorPageSent = false;
    bool BadGatewaySent = false;
    bool RedirectSent = false;
    bool AuthRequestSent = false;
    // The first request was processed at connect time; its pass through the
    // Send hook must not process it again.
    bool FirstDataDone = false;

    // A CONNECT was seen: after its answer everything is opaque.
    bool Tunnel = false;
    // The proxy answers the CONNECT itself (direct mode).
    bool TunnelAnsweredByProxy = false;
    bool TunnelOpen = false;
    std::uint64_t TunnelledUp = 0;
    std::uint64_t TunnelledDown = 0;

    // The current request is a HEAD: its answer has no body, so it is never
    // stored, made conditional or answered with a body from the cache.
    bool HeadRequest = false;

    // Where the stream towards upstream stands: inside a request body, or
    // collecting a request header that arrived in pieces.
    BodyFramer RequestBody;
    std::string PendingHeader;
    // The same for the answer: its header collected before it is read, its
    // body followed to its end.
    std::string PendingAnswer;
    BodyFramer AnswerBody;

private:
    Engine& engine_;
};

}  // namespace vs::proxy
