#pragma once
// What the local POP3 and SMTP server tests share: running a blocking client
// off the main thread while the main thread serves the event loop (the
// servers hand their events to it), and a line client over the product's
// socket layer for raw sessions.

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "net/socketU.h"
#include "net/tlsU.h"

namespace bm::test {

// Runs fn on a worker thread and serves the main thread's event loop until
// it returns (a blocking client whose server hands an event to the main thread).
inline void RunAside(const std::function<void()>& fn)
{
    std::atomic<bool> done{false};
    std::thread worker([&] {
        fn();
        done = true;
        QMetaObject::invokeMethod(QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
    });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    worker.join();
}

// A client of one server connection that reads and writes whole lines, each
// step bounded by timeoutMs; the protocol clients build their commands on it.
class LineClient {
public:
    LineClient(uint16_t port, bool implicitTls, int timeoutMs)
        : timeoutMs_(timeoutMs), c_(TcpConnection::Connect(kLoopbackAddress, port))
    {
        if (implicitTls)
            StartTls();
    }
    void StartTls() { c_->StartTls(*TlsContext::Client(), timeoutMs_); }
    void Send(std::string_view bytes) { c_->Write(bytes, timeoutMs_); }
    // One reply line (without CR LF); "<closed>" when the server closed,
    // "<error>" on a failure, "<too long>" past 4096 bytes.
    std::string Line()
    {
        std::string line;
        switch (c_->ReadLine(line, 4096, timeoutMs_)) {
        case ReadStatus::Line:
            return line;
        case ReadStatus::Closed:
            return "<closed>";
        case ReadStatus::TooLong:
            return "<too long>";
        default:
            return "<error>";
        }
    }
    TcpConnection& Connection() { return *c_; }

protected:
    void SendLine(const std::string& command) { c_->WriteLine(command, timeoutMs_); }

private:
    int timeoutMs_;
    std::unique_ptr<TcpConnection> c_;
};

} // namespace bm::test
