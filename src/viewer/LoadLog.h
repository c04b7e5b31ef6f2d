#pragma once
// The loading code's logging category, oxlume.load: why a file did not open. A header of
// its own, so that the worker and the loader share it without including each other.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcLoad)
