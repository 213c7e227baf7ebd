// The program's checker thread behind the core's TCheckerStarter.
#include "app/appcoreU.h"

#include <stdexcept>

namespace bm {

TCheckerStarter DefaultCheckerStarter()
{
    return [](const TCheckRequest&, TCheckerEvents) -> std::shared_ptr<ICheckerRun> {
        throw std::runtime_error("The Mail check is not available in this build");
    };
}

} // namespace bm
