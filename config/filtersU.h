#pragma once
// User filters: rule sets that catch a message by its From, To, CC, Subject,
// body or header text and tell the Mail check to delete it or to make its
// sender a friend. Stored in "filters.xml" in the data folder (document
// element "BadMailReplies", the name the stored files have always carried);
// an older "filters.dat" is converted once and deleted.
//
// Threads: the process-wide FilterList() is matched by the checker thread and
// edited by the main thread. Every member of TFilterList takes the list's own
// lock, and FindMatch holds it for the whole walk (rules compile their
// expressions during matching). Pointers to filters and rules, and setters
// called through them, need the caller to hold Mutex() meanwhile;
// FindMatchResult hands out a detached copy of the result instead.

#include "config/xmllistfileU.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace bm {

class TMailMessage;
class TFilter;
class TFilterList;
class TRuleList;

// A regular expression that PCRE2 refuses (a text that is not valid UTF-8
// among them). what() is
// `Invalid regular expression "<text>": <PCRE2 message> at offset <n>`, the
// text read as Windows-1252 where it is not valid UTF-8.
class ERegExprError : public std::runtime_error {
public:
    ERegExprError(const std::string& expression, const std::string& engineMessage,
                  std::size_t offset);
    const std::string& EngineMessage() const { return engineMessage_; }
    std::size_t Offset() const { return offset_; }

private:
    std::string engineMessage_;
    std::size_t offset_;
};

// The message part a rule looks at (stored as its name, in this order).
enum class TRuleField : std::uint8_t {
    From = 0, Subject = 1, To = 2, CC = 3, Body = 4, ReturnPath = 5, AllHeaders = 6
};
// The comparison of a rule (stored as its name, in this order).
enum class TRuleOperation : std::uint8_t {
    Contains = 0, NotContains = 1, Is = 2, ContainsRegExpr = 3, NotContainsRegExpr = 4
};

// "from", "subject", "to", "cc", "body", "returnpath", "allheaders".
std::string RuleFieldName(TRuleField field);
// "contains", "notcontains", "is", "containsregexpr", "notcontainsregexpr".
std::string RuleOperationName(TRuleOperation operation);
// Name lookups after lower-casing; an unknown field is Subject, an unknown
// operation Contains.
TRuleField RuleFieldFromName(const std::string& name);
TRuleOperation RuleOperationFromName(const std::string& name);
// The filter dialog's captions, in index order.
const std::vector<std::string>& RuleFieldCaptions();
const std::vector<std::string>& RuleOperationCaptions();

// The text of `field` that a rule compares (exposed for the filter dialog's
// preview and for tests): From, To and CC join the items' header forms with
// the character of code 1; Body is the body lines, each with CR LF, then for
// every text part code 1 and its lines with CR LF; ReturnPath the values of
// the "Received" header lines, each with CR LF; AllHeaders every header line
// with CR LF.
std::string RuleFieldText(const TMailMessage& message, TRuleField field);

// What a rule says of a message. Undecided: its expression reached the
// engine's match, depth or heap limit, so it found nothing either way.
enum class TRuleVerdict { Match, NoMatch, Undecided };

class TRule {
public:
    TRule() = default;
    TRule(TRuleField field, TRuleOperation operation, std::string text);
    ~TRule();
    TRule(const TRule&) = delete;
    TRule& operator=(const TRule&) = delete;

    TRuleField Field() const { return field_; }
    TRuleOperation Operation() const { return operation_; }
    const std::string& Text() const { return text_; }
    // Each setter sets the filter list's Modified flag when the value changes;
    // a new Text drops the compiled expression.
    void SetField(TRuleField field);
    void SetOperation(TRuleOperation operation);
    void SetText(const std::string& text);

    // Builds the field's text and compares it; "notcontains" and
    // "notcontainsregexpr" invert the result. An expression is compiled on
    // first use and kept (or its error) until Text changes. Throws
    // ERegExprError for an invalid expression, on every use. An Undecided
    // verdict (a limit reached on hostile text) is never inverted: Matches
    // is then false whatever the operation. Caller holds the owning list's
    // lock.
    TRuleVerdict Judge(const TMailMessage& message) const;
    TRuleVerdict JudgeText(const std::string& fieldText) const;
    // Judge(...) == Match.
    bool Matches(const TMailMessage& message) const;
    bool MatchesText(const std::string& fieldText) const;
    // Compiles a regular expression rule's Text now; throws ERegExprError as
    // Judge would. Nothing for the other operations.
    void CheckExpression() const;

    TRuleList* Owner() const { return owner_; }

private:
    friend class TRuleList;
    struct TCompiled;
    void Changed();
    void Compile() const;
    TRuleVerdict RegExprFinds(const std::string& fieldText) const;

    TRuleField field_ = TRuleField::From;
    TRuleOperation operation_ = TRuleOperation::Contains;
    std::string text_;
    mutable std::unique_ptr<TCompiled> compiled_;
    mutable std::unique_ptr<ERegExprError> compileError_; // kept like compiled_
    TRuleList* owner_ = nullptr;
};

// The ordered rules of one filter; owns them. Adding, deleting or clearing
// rules, and any change of a rule, sets the filter list's Modified flag.
class TRuleList {
public:
    explicit TRuleList(TFilter& filter) : filter_(filter) {}
    TRuleList(const TRuleList&) = delete;
    TRuleList& operator=(const TRuleList&) = delete;

    int Count() const { return static_cast<int>(items_.size()); }
    // The rule at `index`, or null when out of range.
    TRule* Item(int index) const;
    // Appends `rule`, sets its owner and Modified; returns it.
    TRule* Add(std::unique_ptr<TRule> rule);
    TRule* Add(TRuleField field, TRuleOperation operation, const std::string& text);
    // Frees the rule at `index` (ignored when out of range); sets Modified.
    void Delete(int index);
    // Frees every rule; sets Modified.
    void Clear();

    TFilter& Filter() const { return filter_; }

private:
    friend class TRule;
    void Changed();

    TFilter& filter_;
    std::vector<std::unique_ptr<TRule>> items_;
};

class TFilter {
public:
    // A new filter: "New filter", OnlyWhenAllMet and Enabled on, the rest off.
    TFilter();
    ~TFilter();
    TFilter(const TFilter&) = delete;
    TFilter& operator=(const TFilter&) = delete;

    const std::string& Name() const { return name_; }
    bool FriendsToo() const { return friendsToo_; }
    bool Legitimate() const { return legitimate_; }
    bool BlacklistSender() const { return blacklistSender_; }
    bool WhitelistSender() const { return whitelistSender_; }
    bool Delete() const { return delete_; }
    bool OnlyWhenAllMet() const { return onlyWhenAllMet_; }
    bool Enabled() const { return enabled_; }

    // Every setter sets the owner's Modified flag when the value changes.
    void SetName(const std::string& name);
    void SetFriendsToo(bool value);
    // Turning Legitimate on also turns BlacklistSender and Delete off.
    void SetLegitimate(bool value);
    void SetBlacklistSender(bool value);
    void SetWhitelistSender(bool value);
    void SetDelete(bool value);
    void SetOnlyWhenAllMet(bool value);
    void SetEnabled(bool value);

    // The rules, in order.
    TRuleList& Rules() { return rules_; }
    const TRuleList& Rules() const { return rules_; }

    // False when the sender is a friend and FriendsToo is off, or there are no
    // rules; otherwise all rules (OnlyWhenAllMet) or any rule must match, tried
    // in order and stopping at the first that decides. A rule that cannot
    // decide (TRuleVerdict::Undecided) makes the filter not match: a filter
    // never acts on a guess. Throws ERegExprError.
    bool Matches(const TMailMessage& message, bool senderIsFriend) const;
    // Compiles every regular expression of the rules; throws the first
    // ERegExprError.
    void CheckExpressions() const;

    TFilterList* Owner() const { return owner_; }

private:
    friend class TFilterList;
    friend class TRuleList;
    void Changed();
    void SetFlag(bool& flag, bool value);

    std::string name_ = "New filter";
    bool friendsToo_ = false;
    bool legitimate_ = false;
    bool blacklistSender_ = false;
    bool whitelistSender_ = false;
    bool delete_ = false;
    bool onlyWhenAllMet_ = true;
    bool enabled_ = true;
    TRuleList rules_{*this};
    TFilterList* owner_ = nullptr;
};

// What the Mail check needs of a matching filter, detached from the list.
struct TFilterMatch {
    std::string Name;
    bool Delete = false;
    bool WhitelistSender = false;
};

// A filter that took no part in a match because one of its expressions is
// invalid. Text: `Filter "<name>" is disabled: ` and the ERegExprError text.
struct TFilterProblem {
    std::string FilterName;
    std::string Text;
};

// Count, Item, Delete, Clear, Modified, SetModified, LoadFailed and Mutex
// come from TXMLItemList.
class TFilterList : public TXMLItemList<TFilter> {
public:
    TFilterList() = default;

    // "filters.xml" in the data folder.
    static std::filesystem::path DefaultFileName();

    // Loads the list; an empty name means DefaultFileName(). The ".dat" file
    // beside it, when it exists, is read (up to its end, never past it), the
    // list saved as XML and the ".dat" deleted; otherwise the XML file is
    // read; otherwise the list is empty. A name or rule text that is not
    // valid UTF-8 (the earlier 8-bit versions' Windows-1252) is converted to
    // UTF-8 as it is read. Clears Modified.
    // A filters.xml that the XML layer cannot read leaves the list empty,
    // sets LoadFailed and keeps the file: SaveIfModified will not replace it
    // while the list is empty, and a save after the user adds filters first
    // copies the unreadable file to "filters.xml.bak".
    // Throws std::runtime_error when the converted XML cannot be written.
    void LoadFromFile(const std::filesystem::path& fileName = {});
    // Writes the XML file (atomic replacement), clears Modified and LoadFailed.
    // Throws std::runtime_error naming the file when it cannot be written.
    void SaveToFile(const std::filesystem::path& fileName = {});
    // The exit path: SaveToFile when Modified, except over an unreadable file
    // with nothing to put in its place.
    void SaveIfModified(const std::filesystem::path& fileName = {});

    // Appends `filter` (tried last), sets its owner and Modified; returns it.
    // Throws std::invalid_argument for a null `filter`.
    TFilter* Add(std::unique_ptr<TFilter> filter);
    // The first filter whose Name equals `name` exactly, or null.
    TFilter* FindByName(const std::string& name) const;
    // The first Enabled filter whose Matches is true, or null. Holds the lock
    // for the whole walk. A filter with an invalid expression is passed over
    // whole (not only from its bad rule on) and added to problems when given;
    // the walk goes on with the next filter. Never throws ERegExprError.
    TFilter* FindMatch(const TMailMessage& message, bool senderIsFriend,
                       std::vector<TFilterProblem>* problems = nullptr) const;
    // FindMatch with the result copied out under the lock (for the checker
    // thread, which acts on it after the lock is released).
    std::optional<TFilterMatch> FindMatchResult(const TMailMessage& message, bool senderIsFriend,
                                                std::vector<TFilterProblem>* problems = nullptr) const;

private:
    void ReadLegacy(const std::string& bytes);
    bool ReadXML(const std::filesystem::path& xmlFile);
};

// The process-wide filter list (created on first use, never freed before exit).
TFilterList& FilterList();

} // namespace bm
