#include "engine/event_log.h"

#include "base/unit_procedure.h"

namespace qlx {

void EventLog::append(const QString &line)
{
    m_lines.append(line);
    emit appended(line);
    // The count is taken as it stood before this line: a log of 1000 lines takes one
    // more, and one of 1001 lines is emptied by the next.
    if (m_lines.size() - 1 > kMaxLines) {
        m_lines.clear();
        emit cleared();
    }
}

void EventLog::appendStamped(const QString &text)
{
    append(time_stamp() + text);
}

} // namespace qlx
