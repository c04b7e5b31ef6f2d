#include "guidance/HintLocal.h"

#include "platform/Errors.h"

namespace oxlume {

const THintInfo HiddenListHint{
    "",
    "To make the list visible again, double-click anywhere on the image area, or right-click "
    "and select the 'Show List' menu option.",
    true,
    false,
    0,
};

const THintInfo &LocalHint(std::int32_t number)
{
    OX_ASSERT(number == 0, "HintLocal");
    return HiddenListHint;
}

} // namespace oxlume
