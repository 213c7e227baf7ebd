#pragma once
// What the POP3 and SMTP sessions share in reading a command: the split of a
// command line into verb and arguments, the look-up in the session's command
// table, and the guard around a command's handler.

#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

namespace bm {

// Splits "VERB arguments": the verb in upper case (ASCII) and the rest after
// the first blank, unchanged (a password may hold blanks). Any thread.
std::pair<std::string, std::string> SplitCommand(const std::string& line);

// The entry of a command table (entries with a `name` member) whose name is
// `verb`, or null.
template <class Table>
auto FindCommand(const Table& table, std::string_view verb) -> decltype(&*std::begin(table))
{
    for (const auto& entry : table)
        if (entry.name == verb)
            return &entry;
    return nullptr;
}

// Runs one command's handler. An ESocketError propagates: the connection
// itself failed and the session ends. Any other exception is traced as
// (traceName, verb, its text) and false is returned, so the session sends
// its internal-error reply and goes on. True when the handler returned.
bool RunCommand(std::string_view traceName, std::string_view verb, const std::function<void()>& handler);

} // namespace bm
