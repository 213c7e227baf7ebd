#include "config/badmailreplyU.h"

#include "config/legacyreadU.h"
#include "config/xmltextU.h"
#include "core/commonsU.h"
#include "core/datetimeU.h"
#include "core/myxml.h"
#include "core/streamU.h"
#include "platform/atomicfile.h"

#include <atomic>
#include <stdexcept>
#include <system_error>

namespace bm {

namespace {

// The tick count alone repeats within a millisecond; the sequence does not.
std::string NewTemplateID() {
    static std::atomic<std::uint64_t> sequence{0};
    const std::uint64_t n = ++sequence;
    return std::to_string(GetTickCount()) + "_" + std::to_string(n);
}

} // namespace

// --- TBadMailReply -------------------------------------------------------------

TBadMailReply::TBadMailReply() : ID(NewTemplateID()) {}

TBadMailReply::TBadMailReply(const TBadMailReply& other)
    : Name(other.Name), ID(other.ID), Body(other.Body), subject_(other.subject_) {}

void TBadMailReply::SetSubject(const std::string& subject) {
    if (subject_ == subject)
        return;
    subject_ = subject;
    if (owner_)
        owner_->SetModified(true);
}

std::string TBadMailReply::BodyText() const {
    std::string text;
    for (const std::string& line : Body)
        text += line + "\r\n";
    return text;
}

void TBadMailReply::SetBodyText(const std::string& text) {
    Body.clear();
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        Body.push_back(text.substr(start, end - start));
        start = end + 1;
        if (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n')
            ++start;
    }
}

// --- TBadMailReplies: files ----------------------------------------------------

std::filesystem::path TBadMailReplies::DefaultFileName() {
    return GetDataFolder() / "badmailreplies.xml";
}

void TBadMailReplies::LoadFromFile(const std::filesystem::path& fileName) {
    Lock lock(mutex_);
    const std::filesystem::path file = fileName.empty() ? DefaultFileName() : fileName;
    file_.Load(file, {[this] { items_.clear(); },
                      [this](const std::string& bytes) { ReadLegacy(bytes); },
                      [this](const std::filesystem::path& xmlFile) { return ReadXML(xmlFile); },
                      [this, &file] { SaveToFile(file); }});
    modified_ = false;
}

void TBadMailReplies::ReadLegacy(const std::string& bytes) {
    TByteReader reader(bytes);
    ReadVersion(reader);
    ReadLegacyRecords(reader, [&] {
        auto reply = std::make_unique<TBadMailReply>();
        reply->Name = TextToUtf8(ReadRecordString(reader, bytes));
        reply->ID = TextToUtf8(ReadRecordString(reader, bytes));
        reply->subject_ = TextToUtf8(ReadRecordString(reader, bytes));
        reply->SetBodyText(TextToUtf8(ReadRecordString(reader, bytes)));
        reply->owner_ = this;
        items_.push_back(std::move(reply));
    });
}

bool TBadMailReplies::ReadXML(const std::filesystem::path& xmlFile) {
    TMyXML doc;
    if (!doc.LoadFromFile(xmlFile))
        return false;
    for (const auto& child : doc.DocumentElement()->Children) {
        auto reply = std::make_unique<TBadMailReply>();
        // The earlier 8-bit versions wrote Windows-1252; what is not valid
        // UTF-8 is read as that once here, so a challenge built from the
        // template is valid under its charset=utf-8.
        reply->Name = TextToUtf8(TMyXML::ChildText(child.get(), "Name"));
        reply->ID = TextToUtf8(TMyXML::ChildText(child.get(), "ID"));
        reply->subject_ = TextToUtf8(TMyXML::ChildText(child.get(), "Subject"));
        reply->SetBodyText(TextToUtf8(TMyXML::ChildText(child.get(), "Body")));
        reply->owner_ = this;
        items_.push_back(std::move(reply));
    }
    return true;
}

void TBadMailReplies::SaveToFile(const std::filesystem::path& fileName) {
    Lock lock(mutex_);
    const std::filesystem::path file = fileName.empty() ? DefaultFileName() : fileName;
    file_.BeforeSave(file);
    TMyXML doc;
    TElementDocXML* root = doc.New("BadMailReplies");
    for (const auto& reply : items_) {
        TElementDocXML* e = TSimploXML::AddChild(root, "BadMailReply");
        TMyXML::AddTextChild(e, "Name", XMLShortText(reply->Name));
        TMyXML::AddTextChild(e, "ID", XMLShortText(reply->ID));
        TMyXML::AddTextChild(e, "Subject", XMLShortText(reply->Subject()));
        TMyXML::AddTextChild(e, "Body", TMyXML::CData(reply->BodyText()));
    }
    doc.SaveToFile(file);
    modified_ = false;
    file_.Saved(file);
}

// --- TBadMailReplies: items ----------------------------------------------------

TBadMailReply* TBadMailReplies::Add(std::unique_ptr<TBadMailReply> reply) {
    if (!reply)
        throw std::invalid_argument("TBadMailReplies::Add: no template");
    reply->owner_ = this;
    return Append(std::move(reply));
}

TBadMailReply* TBadMailReplies::FindByID(const std::string& id) const {
    Lock lock(mutex_);
    for (const auto& reply : items_)
        if (reply->ID == id)
            return reply.get();
    return nullptr;
}

std::optional<TBadMailReply> TBadMailReplies::FindCopyByID(const std::string& id) const {
    Lock lock(mutex_);
    const TBadMailReply* reply = FindByID(id);
    if (!reply)
        return std::nullopt;
    return std::optional<TBadMailReply>(std::in_place, *reply);
}

TBadMailReplies& BadMailReplies() {
    static TBadMailReplies list;
    return list;
}

} // namespace bm
