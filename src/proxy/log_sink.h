#pragma once
// Where the proxy engine's log entries go: a heading ("# 7:  Outbound
// Connection") and a body, both 8-bit text. Called on worker threads.

#include <functional>
#include <string_view>

namespace vs::proxy {

using LogSink = std::function<void(std::string_view header, std::string_view body)>;

}  // namespace vs::proxy
