#include "servers/srvsessionU.h"

#include <exception>

#include "core/loggerU.h"
#include "net/socketU.h"

namespace bm {

std::pair<std::string, std::string> SplitCommand(const std::string& line)
{
    const auto blank = line.find(' ');
    std::string verb = line.substr(0, blank);
    for (char& ch : verb)
        if (ch >= 'a' && ch <= 'z')
            ch = static_cast<char>(ch - 'a' + 'A');
    return {verb, blank == std::string::npos ? std::string() : line.substr(blank + 1)};
}

bool RunCommand(std::string_view traceName, std::string_view verb, const std::function<void()>& handler)
{
    try {
        handler();
        return true;
    } catch (const ESocketError&) {
        throw;
    } catch (const std::exception& e) {
        WriteTrace({traceName, verb, e.what()}, 2);
        return false;
    }
}

} // namespace bm
