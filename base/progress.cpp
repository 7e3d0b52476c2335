#include "base/progress.h"

namespace qlx {

void ProgressValue::setPosition(int position)
{
    if (position == m_position)
        return;
    m_position = position;
    emit changed(m_position, m_maximum);
}

void ProgressValue::setMaximum(int maximum)
{
    if (maximum == m_maximum)
        return;
    m_maximum = maximum;
    emit changed(m_position, m_maximum);
}

void ProgressValue::readEnded()
{
    if (m_reads > 0)
        --m_reads;
    if (m_reads == 0)
        setPosition(0);
}

ProgressValue &VrProgressBar()
{
    static ProgressValue value;
    return value;
}

} // namespace qlx
