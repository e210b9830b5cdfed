#pragma once
// The two ends of a proxied connection: the browser's socket and the
// outbound socket towards the origin or the parent proxy. Each keeps its own
// input buffer. Only the outbound end carries the hook object, so the hooks
// see exactly the bytes exchanged with upstream and nothing written to the
// browser passes through them.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/socket.h"

namespace vs::net {

enum class Direction { Upstream, Downstream };

// How long a closing connection reads on for its peer's close: while the
// peer keeps sending (a slow upload whose answer came early), each pause at
// most kLingeringPause, all of it at most kLingeringTime.
inline constexpr std::chrono::milliseconds kLingeringPause{2000};
inline constexpr std::chrono::milliseconds kLingeringTime{30000};

// Hook object of an outbound connection. Both hooks may rewrite the bytes in
// place; an emptied buffer sends (or delivers) nothing.
class ConnectionIntercept {
public:
    virtual ~ConnectionIntercept() = default;
    // Bytes on their way upstream, inside the outbound Write.
    virtual void Send(std::string& bytes) = 0;
    // Bytes just received from upstream, before anybody reads them.
    virtual void Receive(std::string& bytes) = 0;

    // Once true (and it stays true) the connection is an opaque tunnel: the
    // relay moves its bytes between the sockets in bulk, unread, and the
    // hooks only hear how many went which way.
    virtual bool Opaque() const { return false; }
    virtual void Tunnelled(Direction direction, std::size_t bytes) {}

    // How many of the next bytes from upstream may reach the browser
    // without passing Receive (a body nobody needs to read): the relay then
    // moves up to that many in bulk and reports them to PassedUnseen.
    virtual std::size_t UnseenRoom() const { return 0; }
    virtual void PassedUnseen(std::size_t bytes) {}
    // A file the bytes passed unseen are appended to as well (an answer
    // being stored), or -1. When appending fails the relay says so before
    // it reports the bytes, which reached the browser all the same.
    virtual int UnseenCopy() const { return -1; }
    virtual void UnseenCopyFailed(int /*error*/) {}

    // While true the relay does not read the browser: bytes already taken
    // from it wait for their turn (a request for another host waiting for
    // the answers before it).
    virtual bool HoldsClient() const { return false; }
    // Bytes held back that may go on now; the relay writes them through the
    // Send hook as if the browser had just sent them.
    virtual bool TakeHeld(std::string& bytes) { return false; }

    // While true a request waits for its answer: the connection is not idle,
    // however long upstream takes.
    virtual bool AwaitsAnswer() const { return false; }
    // Since when the browser has been sending a later request's head that
    // is not whole yet; nullopt when none is under way. The relay gives it
    // the first request's time limit too, so a head sent a line at a time
    // cannot hold the connection for ever.
    virtual std::optional<std::chrono::steady_clock::time_point> HeadStartedAt() const {
        return std::nullopt;
    }
};

// State a connection's handlers keep for its lifetime; owned by the client
// connection and destroyed with it.
class ConnectionData {
public:
    virtual ~ConnectionData() = default;
};

class Connection {
public:
    Connection() = default;
    explicit Connection(net::Socket socket);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    virtual ~Connection() = default;

    void Write(std::string_view bytes);
    void WriteLn(std::string_view text);
    // Write for a buffer the caller gives up: the Send hook rewrites it in
    // place instead of a copy (the relay loop's path).
    void WriteInPlace(std::string& bytes);

    // Waits until one receive completes unless bytes are already buffered,
    // and returns everything buffered. Empty once the peer has closed, or
    // once the read deadline has passed: the connection is closed then.
    std::string CurrentReadBuffer();

    // Until when CurrentReadBuffer waits; none is no time-out.
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;
    void SetReadDeadline(Deadline deadline) { readDeadline_ = deadline; }
    // The read deadline passed and closed the connection.
    bool TimedOut() const { return timedOut_; }

    // The same into a caller's buffer, reusing its storage: the relay loop
    // calls this for every block.
    void ReadInto(std::string& transfer);
    // The same, but the peer's orderly close ends only its input: the
    // connection stays up for what is still to be sent to the peer.
    void ReadIntoKeepingOutput(std::string& transfer);
    // The peer has closed its sending side; nothing more will be read.
    bool InputEnded() const { return inputEnded_; }
    // A read found the peer gone: reset (or failed), or closed in order.
    // An orderly close ends only the input when `keepOutput` and the end is
    // not the server's own WakeUp; otherwise the connection is closed.
    void PeerEnded(bool reset, bool keepOutput);
    // Tells the peer that nothing more will be sent (its read ends).
    void ShutdownOutput();

    bool Connected() const { return connected_; }
    // The server woke it (a stop) or cut it (the user's stop of its row).
    bool WokenUp() const { return wokenUp_.load(); }
    // The peer reset the connection (or it failed) rather than closing it.
    bool EndedByReset() const { return endedByReset_; }
    // Bytes read earlier and not yet handed out: the next read returns them
    // without touching the socket.
    bool HasBufferedInput() const { return !input_.empty(); }
    // Bytes (or the peer's end) wait to be read, now.
    bool InputWaiting() const;
    void Disconnect();
    // Ends the output and reads on until the peer closes too (see
    // kLingeringPause) before closing: bytes that arrive after the close (the
    // rest of an upload, a pipelining client's next request sent a moment
    // late) reset the connection, and the reset destroys the answer the peer
    // has not read yet.
    void DisconnectAfterDraining();

    // Safe from another thread while the owner may be blocked on the socket.
    // The peer hears an orderly end, unless an unfinished answer must not
    // look whole: then the reader is woken without a word and the close
    // that follows resets the connection. `force` wakes a writer blocked on
    // a peer that reads nothing as well.
    void WakeUp(bool force = false);
    // The user's stop: as a forced WakeUp, and the close that follows resets
    // the connection whatever the answer, so that what is still queued for
    // the peer (megabytes, for a browser reading slowly) is dropped, not
    // sent first.
    void Cut();
    // Set by the owner while a cut here must reach the peer as a reset (an
    // answer half sent, which an orderly close could complete for a body
    // that runs to the close).
    void SetCutMeansReset(bool reset) { cutMeansReset_.store(reset); }

    int Fd() const { return socket_.Fd(); }
    const net::Socket& Socket() const { return socket_; }
    std::string PeerAddress() const {
        return peerAddress_.empty() ? net::PeerAddress(socket_) : peerAddress_;
    }
    // As accept() gave it: a browser that reset before its first request
    // was read has no peer getpeername could name.
    void SetPeerAddress(std::string address) { peerAddress_ = std::move(address); }

    // How long a send may find the peer taking nothing before the
    // connection is given up (the server's idle limit, read at each wait; 0
    // waits for ever), and the connection whose stop or cut ends such a wait
    // too (the browser's, for its worker's outbound side).
    void SetSendPatience(const std::atomic<std::int64_t>& limitMs, const Connection& partner) {
        sendPatienceMs_ = &limitMs;
        partner_ = &partner;
    }

    void SetData(std::unique_ptr<ConnectionData> data) { data_ = std::move(data); }
    ConnectionData* Data() const { return data_.get(); }

protected:
    void Attach(net::Socket socket);
    void Read(std::string& transfer, bool keepOutput);
    void SendRaw(std::string_view bytes);
    // Waits until the socket is readable; false when the deadline passed.
    bool WaitReadable() const;
    // Transforms freshly received bytes before they enter the buffer.
    virtual void Received(std::string& bytes) {}
    // Transforms bytes about to be sent; only called when HasSendHook().
    virtual bool HasSendHook() const { return false; }
    // Whether a peer that stopped taking bytes may still have more to say:
    // its input is then read to its end, and what is sent meanwhile dropped.
    virtual bool ReadsOnWhenSendFails() const { return false; }
    virtual void Sending(std::string& bytes) {}

private:
    net::Socket socket_;
    std::string peerAddress_;
    bool connected_ = false;
    bool endedByReset_ = false;
    bool inputEnded_ = false;
    bool outputGone_ = false;  // sending failed; reading goes on
    Deadline readDeadline_;
    bool timedOut_ = false;
    std::string input_;
    std::string scratch_;
    // Guards closing against a WakeUp from the stopping thread, so that a
    // descriptor number reused elsewhere is never shut down by mistake.
    mutable std::mutex closeLock_;
    std::atomic<bool> wokenUp_{false};
    std::atomic<bool> cutMeansReset_{false};
    const std::atomic<std::int64_t>* sendPatienceMs_ = nullptr;  // set with partner_
    const Connection* partner_ = nullptr;
    std::unique_ptr<ConnectionData> data_;
};

// Where the server forwards to (the parent proxy): set by the application,
// read by every connection's requests, so a change reaches connections
// already open.
class MappedTarget {
public:
    void Set(std::string host, int port);
    // While a new parent is being checked, requests for the parent wait for
    // it (up to kLongestHold) rather than fail or reach the one before.
    void Hold();
    // Ends a hold with no parent: the waits end, and their requests fail.
    void Abandon();
    // The parent, waiting out a hold.
    std::pair<std::string, int> Get() const;
    // The parent as it is, held or not.
    std::pair<std::string, int> Current() const;

    static constexpr std::chrono::seconds kLongestHold{10};

private:
    mutable std::mutex lock_;
    mutable std::condition_variable settled_;
    std::string host_ = "127.0.0.1";
    int port_ = 80;
    bool held_ = false;
};

// The outbound end: a target that handlers may change until it connects, and
// the hook object.
class OutboundConnection : public Connection {
public:
    // The server's parent, as it is whenever asked.
    void SetMapped(const MappedTarget* mapped) { mapped_ = mapped; }
    std::pair<std::string, int> Mapped() const {
        return mapped_ != nullptr ? mapped_->Get() : std::pair<std::string, int>{host_, port_};
    }
    // `addresses`, when given, are the host's addresses as resolved and
    // checked by the caller: the connect tries those and looks up nothing.
    void SetTarget(std::string host, int port, std::vector<std::string> addresses = {});
    // Answered by the proxy itself: the connect is bound to fail (the
    // traditional target is 127.0.0.1:1, where nobody listens), so it is not
    // even attempted.
    void SetLocalAnswer();
    const std::string& Host() const { return host_; }
    int Port() const { return port_; }
    bool IsLocalAnswer() const { return localAnswer_; }

    void SetIntercept(ConnectionIntercept* intercept) { intercept_ = intercept; }
    ConnectionIntercept* Intercept() const { return intercept_; }

    // Connects to the target; abandoned when cancelFd becomes readable.
    void Connect(int cancelFd);
    // Closes the connection and connects to another target, abandoned like
    // Connect. Throws net::SocketError, leaving the connection closed.
    void Reconnect(std::string host, int port, std::vector<std::string> addresses = {});
    // Sends bytes past the Send hook.
    void WriteUnhooked(std::string_view bytes);

protected:
    void Received(std::string& bytes) override;
    bool HasSendHook() const override { return intercept_ != nullptr; }
    // A server's answer to an upload it refused may wait behind the close.
    bool ReadsOnWhenSendFails() const override { return true; }
    void Sending(std::string& bytes) override;

private:
    void ConnectTarget();

    std::string host_;
    int port_ = 0;
    std::vector<std::string> addresses_;
    int cancelFd_ = -1;
    bool localAnswer_ = false;
    ConnectionIntercept* intercept_ = nullptr;
    const MappedTarget* mapped_ = nullptr;
};

}  // namespace vs::net
