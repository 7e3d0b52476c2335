// Logging categories, one per module.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcPort)
Q_DECLARE_LOGGING_CATEGORY(lcLine)
Q_DECLARE_LOGGING_CATEGORY(lcProtocol)
