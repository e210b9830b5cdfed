#include "proxy/authentication.h"

#include <algorithm>

#include "base/base64.h"
#include "base/blanks.h"
#include "base/cp1251.h"
#include "proxy/engine.h"
#include "proxy/exchange.h"
#include "proxy/generated_pages.h"
#include "proxy/request_processing.h"
#include "proxy/response_path.h"
#include "proxy/session.h"
#include "rules/users_list.h"

namespace vs::proxy {

namespace {

constexpr std::string_view kCredentials = "Proxy-Authorization";

// The token after "Basic" and its spaces (one or more may stand there) of
// the browser's credentials; empty without any.
std::string_view BasicToken(const http::MessageHead& request) {
    std::string_view value = request.Value(kCredentials).value_or("");
    if (value.size() <= 6 || !cp1251::EqualsNoCase(value.substr(0, 6), "Basic ")) {
        return {};
    }
    value.remove_prefix(6);
    return value.substr(std::min(value.find_first_not_of(' '), value.size()));
}

// The log's word of who the connection's requests are from now.
void LogConnectionFrom(Session& s, const UsersSnapshot& users, int index,
                       std::string_view address) {
    std::string user = index >= 0 ? cp1251::FromUtf8(users.rows[index].name) : "???";
    s.Owner().PutToLog("# " + std::to_string(s.connectionNo) + ": Connection from " + user + "/" +
                           std::string(address),
                       {});
}

}  // namespace

int AdmitConnection(Session& s, const http::MessageHead& firstRequest, std::string_view address) {
    auto users = s.Owner().Lists().users.Snapshot();
    const int index = FindUser(*users, BasicToken(firstRequest), address);
    if (index >= 0) {
        s.userName = users->rows[index].name;
        s.userId = users->rows[index].id;
    }
    s.admittedBy = users;
    s.admittedToken = BasicToken(firstRequest);
    LogConnectionFrom(s, *users, index, address);
    return index;
}

bool StillAdmitted(Session& s, const http::MessageHead& request) {
    auto users = s.Owner().Lists().users.Snapshot();
    const std::string_view token = BasicToken(request);
    if (users == s.admittedBy && token == s.admittedToken) {
        return true;
    }
    const int index = FindUser(*users, token, s.ClientAddress());
    if (token != s.admittedToken) {
        // Another browser behind a proxy in front: the log tells whose
        // requests follow, as for a new connection.
        LogConnectionFrom(s, *users, index, s.ClientAddress());
    }
    s.admittedBy = users;
    s.admittedToken = token;
    if (index < 0) {
        return false;
    }
    s.userIndex = index;
    s.userName = users->rows[index].name;
    s.userId = users->rows[index].id;
    return true;
}

void RefuseConnection(Session& s, Exchange& e) {
    Engine& engine = s.Owner();
    std::string answer = AuthRequiredAnswer(engine.TimeSource().Now());
    AnswerLocally(s, e, answer);
    e.answeredBy = AnsweredBy::kAuthRequest;
    if (e.monitorRow < 0) {
        s.AddMonitorRow(e);
    }
    ShowAnswer(s, e, std::move(answer));
}

void ApplyProxyCredentials(const ProxyConfig& config, bool toParent, http::MessageHead& request) {
    if (!toParent) {
        request.Remove(kCredentials);
        return;
    }
    if (config.parentUser.empty()) {
        return;
    }
    // In UTF-8, as parents on this platform read Basic credentials. This
    // proxy's own users list admits both that and the code page.
    request.Set(kCredentials,
                "Basic " + EncodeBase64(config.parentUser + ":" + config.parentPassword));
}

namespace {

bool FoldFollows(std::string_view text, std::size_t lineEnd) {
    return lineEnd + 1 < text.size() && (text[lineEnd + 1] == ' ' || text[lineEnd + 1] == '\t');
}

// Where the secret of a credentials line starts: after the scheme's word
// ("Basic", "Bearer"), or at the value when a lone word is all there is
// (an API key sent without a scheme) and no folded line carries the rest.
std::size_t CredentialsStart(std::string_view line, std::size_t colon, bool foldFollows) {
    const std::size_t scheme = line.find_first_not_of(" \t\r", colon + 1);
    if (scheme == std::string_view::npos) {
        return scheme;
    }
    const std::size_t afterScheme = line.find_first_of(" \t\r", scheme);
    const bool loneWord = line.find_first_not_of(" \t\r", afterScheme) == std::string_view::npos;
    return loneWord && !foldFollows ? colon + 1 : afterScheme;
}

}  // namespace

std::string LoggedRequestText(const http::MessageHead& request) {
    std::string text = request.Text();
    bool inCredentials = false;  // a folded line goes on the one before
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        const std::string_view line(text.data() + start, end - start);
        const std::size_t valueEnd = line.ends_with('\r') ? line.size() - 1 : line.size();
        std::size_t hideFrom = std::string_view::npos;
        if (inCredentials && (line.starts_with(' ') || line.starts_with('\t'))) {
            hideFrom = line.find_first_not_of(" \t");
        } else {
            // The name as a lenient reader takes it, blanks before the colon
            // and all.
            const std::size_t colon = line.find(':');
            const std::string_view name =
                colon == std::string_view::npos ? line : TrimBlanks(line.substr(0, colon));
            // A site's own login (Authorization) is as much a password as
            // the proxy's, and a daemon's log is read by more than its users.
            inCredentials =
                colon != std::string_view::npos && (cp1251::EqualsNoCase(name, kCredentials) ||
                                                    cp1251::EqualsNoCase(name, "Authorization"));
            if (inCredentials) {
                hideFrom = CredentialsStart(line, colon, FoldFollows(text, end));
            }
        }
        if (hideFrom != std::string_view::npos && hideFrom < valueEnd) {
            text.replace(start + hideFrom, valueEnd - hideFrom, " ********");
            end = text.find('\n', start);
            end = end == std::string::npos ? text.size() : end;
        }
        start = end + 1;
    }
    return text;
}

}  // namespace vs::proxy
