#include "tests/support/smtpsink.h"

#include "tests/support/freeport.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <stdexcept>

namespace bm::test {

namespace {

namespace fs = std::filesystem;

constexpr int kPortAttempts = 5;

std::string ToStd(const QJsonValue& v)
{
    return v.toString().toStdString();
}

SmtpReceived ParseRecord(const std::string& json)
{
    const QJsonObject o =
        QJsonDocument::fromJson(QByteArray(json.data(), static_cast<qsizetype>(json.size())))
            .object();
    SmtpReceived r;
    r.from = ToStd(o.value("from"));
    for (const QJsonValue& to : o.value("to").toArray())
        r.recipients.push_back(ToStd(to));
    const QByteArray data = QByteArray::fromBase64(o.value("data_b64").toString().toLatin1());
    r.data.assign(data.constData(), static_cast<std::size_t>(data.size()));
    if (o.value("auth_user").isString())
        r.authUser = ToStd(o.value("auth_user"));
    r.tls = o.value("tls").toBool();
    r.port = static_cast<std::uint16_t>(o.value("port").toInt());
    return r;
}

} // namespace

std::string RelayDeniedReply(const std::string& address)
{
    return "554 5.7.1 <" + address + ">: Relay access denied";
}

std::string GreylistedReply(const std::string& address)
{
    const std::string domain = address.substr(address.rfind('@') + 1);
    return "450 4.2.0 <" + address + ">: Recipient address rejected: Greylisted, see "
           "http://postgrey.schweikert.ch/help/" + domain + ".html";
}

SmtpSink::SmtpSink(SmtpSinkOptions options, std::chrono::milliseconds startTimeout)
{
    fs::create_directories(dir_.path() / "out");
    for (int attempt = 1;; ++attempt) {
        if (StartOnce(options, startTimeout))
            return;
        const std::string log = Log();
        // A port found free may be taken by another program before the sink
        // binds it ("[Errno 98] ... address already in use"): other ports then.
        if (attempt == kPortAttempts || log.find("in use") == std::string::npos)
            throw std::runtime_error("the SMTP sink did not start:\n" + log);
        std::error_code ec;
        fs::remove(dir_.path() / "sink.log", ec);
    }
}

bool SmtpSink::StartOnce(const SmtpSinkOptions& options, std::chrono::milliseconds startTimeout)
{
    const TestCertificate& cert = GetTestCertificate();
    port_ = FindFreePort();
    do
        sslPort_ = FindFreePort();
    while (sslPort_ == port_);
    const fs::path ready = dir_.path() / "ready";
    // -I: ignore PYTHON* variables and user site packages (a pyenv may set them).
    std::vector<std::string> argv{"/usr/bin/python3", "-I",
                                  std::string(BRIXMOOR_SOURCE_DIR) + "/tests/support/smtpsink.py",
                                  "--port", std::to_string(port_),
                                  "--ssl-port", std::to_string(sslPort_),
                                  "--cert", cert.certFile.string(),
                                  "--key", cert.keyFile.string(),
                                  "--out", (dir_.path() / "out").string(),
                                  "--ready", ready.string()};
    if (options.startTls)
        argv.push_back("--starttls");
    if (!options.user.empty()) {
        argv.insert(argv.end(), {"--user", options.user, "--password", options.password});
        if (options.requireAuth)
            argv.push_back("--require-auth");
        for (const std::string& m : options.excludeAuth)
            argv.insert(argv.end(), {"--exclude-auth", m});
    }
    for (const std::string& r : options.refuseRecipients)
        argv.insert(argv.end(), {"--refuse", r});
    for (const std::string& r : options.relayDenied)
        argv.insert(argv.end(), {"--relay-denied", r});
    for (const std::string& r : options.greylist)
        argv.insert(argv.end(), {"--greylist", r});
    if (options.dataReplyDelay.count() > 0)
        argv.insert(argv.end(), {"--data-delay-ms", std::to_string(options.dataReplyDelay.count())});
    if (!options.dataReply.empty())
        argv.insert(argv.end(), {"--data-reply", options.dataReply});
    if (options.dataSizeLimit > 0)
        argv.insert(argv.end(), {"--data-size-limit", std::to_string(options.dataSizeLimit)});
    process_ = std::make_unique<PeerProcess>(argv, dir_.path() / "sink.log");
    const bool started = PollUntil([&] { return fs::exists(ready); }, startTimeout,
                                   [this] { return process_->Running(); });
    if (!started)
        process_->Stop();
    return started;
}

SmtpSink::~SmtpSink()
{
    Stop();
}

const fs::path& SmtpSink::CertFile() const
{
    return GetTestCertificate().certFile;
}

std::vector<SmtpReceived> SmtpSink::Messages() const
{
    // Files are NNNNNN.json, renamed into place when complete; temporaries start with ".".
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir_.path() / "out", ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(".") && name.ends_with(".json"))
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::vector<SmtpReceived> messages;
    for (const fs::path& f : files)
        messages.push_back(ParseRecord(ReadFileBytes(f)));
    return messages;
}

bool SmtpSink::WaitForMessages(std::size_t count, std::chrono::milliseconds timeout) const
{
    return PollUntil([&] { return Messages().size() >= count; }, timeout);
}

pid_t SmtpSink::Pid() const
{
    return process_ ? process_->Pid() : -1;
}

void SmtpSink::Stop()
{
    if (process_)
        process_->Stop();
}

std::string SmtpSink::Log() const
{
    return ReadLog(dir_.path() / "sink.log");
}

} // namespace bm::test
