#include "ParamsLocal.h"

namespace oxlume {

std::array<TParamOption, 2> ParamOptions{{
    {kUninstallSwitch, TParamKind::Switch, false, 0, false, {}},
    {kNewInstanceSwitch, TParamKind::Switch, false, 0, false, {}},
}};

TParamSettings ParamSettings;

} // namespace oxlume
