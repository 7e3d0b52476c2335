// The text-log viewer `TFrm_file_history`: one node's records of the day's value
// log, newest first or in file order, with a search for a time of day. It reads
// the log through its own read-only handle and needs no database. The window is
// bound to the node's bus address at its first load, so a rescan never puts
// another node's records under its caption.
#pragma once

#include <QWidget>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace qlx {

class DailyLogs;

class TFrm_file_history : public QWidget {
    Q_OBJECT
public:
    TFrm_file_history(DailyLogs &logs, int slot, QWidget *parent = nullptr);

    // Reads the log again ("Обновить ").
    void Load_file();
    // Selects the newest record at or before the searched time ("Поиск").
    void Find_record();

    int address() const { return m_address; }
    QCheckBox *sortDescending() const { return m_sort; }
    QLineEdit *searchTime() const { return m_time; }
    QTableWidget *fileOrderGrid() const { return m_fileOrder; }
    QTableWidget *newestFirstGrid() const { return m_newestFirst; }
    // The grid shown now.
    QTableWidget *visibleGrid() const;

private:
    void showGrid();
    static void fill(QTableWidget *grid, const QStringList &header, const QList<QStringList> &rows);

    DailyLogs &m_logs;
    int m_slot = 0;
    int m_address = 0; // bound at the first load
    QCheckBox *m_sort = nullptr;
    QLineEdit *m_time = nullptr;
    QTableWidget *m_fileOrder = nullptr;
    QTableWidget *m_newestFirst = nullptr;
};

} // namespace qlx
