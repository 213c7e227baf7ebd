#include "config/filtersU.h"

#include "config/legacyreadU.h"
#include "config/textcaseU.h"
#include "config/xmltextU.h"
#include "core/commonsU.h"
#include "core/mailmsgU.h"
#include "core/myxml.h"
#include "core/streamU.h"
#include "platform/atomicfile.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <array>
#include <system_error>

namespace bm {

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

constexpr std::array<const char*, 7> kFieldNames = {
    "from", "subject", "to", "cc", "body", "returnpath", "allheaders"};
constexpr std::array<const char*, 5> kOperationNames = {
    "contains", "notcontains", "is", "containsregexpr", "notcontainsregexpr"};

// Bounds on one expression match, so that a hostile message cannot keep the
// checker busy for ever or exhaust memory (PCRE2's own defaults are far higher).
constexpr std::uint32_t kMatchLimit = 5'000'000;
constexpr std::uint32_t kDepthLimit = 100'000;
constexpr PCRE2_SIZE kHeapLimitKiB = 64 * 1024;

std::string JoinAddresses(const TMailAddressList& list) {
    std::string text;
    for (std::size_t i = 0; i < list.Count(); ++i) {
        if (i > 0)
            text += '\x01';
        text += list[i].GetText();
    }
    return text;
}

void AppendLines(std::string& text, const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        text += line + "\r\n";
}

std::string BodyText(const TMailMessage& message) {
    std::string text;
    AppendLines(text, message.Body);
    for (const TMessagePart& part : message.Parts) {
        if (part.Kind != TPartKind::Text)
            continue;
        text += '\x01';
        AppendLines(text, part.Lines);
    }
    return text;
}

} // namespace

// --- Names -----------------------------------------------------------------------

std::string RuleFieldName(TRuleField field) {
    return kFieldNames.at(static_cast<std::size_t>(field));
}

std::string RuleOperationName(TRuleOperation operation) {
    return kOperationNames.at(static_cast<std::size_t>(operation));
}

TRuleField RuleFieldFromName(const std::string& name) {
    const std::string lower = LowerText(name);
    for (std::size_t i = 0; i < kFieldNames.size(); ++i)
        if (lower == kFieldNames[i])
            return static_cast<TRuleField>(i);
    return TRuleField::Subject;
}

TRuleOperation RuleOperationFromName(const std::string& name) {
    const std::string lower = LowerText(name);
    for (std::size_t i = 0; i < kOperationNames.size(); ++i)
        if (lower == kOperationNames[i])
            return static_cast<TRuleOperation>(i);
    return TRuleOperation::Contains;
}

const std::vector<std::string>& RuleFieldCaptions() {
    static const std::vector<std::string> captions = {
        "The 'From' field", "The 'Subject' field", "The 'To' field", "The 'CC' field",
        "The body", "The return path", "The entire header"};
    return captions;
}

const std::vector<std::string>& RuleOperationCaptions() {
    static const std::vector<std::string> captions = {
        "contains", "doesn't contain", "is equal to", "contains regular expression",
        "doesn't contain regular expression"};
    return captions;
}

std::string RuleFieldText(const TMailMessage& message, TRuleField field) {
    switch (field) {
    case TRuleField::From:
        return JoinAddresses(message.FromList);
    case TRuleField::Subject:
        return message.Subject;
    case TRuleField::To:
        return JoinAddresses(message.Recipients);
    case TRuleField::CC:
        return JoinAddresses(message.CCList);
    case TRuleField::Body:
        return BodyText(message);
    case TRuleField::ReturnPath: {
        std::string text;
        AppendLines(text, message.Headers.Values("Received"));
        return text;
    }
    case TRuleField::AllHeaders:
        return message.Headers.Text();
    }
    return {};
}

// --- Regular expressions -----------------------------------------------------------

ERegExprError::ERegExprError(const std::string& expression, const std::string& engineMessage,
                             std::size_t offset)
    : std::runtime_error("Invalid regular expression \"" + TextToUtf8(expression) + "\": " + engineMessage +
                         " at offset " + std::to_string(offset)),
      engineMessage_(engineMessage), offset_(offset) {}

struct TRule::TCompiled {
    pcre2_code* code = nullptr;
    pcre2_match_context* context = nullptr;
    ~TCompiled() {
        pcre2_match_context_free(context);
        pcre2_code_free(code);
    }
};

namespace {

// The default modifiers of filter expressions: case matters unless the
// expression says (?i); "." also matches line breaks; "^" and "$" hold only at
// the very start and end of the text ("$" not before a final line break);
// repetition greedy. Texts are UTF-8; an invalid sequence in the subject
// simply cannot match rather than failing the search.
constexpr std::uint32_t kCompileOptions =
    PCRE2_DOTALL | PCRE2_DOLLAR_ENDONLY | PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;

std::string EngineMessage(int errorCode) {
    std::array<PCRE2_UCHAR, 256> buffer{};
    const int n = pcre2_get_error_message(errorCode, buffer.data(), buffer.size());
    if (n < 0)
        return "error " + std::to_string(errorCode);
    return std::string(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
}

} // namespace

// An expression PCRE2 refuses keeps its error until the Text changes, so a
// bad filter costs one compilation per edit, not one per message.
void TRule::Compile() const {
    if (compiled_)
        return;
    if (compileError_)
        throw *compileError_;
    int errorCode = 0;
    PCRE2_SIZE errorOffset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text_.data()), text_.size(),
                                     kCompileOptions, &errorCode, &errorOffset, nullptr);
    if (!code) {
        compileError_ = std::make_unique<ERegExprError>(text_, EngineMessage(errorCode), errorOffset);
        throw *compileError_;
    }
    auto compiled = std::make_unique<TCompiled>();
    compiled->code = code;
    compiled->context = pcre2_match_context_create(nullptr);
    if (!compiled->context)
        throw std::bad_alloc();
    pcre2_set_match_limit(compiled->context, kMatchLimit);
    pcre2_set_depth_limit(compiled->context, kDepthLimit);
    pcre2_set_heap_limit(compiled->context, kHeapLimitKiB);
    compiled_ = std::move(compiled);
}

TRuleVerdict TRule::RegExprFinds(const std::string& fieldText) const {
    Compile();
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(compiled_->code, nullptr);
    if (!data)
        throw std::bad_alloc();
    const int rc = pcre2_match(compiled_->code, reinterpret_cast<PCRE2_SPTR>(fieldText.data()),
                               fieldText.size(), 0, 0, data, compiled_->context);
    pcre2_match_data_free(data);
    if (rc >= 0)
        return TRuleVerdict::Match;
    if (rc == PCRE2_ERROR_NOMATCH)
        return TRuleVerdict::NoMatch;
    // A limit reached (or any other engine failure) proves nothing either
    // way: inverted for "doesn't contain" it would let a Delete filter drop
    // the very mail that holds the text.
    return TRuleVerdict::Undecided;
}

// --- TRule ------------------------------------------------------------------------

TRule::TRule(TRuleField field, TRuleOperation operation, std::string text)
    : field_(field), operation_(operation), text_(std::move(text)) {}

TRule::~TRule() = default;

void TRule::Changed() {
    if (owner_)
        owner_->Changed();
}

void TRule::SetField(TRuleField field) {
    if (field_ == field)
        return;
    field_ = field;
    Changed();
}

void TRule::SetOperation(TRuleOperation operation) {
    if (operation_ == operation)
        return;
    operation_ = operation;
    Changed();
}

void TRule::SetText(const std::string& text) {
    if (text_ == text)
        return;
    text_ = text;
    compiled_.reset();
    compileError_.reset();
    Changed();
}

namespace {

TRuleVerdict VerdictOf(bool found) {
    return found ? TRuleVerdict::Match : TRuleVerdict::NoMatch;
}

TRuleVerdict Inverted(TRuleVerdict verdict) {
    switch (verdict) {
    case TRuleVerdict::Match: return TRuleVerdict::NoMatch;
    case TRuleVerdict::NoMatch: return TRuleVerdict::Match;
    case TRuleVerdict::Undecided: break;
    }
    return TRuleVerdict::Undecided;
}

} // namespace

TRuleVerdict TRule::JudgeText(const std::string& fieldText) const {
    switch (operation_) {
    case TRuleOperation::Contains:
    case TRuleOperation::NotContains: {
        const bool found = !text_.empty() && !fieldText.empty() &&
                           LowerText(fieldText).find(LowerText(text_)) != std::string::npos;
        return VerdictOf(operation_ == TRuleOperation::Contains ? found : !found);
    }
    case TRuleOperation::Is:
        return VerdictOf(SameTextIgnoringCase(fieldText, text_));
    case TRuleOperation::ContainsRegExpr:
        return RegExprFinds(fieldText);
    case TRuleOperation::NotContainsRegExpr:
        return Inverted(RegExprFinds(fieldText));
    }
    return TRuleVerdict::NoMatch;
}

TRuleVerdict TRule::Judge(const TMailMessage& message) const {
    return JudgeText(RuleFieldText(message, field_));
}

bool TRule::MatchesText(const std::string& fieldText) const {
    return JudgeText(fieldText) == TRuleVerdict::Match;
}

bool TRule::Matches(const TMailMessage& message) const {
    return Judge(message) == TRuleVerdict::Match;
}

void TRule::CheckExpression() const {
    if (operation_ == TRuleOperation::ContainsRegExpr || operation_ == TRuleOperation::NotContainsRegExpr)
        Compile();
}

// --- TRuleList --------------------------------------------------------------------

void TRuleList::Changed() {
    filter_.Changed();
}

TRule* TRuleList::Item(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= items_.size())
        return nullptr;
    return items_[static_cast<std::size_t>(index)].get();
}

TRule* TRuleList::Add(std::unique_ptr<TRule> rule) {
    if (!rule)
        throw std::invalid_argument("TRuleList::Add: no rule");
    rule->owner_ = this;
    items_.push_back(std::move(rule));
    Changed();
    return items_.back().get();
}

TRule* TRuleList::Add(TRuleField field, TRuleOperation operation, const std::string& text) {
    return Add(std::make_unique<TRule>(field, operation, text));
}

void TRuleList::Delete(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= items_.size())
        return;
    items_.erase(items_.begin() + index);
    Changed();
}

void TRuleList::Clear() {
    items_.clear();
    Changed();
}

// --- TFilter ----------------------------------------------------------------------

TFilter::TFilter() = default;
TFilter::~TFilter() = default;

void TFilter::Changed() {
    if (owner_)
        owner_->SetModified(true);
}

void TFilter::SetFlag(bool& flag, bool value) {
    if (flag == value)
        return;
    flag = value;
    Changed();
}

void TFilter::SetName(const std::string& name) {
    if (name_ == name)
        return;
    name_ = name;
    Changed();
}

void TFilter::SetFriendsToo(bool value) { SetFlag(friendsToo_, value); }
void TFilter::SetBlacklistSender(bool value) { SetFlag(blacklistSender_, value); }
void TFilter::SetWhitelistSender(bool value) { SetFlag(whitelistSender_, value); }
void TFilter::SetDelete(bool value) { SetFlag(delete_, value); }
void TFilter::SetOnlyWhenAllMet(bool value) { SetFlag(onlyWhenAllMet_, value); }
void TFilter::SetEnabled(bool value) { SetFlag(enabled_, value); }

void TFilter::SetLegitimate(bool value) {
    SetFlag(legitimate_, value);
    if (value) {
        SetFlag(blacklistSender_, false);
        SetFlag(delete_, false);
    }
}

bool TFilter::Matches(const TMailMessage& message, bool senderIsFriend) const {
    if (senderIsFriend && !friendsToo_)
        return false;
    if (rules_.Count() == 0)
        return false;
    for (int i = 0; i < rules_.Count(); ++i) {
        const TRuleVerdict verdict = rules_.Item(i)->Judge(message);
        if (verdict == TRuleVerdict::Undecided)
            return false;
        const bool ruleMatches = verdict == TRuleVerdict::Match;
        if (onlyWhenAllMet_ && !ruleMatches)
            return false;
        if (!onlyWhenAllMet_ && ruleMatches)
            return true;
    }
    return onlyWhenAllMet_;
}

void TFilter::CheckExpressions() const {
    for (int i = 0; i < rules_.Count(); ++i)
        rules_.Item(i)->CheckExpression();
}

// --- TFilterList: items -------------------------------------------------------------

TFilter* TFilterList::Add(std::unique_ptr<TFilter> filter) {
    if (!filter)
        throw std::invalid_argument("TFilterList::Add: no filter");
    filter->owner_ = this;
    return Append(std::move(filter));
}

TFilter* TFilterList::FindByName(const std::string& name) const {
    Lock lock(mutex_);
    for (const auto& filter : items_)
        if (filter->Name() == name)
            return filter.get();
    return nullptr;
}

TFilter* TFilterList::FindMatch(const TMailMessage& message, bool senderIsFriend,
                                std::vector<TFilterProblem>* problems) const {
    Lock lock(mutex_);
    for (const auto& filter : items_) {
        if (!filter->Enabled())
            continue;
        // Checked before any rule runs: in "any rule" mode a good rule could
        // otherwise decide before the bad one is met, and the filter would
        // act on some messages and fail on others.
        try {
            filter->CheckExpressions();
        } catch (const ERegExprError& e) {
            if (problems)
                problems->push_back({filter->Name(), "Filter \"" + filter->Name() + "\" is disabled: " + e.what()});
            continue;
        }
        if (filter->Matches(message, senderIsFriend))
            return filter.get();
    }
    return nullptr;
}

std::optional<TFilterMatch> TFilterList::FindMatchResult(const TMailMessage& message, bool senderIsFriend,
                                                         std::vector<TFilterProblem>* problems) const {
    Lock lock(mutex_);
    const TFilter* filter = FindMatch(message, senderIsFriend, problems);
    if (!filter)
        return std::nullopt;
    return TFilterMatch{filter->Name(), filter->Delete(), filter->WhitelistSender()};
}

// --- TFilterList: files -------------------------------------------------------------

namespace {

// A flag element that is missing keeps the new filter's default.
bool ReadFlag(const TElementDocXML* element, const std::string& name, bool fallback) {
    if (!TMyXML::FindChild(element, name))
        return fallback;
    return TMyXML::ChildIsYes(element, name);
}

std::unique_ptr<TFilter> ReadFilterElement(const TElementDocXML* element) {
    auto filter = std::make_unique<TFilter>();
    if (TMyXML::FindChild(element, "Name"))
        filter->SetName(TextToUtf8(TMyXML::ChildText(element, "Name")));
    filter->SetFriendsToo(ReadFlag(element, "FriendsToo", false));
    filter->SetLegitimate(ReadFlag(element, "Legitimate", false));
    filter->SetBlacklistSender(ReadFlag(element, "BlacklistSender", false));
    filter->SetWhitelistSender(ReadFlag(element, "WhitelistSender", false));
    filter->SetDelete(ReadFlag(element, "Delete", false));
    filter->SetOnlyWhenAllMet(ReadFlag(element, "OnlyWhenAllMet", true));
    filter->SetEnabled(ReadFlag(element, "Enabled", true));
    if (const TElementDocXML* rules = TMyXML::FindChild(element, "Rules")) {
        for (const auto& rule : rules->Children)
            filter->Rules().Add(RuleFieldFromName(TMyXML::ChildText(rule.get(), "Field")),
                                RuleOperationFromName(TMyXML::ChildText(rule.get(), "Operation")),
                                TextToUtf8(TMyXML::ChildText(rule.get(), "Text")));
    }
    return filter;
}

void WriteFilterElement(TElementDocXML* parent, const TFilter& filter) {
    TElementDocXML* e = TSimploXML::AddChild(parent, "Filter");
    TMyXML::AddTextChild(e, "Name", XMLShortText(filter.Name()));
    TMyXML::AddBoolChild(e, "FriendsToo", filter.FriendsToo());
    TMyXML::AddBoolChild(e, "Legitimate", filter.Legitimate());
    TMyXML::AddBoolChild(e, "BlacklistSender", filter.BlacklistSender());
    TMyXML::AddBoolChild(e, "WhitelistSender", filter.WhitelistSender());
    TMyXML::AddBoolChild(e, "Delete", filter.Delete());
    TMyXML::AddBoolChild(e, "OnlyWhenAllMet", filter.OnlyWhenAllMet());
    TMyXML::AddBoolChild(e, "Enabled", filter.Enabled());
    TElementDocXML* rules = TSimploXML::AddChild(e, "Rules");
    for (int i = 0; i < filter.Rules().Count(); ++i) {
        const TRule* rule = filter.Rules().Item(i);
        TElementDocXML* r = TSimploXML::AddChild(rules, "Rule");
        TMyXML::AddTextChild(r, "Field", RuleFieldName(rule->Field()));
        TMyXML::AddTextChild(r, "Operation", RuleOperationName(rule->Operation()));
        TMyXML::AddTextChild(r, "Text", TMyXML::CData(rule->Text()));
    }
}

// Legacy numbers outside the name tables read like unknown names.
TRuleField LegacyField(std::int32_t value) {
    return value >= 0 && value < 7 ? static_cast<TRuleField>(value) : TRuleField::Subject;
}

TRuleOperation LegacyOperation(std::int32_t value) {
    return value >= 0 && value < 5 ? static_cast<TRuleOperation>(value) : TRuleOperation::Contains;
}

std::unique_ptr<TFilter> ReadLegacyFilter(TByteReader& r, std::string_view bytes) {
    auto filter = std::make_unique<TFilter>();
    filter->SetName(TextToUtf8(ReadRecordString(r, bytes)));
    filter->SetFriendsToo(ReadBool(r));
    ReadByte(r);     // legacy flag
    ReadRecordString(r, bytes);  // legacy string
    ReadInt32(r);    // legacy integer
    const bool legitimate = ReadBool(r);
    const bool blacklistSender = ReadBool(r);
    const bool whitelistSender = ReadBool(r);
    const bool deleteMessage = ReadBool(r);
    // Legitimate first: its side effect must not overrule the stored flags.
    filter->SetLegitimate(legitimate);
    filter->SetBlacklistSender(blacklistSender);
    filter->SetWhitelistSender(whitelistSender);
    filter->SetDelete(deleteMessage);
    for (int i = 0; i < 3; ++i)
        ReadByte(r); // legacy flags
    filter->SetOnlyWhenAllMet(ReadBool(r));
    filter->SetEnabled(ReadBool(r));
    const std::int32_t rules = ReadInt32(r);
    for (std::int32_t i = 0; i < rules; ++i) {
        const std::int32_t field = ReadInt32(r);
        const std::int32_t operation = ReadInt32(r);
        filter->Rules().Add(LegacyField(field), LegacyOperation(operation),
                            TextToUtf8(ReadRecordString(r, bytes)));
    }
    return filter;
}

} // namespace

std::filesystem::path TFilterList::DefaultFileName() {
    return GetDataFolder() / "filters.xml";
}

void TFilterList::ReadLegacy(const std::string& bytes) {
    TByteReader reader(bytes);
    ReadVersion(reader);
    ReadLegacyRecords(reader, [&] {
        std::unique_ptr<TFilter> filter = ReadLegacyFilter(reader, bytes);
        filter->owner_ = this;
        items_.push_back(std::move(filter));
    });
}

bool TFilterList::ReadXML(const std::filesystem::path& xmlFile) {
    TMyXML doc;
    if (!doc.LoadFromFile(xmlFile))
        return false;
    for (const auto& child : doc.DocumentElement()->Children) {
        std::unique_ptr<TFilter> filter = ReadFilterElement(child.get());
        filter->owner_ = this;
        items_.push_back(std::move(filter));
    }
    return true;
}

void TFilterList::LoadFromFile(const std::filesystem::path& fileName) {
    Lock lock(mutex_);
    const std::filesystem::path file = fileName.empty() ? DefaultFileName() : fileName;
    file_.Load(file, {[this] { items_.clear(); },
                      [this](const std::string& bytes) { ReadLegacy(bytes); },
                      [this](const std::filesystem::path& xmlFile) { return ReadXML(xmlFile); },
                      [this, &file] { SaveToFile(file); }});
    modified_ = false;
}

void TFilterList::SaveToFile(const std::filesystem::path& fileName) {
    Lock lock(mutex_);
    const std::filesystem::path file = fileName.empty() ? DefaultFileName() : fileName;
    file_.BeforeSave(file);
    TMyXML doc;
    TElementDocXML* root = doc.New("BadMailReplies");
    for (const auto& filter : items_)
        WriteFilterElement(root, *filter);
    doc.SaveToFile(file);
    modified_ = false;
    file_.Saved(file);
}

void TFilterList::SaveIfModified(const std::filesystem::path& fileName) {
    Lock lock(mutex_);
    if (!modified_ || (file_.LoadFailed() && items_.empty()))
        return;
    SaveToFile(fileName);
}

TFilterList& FilterList() {
    static TFilterList list;
    return list;
}

} // namespace bm
