#include "viewer/LoadLog.h"

Q_LOGGING_CATEGORY(lcLoad, "oxlume.load", QtWarningMsg)
