#include "net/connection.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>

namespace vs::net {

Connection::Connection(net::Socket socket) {
    Attach(std::move(socket));
}

void Connection::Attach(net::Socket socket) {
    std::lock_guard lock(closeLock_);
    socket_ = std::move(socket);
    connected_ = socket_.IsOpen();
    endedByReset_ = false;
    inputEnded_ = false;
    outputGone_ = false;
}

void Connection::Write(std::string_view bytes) {
    if (!HasSendHook()) {
        SendRaw(bytes);
        return;
    }
    scratch_.assign(bytes);
    WriteInPlace(scratch_);
}

void Connection::WriteLn(std::string_view text) {
    scratch_.reserve(text.size() + 2);
    scratch_.assign(text);
    scratch_ += "\r\n";
    WriteInPlace(scratch_);
}

void Connection::WriteInPlace(std::string& bytes) {
    if (HasSendHook()) {
        Sending(bytes);
    }
    SendRaw(bytes);
}

void Connection::SendRaw(std::string_view bytes) {
    if (bytes.empty()) {
        return;
    }
    if (!connected_) {
        throw net::SocketError("send", ENOTCONN);
    }
    if (outputGone_) {
        return;  // the peer has stopped taking bytes: what follows is dropped
    }
    try {
        if (partner_ != nullptr) {
            net::SendAllWithin(socket_, bytes, std::chrono::milliseconds(sendPatienceMs_->load()),
                               [this] { return partner_->WokenUp(); });
        } else {
            net::SendAll(socket_, bytes);
        }
    } catch (const net::SocketError& error) {
        if (ReadsOnWhenSendFails() && (error.Error() == EPIPE || error.Error() == ECONNRESET)) {
            // Closed while bytes still went to it, as a server refusing an
            // upload (401, 413) closes after its answer: that answer waits
            // unread, and the connection ends once it has been read.
            outputGone_ = true;
            return;
        }
        if (error.Error() == ETIMEDOUT || error.Error() == ECANCELED || error.Error() == EAGAIN) {
            // Given up on: a reset tells the peer now, where a close would
            // queue its end behind the bytes it does not take.
            net::CloseWithReset(socket_);
        }
        Disconnect();
        throw;
    }
}

void Connection::ReadInto(std::string& transfer) {
    Read(transfer, false);
}

void Connection::ReadIntoKeepingOutput(std::string& transfer) {
    Read(transfer, true);
}

void Connection::PeerEnded(bool reset, bool keepOutput) {
    endedByReset_ = reset;
    // The end a WakeUp made is the server's, not the peer's half-close.
    if (!reset && keepOutput && !wokenUp_.load()) {
        inputEnded_ = true;
    } else {
        Disconnect();
    }
}

void Connection::ShutdownOutput() {
    std::lock_guard lock(closeLock_);
    if (socket_.IsOpen()) {
        ::shutdown(socket_.Fd(), SHUT_WR);
    }
}

void Connection::Read(std::string& transfer, bool keepOutput) {
    if (!input_.empty()) {
        transfer.swap(input_);
        input_.clear();
        return;
    }
    if (!connected_ || inputEnded_) {
        transfer.clear();
        return;
    }
    // Growing from the last block's size, not from empty: a full block
    // before means no bytes to zero-fill now.
    transfer.resize(net::kBlockSize);
    std::optional<std::size_t> n;
    try {
        n = net::ReceiveUnlessReset(socket_, transfer.data(), transfer.size());
    } catch (const net::SocketError&) {
    }
    transfer.resize(n.value_or(0));
    if (n.value_or(0) == 0) {
        PeerEnded(!n, keepOutput);
        return;
    }
    Received(transfer);
}

bool Connection::InputWaiting() const {
    pollfd fd{socket_.Fd(), POLLIN, 0};
    return HasBufferedInput() || ::poll(&fd, 1, 0) > 0;
}

bool Connection::WaitReadable() const {
    pollfd fd{socket_.Fd(), POLLIN, 0};
    for (;;) {
        int wait = -1;
        if (readDeadline_) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                *readDeadline_ - std::chrono::steady_clock::now());
            // A limit of years typed into the file must not wrap into a
            // moment.
            wait = static_cast<int>(
                std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
        }
        const int ready = ::poll(&fd, 1, wait);
        if (ready > 0 || (ready < 0 && errno != EINTR)) {
            return true;  // the read that follows tells what it was
        }
        if (ready == 0) {
            return false;
        }
    }
}

std::string Connection::CurrentReadBuffer() {
    // Wait before taking a receive buffer: a browser that connects and says
    // nothing should cost its connection almost no memory.
    if (input_.empty() && connected_ && !WaitReadable()) {
        timedOut_ = true;
        Disconnect();
        return {};
    }
    std::string transfer;
    ReadInto(transfer);
    transfer.shrink_to_fit();
    return transfer;
}

void Connection::Disconnect() {
    std::lock_guard lock(closeLock_);
    connected_ = false;
    socket_.Close();
}

void Connection::DisconnectAfterDraining() {
    // A socket set to end with a reset (an answer its origin reset, passed
    // on as one) must not end with an orderly FIN first.
    linger closing{};
    socklen_t size = sizeof closing;
    if (!connected_ || (::getsockopt(socket_.Fd(), SOL_SOCKET, SO_LINGER, &closing, &size) == 0 &&
                        closing.l_onoff != 0 && closing.l_linger == 0)) {
        Disconnect();
        return;
    }
    ShutdownOutput();
    // A client that reads only once its upload is sent (urllib) would lose
    // the answer to a close in the middle of it; one that sends on for ever
    // is let go at the end.
    const auto deadline = std::chrono::steady_clock::now() + kLingeringTime;
    std::array<char, 16384> discard;
    while (connected_) {
        const auto left =
            std::min(kLingeringPause, std::chrono::ceil<std::chrono::milliseconds>(
                                          deadline - std::chrono::steady_clock::now()));
        pollfd fd{socket_.Fd(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0 ||
            ::recv(socket_.Fd(), discard.data(), discard.size(), 0) <= 0) {
            break;
        }
    }
    Disconnect();
}

void Connection::WakeUp(bool force) {
    std::lock_guard lock(closeLock_);
    wokenUp_ = true;
    if (cutMeansReset_.load() && socket_.IsOpen()) {
        net::CloseWithReset(socket_);
        if (!force) {
            socket_.ShutdownInput();
            return;
        }
    }
    socket_.Shutdown();
}

void Connection::Cut() {
    std::lock_guard lock(closeLock_);
    wokenUp_ = true;
    if (socket_.IsOpen()) {
        net::CloseWithReset(socket_);
        // Dissolving the association resets it now, not at the owner's
        // close: the owner may still drain the browser's input first.
        sockaddr unspecified{};
        unspecified.sa_family = AF_UNSPEC;
        ::connect(socket_.Fd(), &unspecified, sizeof unspecified);
        socket_.Shutdown();
    }
}

void MappedTarget::Set(std::string host, int port) {
    {
        std::lock_guard lock(lock_);
        host_ = std::move(host);
        port_ = port;
        held_ = false;
    }
    settled_.notify_all();
}

void MappedTarget::Hold() {
    std::lock_guard lock(lock_);
    held_ = true;
}

void MappedTarget::Abandon() {
    {
        // In one step with the look: a parent set between them would be
        // overwritten.
        std::lock_guard lock(lock_);
        if (!held_) {
            return;
        }
        host_.clear();
        port_ = 0;
        held_ = false;
    }
    settled_.notify_all();
}

std::pair<std::string, int> MappedTarget::Get() const {
    std::unique_lock lock(lock_);
    if (!settled_.wait_for(lock, kLongestHold, [this] { return !held_; })) {
        return {std::string(), 0};
    }
    return {host_, port_};
}

std::pair<std::string, int> MappedTarget::Current() const {
    std::lock_guard lock(lock_);
    return {host_, port_};
}

void OutboundConnection::SetTarget(std::string host, int port, std::vector<std::string> addresses) {
    host_ = std::move(host);
    port_ = port;
    addresses_ = std::move(addresses);
    localAnswer_ = false;
}

void OutboundConnection::SetLocalAnswer() {
    host_ = "127.0.0.1";
    port_ = 1;
    addresses_.clear();
    localAnswer_ = true;
}

void OutboundConnection::Connect(int cancelFd) {
    cancelFd_ = cancelFd;
    if (localAnswer_) {
        throw net::SocketError("connect " + host_ + ":1", ECONNREFUSED);
    }
    ConnectTarget();
}

void OutboundConnection::Reconnect(std::string host, int port, std::vector<std::string> addresses) {
    Disconnect();
    SetTarget(std::move(host), port, std::move(addresses));
    ConnectTarget();
}

void OutboundConnection::ConnectTarget() {
    Attach(addresses_.empty() ? net::ConnectTcp(host_, port_, cancelFd_)
                              : net::ConnectTcp(addresses_, port_, cancelFd_));
}

void OutboundConnection::WriteUnhooked(std::string_view bytes) {
    SendRaw(bytes);
}

void OutboundConnection::Received(std::string& bytes) {
    if (intercept_ != nullptr) {
        intercept_->Receive(bytes);
    }
}

void OutboundConnection::Sending(std::string& bytes) {
    if (intercept_ != nullptr) {
        intercept_->Send(bytes);
    }
}

}  // namespace vs::net
