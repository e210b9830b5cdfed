#include "proxy/intercept.h"

namespace vs::proxy {

// Request processing of later requests and the response path hook in here;
// until then bytes pass unchanged, in both directions and in tunnels.
void TMyIntercept::Send(std::string& bytes) {}

void TMyIntercept::Receive(std::string& bytes) {
    if (Tunnel) {
        TunnelOpen = true;  // the parent's reply to the CONNECT has arrived
    }
}

void TMyIntercept::Tunnelled(Direction direction, std::size_t bytes) {
    (direction == Direction::Upstream ? TunnelledUp : TunnelledDown) += bytes;
}

}  // namespace vs::proxy
