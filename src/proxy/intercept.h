#pragma once
// The connection record: one per browser connection, owned by the client
// connection, attached to the outbound connection as its hook object. It
// carries what the handlers know about the connection and its request.

#include <cstdint>
#include <string>

#include "proxy/connection.h"

namespace vs::proxy {

class TMyIntercept : public ConnectionIntercept, public ConnectionData {
public:
    explicit TMyIntercept(Connection& client, std::int32_t connectionNo)
        : ClientConnection(&client), ConnectionNo(connectionNo) {}

    void Send(std::string& bytes) override;
    void Receive(std::string& bytes) override;
    bool Opaque() const override { return TunnelOpen; }
    void Tunnelled(Direction direction, std::size_t bytes) override;

    // Request target of the current request as in its request line.
    std::string URL;
    // The first bytes the browser sent; sent upstream once connected.
    std::string FirstData;
    Connection* ClientConnection;
    std::int32_t ConnectionNo;
    // The first request was processed at connect time; its pass through the
    // Send hook must not process it again.
    bool FirstDataDone = false;
    // After a CONNECT everything is opaque: tunnelled bytes are never taken
    // for requests or answers.
    bool Tunnel = false;
    // The proxy answers the CONNECT itself (direct mode).
    bool TunnelAnsweredByProxy = false;
    // The CONNECT has been answered (by the proxy, or the parent's reply has
    // passed): from now on the bytes are opaque.
    bool TunnelOpen = false;
    // Bytes moved through the open tunnel, each way.
    std::uint64_t TunnelledUp = 0;
    std::uint64_t TunnelledDown = 0;
};

}  // namespace vs::proxy
