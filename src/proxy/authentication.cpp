#include "proxy/authentication.h"

#include "base/base64.h"
#include "base/cp1251.h"
#include "cache/cache_store.h"
#include "cache/response_path.h"
#include "proxy/engine.h"
#include "proxy/generated_pages.h"
#include "proxy/intercept.h"
#include "rules/users_list.h"

namespace vs::proxy {

namespace {

const Pattern& CredentialsLine() {
    static const auto p =
        Pattern::Compile("^Proxy-Authorization: Basic (.+)$", kRegexCaseless | kRegexMultiline);
    return *p;
}

void RefuseConnection(TMyIntercept& record) {
    Engine& engine = record.Owner();
    std::string answer = AuthRequiredAnswer(engine.TimeSource().Now());
    record.ClientConnection->WriteLn(answer);
    record.AuthRequestSent = true;
    record.ClientConnection->Disconnect();
    if (record.MonitorRow < 0) {
        record.MonitorRow = engine.SendNewConnectionToList(record.URL);
    }
    cache::ProcessResponse(record, answer);
}

}  // namespace

void AdmitConnection(TMyIntercept& record, std::string_view address) {
    Engine& engine = record.Owner();
    std::string_view token = CredentialsLine().FindGroup(record.FirstData, 1).value_or("");
    auto users = engine.Lists().users.Snapshot();
    int index = FindUser(*users, token, address);
    std::string user = index >= 0 ? cp1251::FromUtf8(users->rows[index].name) : "???";
    engine.PutToLog("# " + std::to_string(record.ConnectionNo) + ": Connection from " + user + "/" +
                        std::string(address),
                    {});
    if (index < 0) {
        RefuseConnection(record);
    }
    record.UserIndex = index;
}

bool AddAuthorization(const Settings& settings, std::string& request) {
    if (settings.UserNameEd.empty()) {
        return false;
    }
    std::string line = "Proxy-Authorization: Basic " +
                       EncodeBase64(settings.UserNameEd + ":" + settings.UserPswEd);
    if (auto old = CredentialsLine().Find(request)) {
        // The whole matched line, without its line end, gives way.
        std::size_t start = static_cast<std::size_t>(old->Offset(0));
        request.replace(start, old->Group(0).size(), line);
        return true;
    }
    std::size_t position = cache::HeaderInsertPos(request);
    if (position > 0) {
        request.insert(position - 1, line + "\r\n");
    }
    return true;
}

}  // namespace vs::proxy
