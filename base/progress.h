// The busy sign of the station: the position and maximum that the main
// window's progress bar shows. A scan drives it with the maximum 255, a
// multi-channel node read with the maximum 12; a non-zero position means a
// scan or node read is in progress (or was interrupted).
#pragma once

#include <QObject>

namespace qlx {

class ProgressValue : public QObject {
    Q_OBJECT
public:
    int position() const { return m_position; }
    int maximum() const { return m_maximum; }
    void setPosition(int position);
    void setMaximum(int maximum);

    // Multi-channel node reads in progress anywhere in the program. The position
    // goes back to 0 when the last of them ends, not when any one does.
    void readStarted() { ++m_reads; }
    void readEnded();
    int readsInProgress() const { return m_reads; }
    // The line is busy with a node read or a scan.
    bool busy() const { return m_reads > 0 || m_position != 0; }

signals:
    void changed(int position, int maximum);

private:
    int m_position = 0;
    int m_maximum = 255;
    int m_reads = 0;
};

// The station's one progress value (the main window's `VrProgressBar`).
ProgressValue &VrProgressBar();

} // namespace qlx
