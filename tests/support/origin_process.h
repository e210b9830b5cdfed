#pragma once
// The test origin server as a process of its own, with the requests it saw.

#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/net_helpers.h"
#include "support/wait.h"

namespace vs::test {

class OriginProcess {
public:
    // A named origin says so in every answer ("X-Origin: name").
    explicit OriginProcess(const std::filesystem::path& logDir, std::string name = "")
        : process_("origin" + name, {TEST_ORIGIN_PATH, name}, logDir) {
        WaitUntil([this] {
            const std::string out = process_.Stdout();
            if (out.starts_with("ready ") && out.find('\n') != std::string::npos) {
                port_ = std::stoi(out.substr(6));
            }
            return port_ != 0;
        });
        if (port_ == 0) {
            throw std::runtime_error("test origin did not start");
        }
    }
    std::uint16_t Port() const { return static_cast<std::uint16_t>(port_); }
    std::string Url(std::string_view path) const { return LoopbackUrl(Port(), path); }
    // One "request line<TAB>If-Modified-Since or -" per request seen.
    std::vector<std::string> Requests() const {
        std::vector<std::string> lines;
        std::istringstream in(process_.Stdout());
        std::string line;
        std::getline(in, line);  // "ready"
        while (std::getline(in, line)) {
            lines.push_back(line);
        }
        return lines;
    }

private:
    ChildProcess process_;
    int port_ = 0;
};

}  // namespace vs::test
