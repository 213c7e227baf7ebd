// Retrieval rate of the connection's dot-block reader: 2,000 messages of
// 20 KB answered one after another over one loopback connection, as a POP3
// pass with RETR does. Prints messages per second and MB/s.
#include "net/socketU.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

constexpr int kMessages = 2000;
constexpr int kTimeoutMs = 30000;

std::string MakeMessage()
{
    std::string m = "From: a@example.com\r\nSubject: bench\r\n\r\n";
    for (int i = 0; m.size() < 20000; ++i)
        m += "Body line " + std::to_string(i) + " with the ordinary length of mail text lines.\r\n";
    return m + ".\r\n";
}

void Serve(bm::TcpListener& listener, const std::string& message)
{
    auto c = listener.Accept(kTimeoutMs);
    if (!c)
        return;
    std::string line;
    while (c->ReadLine(line, 100, kTimeoutMs) == bm::ReadStatus::Line && line != "QUIT")
        c->Write("+OK\r\n" + message, kTimeoutMs);
}

} // namespace

int main()
{
    const std::string message = MakeMessage();
    bm::TcpListener listener(0);
    std::thread server(Serve, std::ref(listener), std::cref(message));
    auto client = bm::TcpConnection::Connect("127.0.0.1", listener.Port());
    const auto start = std::chrono::steady_clock::now();
    std::size_t bytes = 0;
    for (int i = 1; i <= kMessages; ++i) {
        client->WriteLine("RETR " + std::to_string(i), kTimeoutMs);
        std::string status;
        std::string text;
        if (client->ReadLine(status, 512, kTimeoutMs) != bm::ReadStatus::Line ||
            client->ReadDotBlock(text, true, 1 << 24, kTimeoutMs) != bm::ReadStatus::Line) {
            std::fprintf(stderr, "read failed: %s\n", client->LastError().c_str());
            return 1;
        }
        bytes += text.size();
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    client->WriteLine("QUIT", kTimeoutMs);
    server.join();
    std::printf("net_retrieval: %d messages of %zu bytes in %.3f s: %.0f messages/s, %.1f MB/s\n", kMessages,
                message.size(), secs, kMessages / secs, bytes / secs / 1e6);
    return 0;
}
