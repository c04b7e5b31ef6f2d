#include "platform/Errors.h"

namespace oxlume {

AssertionFailure::AssertionFailure(const std::string &text, const std::string &unit, int line)
    : ProgramError(text + " (" + unit + ", line " + std::to_string(line) + ")")
    , m_unit(unit)
    , m_line(line)
{
}

void raiseAssertion(const char *unit, int line, const char *text)
{
    throw AssertionFailure(text, unit, line);
}

} // namespace oxlume
