#include "tests/support/scripted_server.h"

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// A bare client: the server must be checked at the byte level, below any
// HTTP library's own handling.
class RawClient {
public:
    explicit RawClient(std::uint16_t port) {
        WSADATA data{};
        WSAStartup(MAKEWORD(2, 2), &data);
        socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(port);
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(socket_, reinterpret_cast<sockaddr*>(&where), sizeof(where)) == 0;
        DWORD timeout = 10000;
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
    }
    ~RawClient() {
        closesocket(socket_);
        WSACleanup();
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }
    void send(const std::string& bytes) { ::send(socket_, bytes.data(), static_cast<int>(bytes.size()), 0); }
    // Reads until `size` bytes arrived or the server closed.
    std::string receive(std::size_t size) {
        std::string out;
        char chunk[4096];
        while (out.size() < size) {
            const int got = recv(socket_, chunk, static_cast<int>(std::min(sizeof(chunk), size - out.size())), 0);
            if (got <= 0) {
                closed_ = true;
                break;
            }
            out.append(chunk, static_cast<std::size_t>(got));
        }
        return out;
    }
    std::string receiveUntilClosed() { return receive(static_cast<std::size_t>(-1) / 2); }
    bool closed() const { return closed_; }

private:
    SOCKET socket_ = INVALID_SOCKET;
    bool connected_ = false;
    bool closed_ = false;
};

std::string answer(int status, const std::string& reason, const std::string& extra, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n" + extra +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

TEST(ScriptedServer, RecordsRequestsAndAnswersSeveralOnOneConnection) {
    ScriptedServer server([](const RecordedRequest& request, int number) {
        ScriptedResponse response = ScriptedResponse::ok(request.path + "#" + std::to_string(number));
        response.headers.emplace_back("X-Test", "yes");
        return response;
    });
    ASSERT_TRUE(server.listening());
    EXPECT_EQ(server.url(), "http://127.0.0.1:" + std::to_string(server.port()));
    RawClient client(server.port());
    ASSERT_TRUE(client.connected());

    client.send(
        "POST /api/login HTTP/1.1\r\nHost: here\r\nX-Morvanth-Session:  abc \r\nContent-Length: 5\r\n\r\nhello");
    const std::string first = answer(200, "OK", "X-Test: yes\r\n", "/api/login#1");
    EXPECT_EQ(client.receive(first.size()), first);
    client.send("GET /b HTTP/1.1\r\nHost: here\r\n\r\n");
    const std::string second = answer(200, "OK", "X-Test: yes\r\n", "/b#2");
    EXPECT_EQ(client.receive(second.size()), second);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/api/login");
    EXPECT_EQ(requests[0].version, "HTTP/1.1");
    EXPECT_EQ(requests[0].body, "hello");
    EXPECT_EQ(requests[0].header("x-morvanth-session").value_or(""), "abc");
    ASSERT_EQ(requests[0].headers.size(), 3u);
    EXPECT_EQ(requests[0].headers[1].first, "X-Morvanth-Session");
    EXPECT_EQ(requests[1].method, "GET");
    EXPECT_EQ(requests[1].connection, 1);
    EXPECT_EQ(server.connectionCount(), 1);
}

TEST(ScriptedServer, ClosesAfterAnAnswerWithoutKeepAlive) {
    ScriptedServer server([](const RecordedRequest&, int) {
        ScriptedResponse response = ScriptedResponse::withStatus(503, "busy");
        response.keepAlive = false;
        return response;
    });
    RawClient client(server.port());
    client.send("GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.receiveUntilClosed(),
              "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 4\r\nConnection: close\r\n\r\nbusy");
    EXPECT_TRUE(client.closed());
}

TEST(ScriptedServer, BodyWithoutContentLengthEndsWithTheConnection) {
    ScriptedServer server([](const RecordedRequest&, int) {
        ScriptedResponse response = ScriptedResponse::ok("until close");
        response.sendContentLength = false;
        return response;
    });
    RawClient client(server.port());
    client.send("GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.receiveUntilClosed(), "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil close");
}

TEST(ScriptedServer, AnnouncesALongerLengthOrStopsMidBodyThenCloses) {
    ScriptedServer server([](const RecordedRequest& request, int) {
        ScriptedResponse response = ScriptedResponse::ok("0123456789");
        if (request.path == "/longer") response.announcedLength = 100;
        if (request.path == "/cut") response.closeAfterBodyBytes = 4;
        return response;
    });
    {
        RawClient client(server.port());
        client.send("GET /longer HTTP/1.1\r\n\r\n");
        EXPECT_EQ(client.receiveUntilClosed(), "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
    }
    {
        RawClient client(server.port());
        client.send("GET /cut HTTP/1.1\r\n\r\n");
        EXPECT_EQ(client.receiveUntilClosed(), "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123");
    }
}

TEST(ScriptedServer, CanDropAConnectionWithoutAnswering) {
    ScriptedServer server([](const RecordedRequest&, int) {
        ScriptedResponse response;
        response.dropWithoutAnswer = true;
        response.delayMs = 50;
        return response;
    });
    RawClient client(server.port());
    client.send("GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.receiveUntilClosed(), "");
    EXPECT_EQ(server.requestCount(), 1);
}

TEST(ScriptedServer, ServesConcurrentConnectionsAndStopsWithOneStillOpen) {
    auto server = std::make_unique<ScriptedServer>([](const RecordedRequest& request, int) {
        ScriptedResponse response = ScriptedResponse::ok(request.path);
        response.delayMs = 100;  // answers overlap
        return response;
    });
    std::vector<std::string> answers(4);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            RawClient client(server->port());
            client.send("GET /" + std::to_string(i) + " HTTP/1.1\r\n\r\n");
            answers[i] = client.receive(answer(200, "OK", "", "/0").size());
        });
    }
    for (auto& thread : threads) thread.join();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(answers[i], answer(200, "OK", "", "/" + std::to_string(i)));
    EXPECT_EQ(server->connectionCount(), 4);

    RawClient idle(server->port());  // kept open across the server's end
    ASSERT_TRUE(idle.connected());
    server.reset();
    EXPECT_EQ(idle.receiveUntilClosed(), "");
}

TEST(ScriptedServer, ListensOnAnotherLoopbackAddress) {
    ScriptedServer server([](const RecordedRequest&, int) { return ScriptedResponse::ok("x"); }, "127.0.0.2");
    ASSERT_TRUE(server.listening());
    EXPECT_EQ(server.url(), "http://127.0.0.2:" + std::to_string(server.port()));
}
