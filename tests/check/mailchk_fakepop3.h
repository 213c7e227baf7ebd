#pragma once
// A scripted POP3 server on loopback for what a real server does not do on
// demand: cut a connection in the middle of a message, stall, answer
// malformed lines, announce mechanisms it cannot carry out.
//
// It serves a small mailbox with the ordinary RFC 1939 dialogue (DELE marks,
// QUIT removes what was marked) to a number of sessions one after the other;
// a React hook may answer any line itself first. The UIDLs are the mails'
// Uid fields as given, so empty, repeated, long or "1, 2, 3" ones are sent
// as they are. Records every line received.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/socketU.h"

namespace bm::test {

class FakePop3Server {
public:
    enum class Reaction { Default, Handled, Hangup };
    using React = std::function<Reaction(const std::string& line, TcpConnection& c)>;

    struct Mail {
        std::string Uid;
        std::string Text; // CR LF lines, not dot-stuffed
    };

    FakePop3Server(std::vector<Mail> mails, React react = {}, std::string greeting = "+OK fake ready",
                   std::vector<std::string> capa = {"USER", "UIDL"}, int sessions = 1)
        : mails_(std::move(mails)), react_(std::move(react)), greeting_(std::move(greeting)),
          capa_(std::move(capa)), sessions_(sessions), listener_(0)
    {
        thread_ = std::thread([this] { Run(); });
    }
    ~FakePop3Server()
    {
        listener_.Stop();
        {
            std::lock_guard lock(mutex_);
            if (connection_)
                connection_->Abort();
        }
        if (thread_.joinable())
            thread_.join();
    }
    FakePop3Server(const FakePop3Server&) = delete;
    FakePop3Server& operator=(const FakePop3Server&) = delete;

    std::uint16_t Port() const { return listener_.Port(); }
    // Every answer of the ordinary dialogue is written one byte per write
    // (the client's readers must resume at any byte). Set before the client
    // connects.
    void SetByteAtATime(bool on) { byteAtATime_ = on; }
    // The server hangs up once it has written this many bytes of answers in
    // a session, in the middle of whatever it was sending. Set before the
    // client connects.
    void SetCloseAfterBytes(std::size_t bytes) { closeAfter_ = bytes; }
    // The answer to PASS (e.g. "-ERR [IN-USE] locked"); empty: "+OK".
    void SetPassReply(std::string reply) { passReply_ = std::move(reply); }

    // The mails still in the mailbox (after the sessions' QUITs).
    std::vector<Mail> Mailbox()
    {
        std::lock_guard lock(mutex_);
        return mails_;
    }

    // Returns once a client was accepted.
    void WaitForClient()
    {
        std::unique_lock lock(mutex_);
        accepted_.wait(lock, [this] { return connection_ != nullptr || done_; });
    }
    // Waits until the client closed (or the server hung up), then gives the
    // lines received.
    std::vector<std::string> Finish()
    {
        if (thread_.joinable())
            thread_.join();
        return lines_;
    }
    static bool Received(const std::vector<std::string>& lines, const std::string& prefix)
    {
        for (const std::string& l : lines)
            if (l.rfind(prefix, 0) == 0)
                return true;
        return false;
    }

    static std::string DotStuffed(const std::string& text)
    {
        std::string out;
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t end = text.find("\r\n", pos);
            end = end == std::string::npos ? text.size() : end + 2;
            if (text[pos] == '.')
                out += '.';
            out += text.substr(pos, end - pos);
            pos = end;
        }
        return out + ".\r\n";
    }

private:
    struct HungUp {};

    void Run()
    {
        for (int session = 0; session < sessions_; ++session) {
            std::unique_ptr<TcpConnection> c = listener_.Accept(kNoTimeout);
            {
                std::lock_guard lock(mutex_);
                connection_ = c.get();
                done_ = !c;
            }
            accepted_.notify_all();
            if (!c)
                return;
            written_ = 0;
            marked_.assign(mails_.size(), false);
            try {
                Serve(*c);
            } catch (const std::exception&) {
                // the client went away mid-answer
            } catch (const HungUp&) {
            }
            std::lock_guard lock(mutex_);
            connection_ = nullptr;
        }
    }

    // RFC 1939 §6: the marked messages go at QUIT, and only then.
    void Update()
    {
        std::lock_guard lock(mutex_);
        std::vector<Mail> kept;
        for (std::size_t i = 0; i < mails_.size(); ++i)
            if (!marked_[i])
                kept.push_back(mails_[i]);
        mails_ = std::move(kept);
    }

    void Serve(TcpConnection& c)
    {
        if (!greeting_.empty())
            Send(c, greeting_ + "\r\n");
        std::string line;
        while (c.ReadLine(line, 65536, kNoTimeout) == ReadStatus::Line) {
            lines_.push_back(line);
            const Reaction r = react_ ? react_(line, c) : Reaction::Default;
            if (r == Reaction::Hangup)
                return;
            if (r == Reaction::Handled)
                continue;
            if (!Answer(line, c))
                return;
        }
    }

    int Number(const std::string& line) const
    {
        const std::size_t blank = line.find(' ');
        return blank == std::string::npos ? 0 : std::atoi(line.c_str() + blank + 1);
    }

    // The ordinary dialogue; false after QUIT.
    bool Answer(const std::string& line, TcpConnection& c)
    {
        const int n = Number(line);
        const bool valid = n >= 1 && n <= static_cast<int>(mails_.size());
        if (line.rfind("PASS", 0) == 0 && !passReply_.empty()) {
            Send(c, passReply_ + "\r\n");
        } else if (line.rfind("USER", 0) == 0 || line.rfind("PASS", 0) == 0) {
            Send(c, "+OK\r\n");
        } else if (line == "CAPA") {
            std::string block = "+OK\r\n";
            for (const std::string& cap : capa_)
                block += cap + "\r\n";
            Send(c, block + ".\r\n");
        } else if (line == "STAT") {
            Send(c, "+OK " + std::to_string(mails_.size()) + " 1000" + "\r\n");
        } else if (line == "UIDL") {
            std::string block = "+OK\r\n";
            for (std::size_t i = 0; i < mails_.size(); ++i)
                block += std::to_string(i + 1) + " " + mails_[i].Uid + "\r\n";
            Send(c, block + ".\r\n");
        } else if (line.rfind("LIST ", 0) == 0 && valid) {
            Send(c, "+OK " + std::to_string(n) + " " + std::to_string(mails_[n - 1].Text.size()) + "\r\n");
        } else if (line.rfind("RETR ", 0) == 0 && valid) {
            Send(c, "+OK\r\n" + DotStuffed(mails_[n - 1].Text));
        } else if (line.rfind("DELE ", 0) == 0 && valid) {
            marked_[static_cast<std::size_t>(n - 1)] = true;
            Send(c, "+OK deleted\r\n");
        } else if (line == "QUIT") {
            Update();
            Send(c, "+OK bye\r\n");
            return false;
        } else {
            Send(c, "-ERR unknown command\r\n");
        }
        return true;
    }

    void Send(TcpConnection& c, const std::string& bytes)
    {
        if (closeAfter_ > 0 && written_ + bytes.size() > closeAfter_) {
            c.Write(std::string_view(bytes).substr(0, closeAfter_ - written_), 5000);
            throw HungUp{};
        }
        written_ += bytes.size();
        if (!byteAtATime_) {
            c.Write(bytes, 5000);
            return;
        }
        for (char b : bytes)
            c.Write(std::string_view(&b, 1), 5000);
    }

    std::vector<Mail> mails_;
    React react_;
    std::string greeting_;
    std::vector<std::string> capa_;
    int sessions_;
    std::vector<bool> marked_;
    std::size_t written_ = 0;
    std::atomic<std::size_t> closeAfter_{0};
    std::string passReply_;
    TcpListener listener_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable accepted_;
    TcpConnection* connection_ = nullptr;
    bool done_ = false;
    std::atomic<bool> byteAtATime_{false};
    std::vector<std::string> lines_;
};

} // namespace bm::test
