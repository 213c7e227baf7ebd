// Cost of the local SMTP server: 500 messages sent by one client over one
// connection straight to a real SMTP sink (aiosmtpd), then the same 500
// through the local server, which relays each over a connection of its own
// to the same sink before it answers. Prints both times and their ratio.
// Needs the test support library (the sink fixture); not run by the tests.

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "net/socketU.h"
#include "bench/smtp_bench_world.h"
#include "tests/support/smtpsink.h"

namespace {

constexpr int kMessages = 500;
constexpr int kTimeoutMs = 30000;

std::string MakeMessage(int n)
{
    std::string m = "From: joe@home.example\r\nTo: ann@x.example\r\nSubject: bench " + std::to_string(n) + "\r\n\r\n";
    for (int i = 0; m.size() < 4000; ++i)
        m += "Body line " + std::to_string(i) + " with the ordinary length of mail text lines.\r\n";
    return m + ".\r\n";
}

// A reply line, throwing unless it starts with the expected code.
void Expect(bm::TcpConnection& c, const char* code)
{
    std::string line;
    do {
        if (c.ReadLine(line, 4096, kTimeoutMs) != bm::ReadStatus::Line)
            throw std::runtime_error("no reply: " + c.LastError());
    } while (line.size() > 3 && line[3] == '-');
    if (!line.starts_with(code))
        throw std::runtime_error("unexpected reply: " + line);
}

// Sends kMessages over one connection; gives the seconds taken.
double SendAll(uint16_t port)
{
    const auto start = std::chrono::steady_clock::now();
    auto c = bm::TcpConnection::Connect("127.0.0.1", port);
    Expect(*c, "220");
    c->WriteLine("EHLO bench.example", kTimeoutMs);
    Expect(*c, "250");
    for (int i = 0; i < kMessages; ++i) {
        c->Write("MAIL FROM:<joe@home.example>\r\nRCPT TO:<ann@x.example>\r\nDATA\r\n", kTimeoutMs);
        Expect(*c, "250");
        Expect(*c, "250");
        Expect(*c, "354");
        c->Write(MakeMessage(i), kTimeoutMs);
        Expect(*c, "250");
    }
    c->WriteLine("QUIT", kTimeoutMs);
    Expect(*c, "221");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main()
{
    try {
        bm::test::SmtpSink sink;
        bm::bench::SmtpBenchWorld server(sink.Port());

        const double direct = SendAll(sink.Port());
        const double relayed = SendAll(server.Port());
        std::printf("smtp_relay: %d messages: straight to the sink %.3f s (%.0f/s), through the local server "
                    "%.3f s (%.0f/s), ratio %.2f\n",
                    kMessages, direct, kMessages / direct, relayed, kMessages / relayed, relayed / direct);
        return sink.Messages().size() == 2u * kMessages ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "smtp_relay: %s\n", e.what());
        return 1;
    }
}
