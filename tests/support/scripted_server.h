#pragma once
// A small HTTP/1.1 server on a loopback address for tests: it records every
// request it receives and answers each one with bytes chosen by the test,
// including broken answers (short bodies, wrong lengths, dropped connections,
// slow or trickling answers, bodies without end) that a real file host will
// not produce on demand.
//
// Runs on threads of its own inside the test process; one thread per
// connection, so keep-alive, several requests per connection and several
// concurrent connections all work. The destructor stops everything.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct RecordedRequest {
    std::string method;
    std::string path;  // the request target exactly as sent
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
    std::string body;
    int connection = 0;  // 1 for the first accepted connection, 2 for the next...

    // Value of the first header of that name (case-insensitive).
    std::optional<std::string> header(const std::string& name) const;
};

struct ScriptedResponse {
    int status = 200;
    std::string reason;                                        // empty: a standard phrase for the status
    std::vector<std::pair<std::string, std::string>> headers;  // extra headers
    std::string body;

    // Content-Length: the body size unless told otherwise. Without one the
    // body ends when the connection closes (the server closes it).
    bool sendContentLength = true;
    std::optional<std::uint64_t> announcedLength;  // a different Content-Length value
    // Send only this many body bytes, then close the connection.
    std::optional<std::size_t> closeAfterBodyBytes;
    // Reset (RST) instead of an orderly close wherever the answer closes.
    bool abortiveClose = false;
    // Wait before sending anything.
    unsigned delayMs = 0;
    // false: "Connection: close" and the connection is closed after the answer.
    bool keepAlive = true;
    // Instead of `body`: this many filler bytes, made while sending, for
    // bodies too large to hold. Sending stops early when the client goes away.
    std::optional<std::uint64_t> generatedBodyBytes;
    // Close the connection without answering at all.
    bool dropWithoutAnswer = false;
    // Send the body in pieces of trickleBytes, each after a pause of this
    // many ms (0: all at once); with trickleHead the status line and headers
    // go the same way, one byte at a time.
    unsigned trickleMs = 0;
    std::size_t trickleBytes = 1;
    bool trickleHead = false;

    static ScriptedResponse ok(std::string body);
    static ScriptedResponse withStatus(int status, std::string body = {});
};

// Called for every request, one call at a time (calls are serialised), with
// the request and its 1-based number among all requests the server received.
using ScriptedHandler = std::function<ScriptedResponse(const RecordedRequest& request, int number)>;

class ScriptedServer {
public:
    explicit ScriptedServer(ScriptedHandler handler, const std::string& address = "127.0.0.1");
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    bool listening() const { return port_ != 0; }
    std::uint16_t port() const { return port_; }
    const std::string& address() const { return address_; }
    // "http://ADDRESS:PORT" without a trailing "/".
    std::string url() const;

    void setHandler(ScriptedHandler handler);
    std::vector<RecordedRequest> requests() const;
    int requestCount() const;
    int connectionCount() const;
    // Body bytes handed to the network so far, over all answers.
    std::uint64_t bodyBytesSent() const { return bodyBytesSent_; }

private:
    struct Connection {
        std::uintptr_t socket = ~std::uintptr_t{0};
        int number = 0;
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    void acceptLoop();
    void serveConnection(Connection& connection);
    bool answer(Connection& connection, const RecordedRequest& request, bool clientWantsClose);
    void closeSocket(std::uintptr_t socket, bool abortive);
    bool waitReadable(std::uintptr_t socket);
    bool sendAll(std::uintptr_t socket, const char* data, std::size_t size);
    bool sendBody(std::uintptr_t socket, const ScriptedResponse& response, std::uint64_t bytes);
    bool pause(unsigned milliseconds);
    void reapFinished();

    std::string address_;
    std::uint16_t port_ = 0;
    std::uintptr_t listener_ = ~std::uintptr_t{0};
    bool winsockStarted_ = false;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> bodyBytesSent_{0};
    std::thread acceptThread_;

    mutable std::mutex mutex_;  // guards requests_, connections_, counters
    std::vector<RecordedRequest> requests_;
    std::list<std::unique_ptr<Connection>> connections_;
    int connectionCount_ = 0;

    std::mutex handlerMutex_;  // serialises handler calls and replacement
    ScriptedHandler handler_;
};
