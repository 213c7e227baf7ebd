#include "tests/support/tinyproxy.h"

#include "tests/support/freeport.h"

#include <fstream>
#include <stdexcept>

namespace bm::test {

namespace {

constexpr const char* kTinyproxy = "/usr/bin/tinyproxy";
constexpr int kPortAttempts = 5;

void WriteConfig(const std::filesystem::path& file, std::uint16_t port, const TinyproxyOptions& options)
{
    if ((options.user + options.password).find_first_of(" \t\r\n\"") != std::string::npos)
        throw std::invalid_argument("tinyproxy's BasicAuth takes no blanks or quotes");
    std::ofstream out(file);
    out << "Port " << port << "\n"
        << "Listen 127.0.0.1\n"
        << "Timeout 60\n"
        << "MaxClients 20\n"
        << "LogLevel Info\n";
    for (const std::uint16_t p : options.connectPorts)
        out << "ConnectPort " << p << "\n";
    if (!options.user.empty())
        out << "BasicAuth " << options.user << " " << options.password << "\n";
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

} // namespace

TinyproxyServer::TinyproxyServer(const TinyproxyOptions& options, std::chrono::milliseconds startTimeout)
{
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        if (StartOnce(options, startTimeout))
            return;
    }
    throw std::runtime_error("tinyproxy did not start: " + Log());
}

TinyproxyServer::~TinyproxyServer()
{
    Stop();
}

bool TinyproxyServer::StartOnce(const TinyproxyOptions& options, std::chrono::milliseconds timeout)
{
    port_ = FindFreePort();
    const auto conf = dir_.path() / "tinyproxy.conf";
    WriteConfig(conf, port_, options);
    std::error_code ec;
    std::filesystem::remove(dir_.path() / "tinyproxy.log", ec);
    process_ = std::make_unique<PeerProcess>(std::vector<std::string>{kTinyproxy, "-d", "-c", conf.string()},
                                             dir_.path() / "tinyproxy.log");
    // tinyproxy logs this line once its socket listens.
    const bool ready = PollUntil([this] { return Log().find("Accepting connections") != std::string::npos; },
                                 timeout, [this] { return process_->Running(); });
    if (ready)
        return true;
    const bool died = !process_->Running();
    process_->Stop();
    if (!died)
        throw std::runtime_error("tinyproxy did not start in time: " + Log());
    return false;  // most likely the port was taken meanwhile: try another
}

std::string TinyproxyServer::Log() const
{
    return ReadLog(dir_.path() / "tinyproxy.log");
}

void TinyproxyServer::Stop()
{
    if (process_)
        process_->Stop();
}

} // namespace bm::test
