#pragma once
// Proxy authentication both ways: admitting a browser connection by the
// users list (its Basic proxy credentials or its address), and giving
// forwarded requests the parent proxy's credentials.

#include <string>
#include <string_view>

#include "shell/settings.h"

namespace vs::proxy {

class TMyIntercept;

// Admission of a new connection on its first request (already in the
// record's FirstData). Logs the connection, answers the 407 page when no row
// admits it, and sets the record's UserIndex (-1 when refused).
void AdmitConnection(TMyIntercept& record, std::string_view address);

// Puts the parent proxy's credentials into a request going upstream,
// replacing the browser's own line in place or inserting one. Returns
// whether a parent user is configured (the request then counts as changed,
// even when no place for the line was found).
bool AddAuthorization(const Settings& settings, std::string& request);

}  // namespace vs::proxy
