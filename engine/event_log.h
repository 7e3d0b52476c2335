// The station's event log: time-stamped lines, only ever appended. A log that
// already holds more than 1000 lines is emptied by the next change.
#pragma once

#include <QObject>
#include <QStringList>

namespace qlx {

class EventLog : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxLines = 1000;

    const QStringList &lines() const { return m_lines; }
    void append(const QString &line);
    // A line that begins with the time stamp.
    void appendStamped(const QString &text);

signals:
    void appended(const QString &line);
    void cleared();

private:
    QStringList m_lines;
};

} // namespace qlx
