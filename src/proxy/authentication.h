#pragma once
// Proxy authentication both ways: admitting a browser connection by the
// users list (its Basic proxy credentials or its address), and the proxy
// credentials of requests going upstream. Proxy credentials go only to a
// proxy: the browser's line never reaches an origin server, and the parent
// proxy's credentials only the parent.

#include <string>
#include <string_view>

#include "proxy/http_head.h"
#include "proxy/proxy_config.h"

namespace vs::proxy {

class Session;
struct Exchange;

// Admission of a new connection on its first request: logs the connection
// and returns the row of the users list that admits it, -1 when none does.
int AdmitConnection(Session& session, const http::MessageHead& firstRequest,
                    std::string_view address);

// A later request on an admitted connection, once the users list has
// changed since or when it carries other credentials than the admitting one
// (a proxy in front sends several browsers' requests on one connection):
// false when no row admits it (the user disabled or removed while the
// browser kept its connection open, a browser behind that proxy without a
// password). The row that admits it becomes the session's.
bool StillAdmitted(Session& session, const http::MessageHead& request);

// The 407 page, as the answer to a refused connection's first request; the
// browser connection is closed.
void RefuseConnection(Session& session, Exchange& exchange);

// The proxy credentials of a request about to go upstream. Through a parent
// proxy: the parent user's credentials in place of the browser's line (or
// inserted); without a parent user the browser's own line goes on as it
// came. Straight to an origin: no Proxy-Authorization line at all.
void ApplyProxyCredentials(const ProxyConfig& config, bool toParent, http::MessageHead& request);

// A request's head as the log shows it: the proxy credentials' scheme, not
// the password it carries. The log reaches the journal and the window's
// "copy all", where the users' and the parent's passwords, kept scrambled in
// files only the proxy reads, would be one base64 decode away.
std::string LoggedRequestText(const http::MessageHead& request);

}  // namespace vs::proxy
