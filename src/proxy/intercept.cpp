#include "proxy/intercept.h"

#include "cache/response_path.h"
#include "proxy/engine.h"
#include "proxy/request_processing.h"

namespace vs::proxy {

TMyIntercept::TMyIntercept(Engine& engine, Connection& client)
    : ClientConnection(&client),
      RegEx(&engine.Matchers().Acquire()),
      ConnectionNo(engine.NextConnectionNo()),
      engine_(engine) {}

TMyIntercept::~TMyIntercept() {
    cache::FinishCacheWrite(*this);
    if (MonitorRow >= 0 && !engine_.Closing.load()) {
        TCmd end;
        end.Index = MonitorRow;
        end.State = 2;
        if (StatusCode == 0) {
            end.Value = 4;
            end.Answer = "502 Bad Gateway";
        }
        engine_.AddCmdListItem(std::move(end));
    }
    MatcherPool::Release(*RegEx);
}

void TMyIntercept::ResetRequest() {
    URL.clear();
    RequestNo = -1;
    MonitorRow = -1;
    ContentLength = 0;
    Received = 0;
    StatusText.clear();
    StatusCode = 0;
    CacheFileName.clear();
    LastModified.clear();
    ContentEncoding.clear();
    ContentType.clear();
    CacheWriteStream.reset();  // finished (or discarded) by FinishCacheWrite before
    CacheReadStream.reset();
    PendingAnswer.clear();
    AnswerBody = BodyFramer();
    ConditionalByProxy = false;
    AnsweredFromCache = false;
    ClientIMSRemoved = false;
    ErrorPageSent = false;
    BadGatewaySent = false;
    RedirectSent = false;
    AuthRequestSent = false;
}

void TMyIntercept::Send(std::string& bytes) {
    if (FirstDataDone) {
        FirstDataDone = false;  // the first request, processed at connect time
        return;
    }
    bytes = FilterUpstream(*this, bytes);
}

void TMyIntercept::Receive(std::string& bytes) {
    cache::ReceiveFromUpstream(*this, bytes);
    if (Tunnel && !StatusText.empty()) {
        TunnelOpen = true;  // the parent's answer to the CONNECT has passed
    }
}

std::size_t TMyIntercept::UnseenRoom() const {
    return cache::UnseenRoom(*this);
}

void TMyIntercept::PassedUnseen(std::size_t bytes) {
    cache::PassedUnseen(*this, bytes);
}

void TMyIntercept::Tunnelled(Direction direction, std::size_t bytes) {
    if (direction == Direction::Upstream) {
        TunnelledUp += bytes;
        return;
    }
    TunnelledDown += bytes;
    TCmd count;
    count.Kind = kCmdInternetBytes;
    count.Index = UserIndex;
    count.Value = static_cast<std::int32_t>(bytes);
    engine_.AddCmdListItem(std::move(count));
}

}  // namespace vs::proxy
