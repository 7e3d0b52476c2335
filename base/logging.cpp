#include "base/logging.h"

Q_LOGGING_CATEGORY(lcPort, "quorlex.port", QtWarningMsg)
Q_LOGGING_CATEGORY(lcLine, "quorlex.line", QtWarningMsg)
Q_LOGGING_CATEGORY(lcProtocol, "quorlex.protocol", QtWarningMsg)
