#include "proxy/intercept.h"

namespace vs::proxy {

// Request processing of later requests and the response path hook in here;
// until then bytes pass unchanged, in both directions and in tunnels.
void TMyIntercept::Send(std::string& bytes) {}

void TMyIntercept::Receive(std::string& bytes) {}

}  // namespace vs::proxy
