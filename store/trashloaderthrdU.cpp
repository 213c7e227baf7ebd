#include "store/trashloaderthrdU.h"

#include "core/synchronize.h"
#include "store/threaddatamdl.h"

#include <QCoreApplication>
#include <exception>

namespace bm {

TTrashLoader::TTrashLoader(const std::filesystem::path& file) : data_(std::make_unique<TThreadData>(file)) {}

TTrashLoader::~TTrashLoader()
{
    cancelled_ = true;
    if (!thread_.joinable())
        return;
    // The thread may be waiting in Synchronize for this very thread: keep
    // serving events until it is through (the handler sees cancelled_).
    while (!finished_ && IsMainThread() && QCoreApplication::instance())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    thread_.join();
}

void TTrashLoader::Start()
{
    if (thread_.joinable())
        return;
    thread_ = std::thread([this] { Run(); });
}

std::string TTrashLoader::Error() const
{
    std::lock_guard lock(errorMutex_);
    return error_;
}

void TTrashLoader::Run()
{
    try {
        data_->ForEachQuarantinedMessage([this](const TQuarantinedMessage& m) {
            rows_.push_back({m.ID, m.From, m.Subject, m.Size, m.Sent, m.Received, m.Account, m.UIDL});
        });
        Synchronize([this] {
            if (OnLoaded && !cancelled_)
                OnLoaded(*this, rows_);
        });
    } catch (const std::exception& e) {
        std::lock_guard lock(errorMutex_);
        error_ = e.what();
    }
    finished_ = true;
}

} // namespace bm
