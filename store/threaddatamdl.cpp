#include "store/threaddatamdl.h"

#include "core/mailmsgU.h"

#include <atomic>

namespace bm {

namespace {

std::atomic<int> nextNumber{1};

} // namespace

TThreadData::TThreadData(const std::filesystem::path& file)
    : TQuarantineConnection(file.empty() ? QuarantineDbPath() : file), number_(nextNumber++)
{
}

TThreadData::~TThreadData() = default;

std::string TThreadData::Name() const
{
    return "DB_" + std::to_string(number_);
}

int TThreadData::QueueMessage(const std::string& account, int keyId, const TMailMessage& message)
{
    return AppendQueueRow(account, keyId, message.SaveToString());
}

} // namespace bm
