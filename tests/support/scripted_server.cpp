#include "tests/support/scripted_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <chrono>

namespace {

constexpr std::uintptr_t kNoSocket = ~std::uintptr_t{0};
constexpr long kPollMicroseconds = 20000;

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string reasonFor(int status) {
    switch (status) {
        case 200: return "OK";
        case 204: return "No Content";
        case 206: return "Partial Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 304: return "Not Modified";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoreCase(key, name)) return value;
    }
    return std::nullopt;
}

ScriptedResponse ScriptedResponse::ok(std::string body) {
    ScriptedResponse response;
    response.body = std::move(body);
    return response;
}

ScriptedResponse ScriptedResponse::withStatus(int status, std::string body) {
    ScriptedResponse response;
    response.status = status;
    response.body = std::move(body);
    return response;
}

ScriptedServer::ScriptedServer(ScriptedHandler handler, const std::string& address)
    : address_(address), handler_(std::move(handler)) {
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return;
    winsockStarted_ = true;

    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) return;
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = 0;  // any free port
    if (inet_pton(AF_INET, address_.c_str(), &where.sin_addr) != 1 ||
        bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0 || listen(listener, SOMAXCONN) != 0) {
        closesocket(listener);
        return;
    }
    int length = sizeof(where);
    if (getsockname(listener, reinterpret_cast<sockaddr*>(&where), &length) != 0) {
        closesocket(listener);
        return;
    }
    listener_ = listener;
    port_ = ntohs(where.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
    stopping_ = true;
    if (acceptThread_.joinable()) acceptThread_.join();
    if (listener_ != kNoSocket) closesocket(static_cast<SOCKET>(listener_));
    {
        // Wakes a connection thread that is stuck sending to a client that
        // stopped reading.
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& connection : connections_) {
            if (connection->socket != kNoSocket) shutdown(static_cast<SOCKET>(connection->socket), SD_BOTH);
        }
    }
    for (auto& connection : connections_) {
        if (connection->thread.joinable()) connection->thread.join();
    }
    if (winsockStarted_) WSACleanup();
}

std::string ScriptedServer::url() const { return "http://" + address_ + ":" + std::to_string(port_); }

void ScriptedServer::setHandler(ScriptedHandler handler) {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    handler_ = std::move(handler);
}

std::vector<RecordedRequest> ScriptedServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

int ScriptedServer::requestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(requests_.size());
}

int ScriptedServer::connectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connectionCount_;
}

bool ScriptedServer::waitReadable(std::uintptr_t socket) {
    while (!stopping_) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(static_cast<SOCKET>(socket), &readable);
        timeval wait{0, kPollMicroseconds};
        const int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready == SOCKET_ERROR) return false;
        if (ready > 0) return true;
    }
    return false;
}

void ScriptedServer::reapFinished() {
    std::list<std::unique_ptr<Connection>> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->finished) {
                done.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : done) {
        if (connection->thread.joinable()) connection->thread.join();
    }
}

void ScriptedServer::acceptLoop() {
    try {
        while (waitReadable(listener_)) {
            SOCKET accepted = accept(static_cast<SOCKET>(listener_), nullptr, nullptr);
            if (accepted == INVALID_SOCKET) continue;
            reapFinished();
            std::lock_guard<std::mutex> lock(mutex_);
            auto connection = std::make_unique<Connection>();
            connection->socket = accepted;
            connection->number = ++connectionCount_;
            Connection& ref = *connection;
            connections_.push_back(std::move(connection));
            ref.thread = std::thread([this, &ref] {
                try {
                    serveConnection(ref);
                } catch (...) {}
                std::lock_guard<std::mutex> inner(mutex_);
                if (ref.socket != kNoSocket) closesocket(static_cast<SOCKET>(ref.socket));
                ref.socket = kNoSocket;
                ref.finished = true;
            });
        }
    } catch (...) {
        // A test server that stops accepting shows up as failed requests.
    }
}

void ScriptedServer::serveConnection(Connection& connection) {
    std::string buffer;
    char chunk[16384];
    for (;;) {
        // The head of the next request.
        std::size_t headEnd;
        while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
            if (!waitReadable(connection.socket)) return;
            const int got = recv(static_cast<SOCKET>(connection.socket), chunk, sizeof(chunk), 0);
            if (got <= 0) return;
            buffer.append(chunk, static_cast<std::size_t>(got));
        }
        RecordedRequest request;
        request.connection = connection.number;
        const std::string head = buffer.substr(0, headEnd);
        buffer.erase(0, headEnd + 4);

        std::size_t lineEnd = head.find("\r\n");
        const std::string requestLine = head.substr(0, lineEnd);
        const auto firstSpace = requestLine.find(' ');
        const auto lastSpace = requestLine.rfind(' ');
        if (firstSpace == std::string::npos || lastSpace == firstSpace) return;
        request.method = requestLine.substr(0, firstSpace);
        request.path = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
        request.version = requestLine.substr(lastSpace + 1);
        while (lineEnd != std::string::npos) {
            const std::size_t start = lineEnd + 2;
            lineEnd = head.find("\r\n", start);
            const std::string line =
                head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
            const auto colon = line.find(':');
            if (colon == std::string::npos) continue;
            request.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
        }

        // The body, when the client announced one.
        std::size_t bodyLength = 0;
        if (auto length = request.header("Content-Length")) {
            try {
                bodyLength = static_cast<std::size_t>(std::stoull(*length));
            } catch (...) {
                return;
            }
        }
        while (buffer.size() < bodyLength) {
            if (!waitReadable(connection.socket)) return;
            const int got = recv(static_cast<SOCKET>(connection.socket), chunk, sizeof(chunk), 0);
            if (got <= 0) return;
            buffer.append(chunk, static_cast<std::size_t>(got));
        }
        request.body = buffer.substr(0, bodyLength);
        buffer.erase(0, bodyLength);

        const auto connectionHeader = request.header("Connection");
        const bool clientWantsClose =
            (connectionHeader && equalsIgnoreCase(*connectionHeader, "close")) || request.version == "HTTP/1.0";
        if (!answer(connection, request, clientWantsClose)) return;
    }
}

bool ScriptedServer::answer(Connection& connection, const RecordedRequest& request, bool clientWantsClose) {
    int number = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
        number = static_cast<int>(requests_.size());
    }
    ScriptedResponse response;
    {
        std::lock_guard<std::mutex> lock(handlerMutex_);
        if (handler_) {
            response = handler_(request, number);
        } else {
            response = ScriptedResponse::withStatus(404);
        }
    }

    if (!pause(response.delayMs)) return false;
    if (response.dropWithoutAnswer) {
        closeSocket(connection.socket, response.abortiveClose);
        return false;
    }

    const std::uint64_t bodySize = response.generatedBodyBytes.value_or(response.body.size());
    const bool announcesOtherLength = response.announcedLength && *response.announcedLength != bodySize;
    const bool closeAfter = !response.keepAlive || !response.sendContentLength || clientWantsClose ||
                            response.closeAfterBodyBytes.has_value() || announcesOtherLength;

    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " +
                      (response.reason.empty() ? reasonFor(response.status) : response.reason) + "\r\n";
    for (const auto& [name, value] : response.headers) out += name + ": " + value + "\r\n";
    if (response.sendContentLength) {
        const std::uint64_t length = response.announcedLength.value_or(bodySize);
        out += "Content-Length: " + std::to_string(length) + "\r\n";
    }
    if (!response.keepAlive || !response.sendContentLength) out += "Connection: close\r\n";
    out += "\r\n";
    bool sent = true;
    if (response.trickleHead && response.trickleMs != 0) {
        for (std::size_t i = 0; sent && i < out.size(); ++i) {
            sent = pause(response.trickleMs) && sendAll(connection.socket, out.data() + i, 1);
        }
    } else {
        sent = sendAll(connection.socket, out.data(), out.size());
    }
    if (sent && request.method != "HEAD") {
        const std::uint64_t sendBytes = response.closeAfterBodyBytes.value_or(bodySize);
        sent = sendBody(connection.socket, response, std::min(bodySize, sendBytes));
    }
    if (!sent || closeAfter) {
        closeSocket(connection.socket, response.abortiveClose);
        return false;
    }
    return true;
}

bool ScriptedServer::sendAll(std::uintptr_t socket, const char* data, std::size_t size) {
    while (size > 0 && !stopping_) {
        const int piece = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
        const int sent = send(static_cast<SOCKET>(socket), data, piece, 0);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return size == 0;
}

bool ScriptedServer::sendBody(std::uintptr_t socket, const ScriptedResponse& response, std::uint64_t bytes) {
    const std::size_t piece =
        response.trickleMs != 0 ? std::max<std::size_t>(response.trickleBytes, 1) : std::size_t{1} << 16;
    std::string filler;
    for (std::uint64_t offset = 0; offset < bytes;) {
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(piece, bytes - offset));
        const char* data = nullptr;
        if (response.generatedBodyBytes) {
            filler.resize(size);
            for (std::size_t i = 0; i < size; ++i) filler[i] = static_cast<char>('a' + (offset + i) % 26);
            data = filler.data();
        } else {
            data = response.body.data() + offset;
        }
        if (!pause(response.trickleMs)) return false;
        if (!sendAll(socket, data, size)) return false;
        offset += size;
        bodyBytesSent_ += size;
    }
    return true;
}

bool ScriptedServer::pause(unsigned milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (stopping_) return false;
        Sleep(5);
    }
    return !stopping_;
}

void ScriptedServer::closeSocket(std::uintptr_t socket, bool abortive) {
    if (abortive) {
        linger option{1, 0};
        setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
                   sizeof(option));
    } else {
        shutdown(static_cast<SOCKET>(socket), SD_SEND);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& connection : connections_) {
        if (connection->socket == socket) {
            closesocket(static_cast<SOCKET>(socket));
            connection->socket = kNoSocket;
        }
    }
}
