#include "core/errorsU.h"

#include "core/loggerU.h"
#include "core/synchronize.h"

#include <stdexcept>

namespace bm {

std::function<void(const std::string& account, const std::string& message)> OnErrorReported;

std::string TrimText(std::string_view text)
{
    auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

std::size_t TErrorList::Count() const
{
    std::lock_guard lock(mutex_);
    return items_.size();
}

TError TErrorList::Item(std::size_t index) const
{
    std::lock_guard lock(mutex_);
    if (index >= items_.size())
        throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    return *items_[index];
}

void TErrorList::Add(std::unique_ptr<TError> error)
{
    if (!error)
        return;
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(error));
}

void TErrorList::Add(TError error)
{
    Add(std::make_unique<TError>(std::move(error)));
}

void TErrorList::Clear()
{
    std::lock_guard lock(mutex_);
    items_.clear();
}

std::vector<TError> TErrorList::TakeAll()
{
    std::lock_guard lock(mutex_);
    std::vector<TError> all;
    all.reserve(items_.size());
    for (const auto& item : items_)
        all.push_back(*item);
    items_.clear();
    return all;
}

TErrorList& ErrorList()
{
    static TErrorList list;
    return list;
}

namespace {

std::string OneLine(std::string text)
{
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 1))
        text.replace(at, 2, " ");
    return text;
}

void RecordError(const std::string& message, const std::string& account)
{
    WriteTrace({"Error", account, OneLine(message)}, kTraceEvent);
    TError error;
    error.Message = TrimText(message);
    error.Time = Now();
    error.Account = account;
    ErrorList().Add(std::move(error));
    if (OnErrorReported)
        OnErrorReported(account, message);
}

} // namespace

void ReportError(const std::string& message, const std::string& account)
{
    if (message.find(kGracefulCloseText) != std::string::npos)
        return;
    Synchronize([&] { RecordError(message, account); });
}

} // namespace bm
