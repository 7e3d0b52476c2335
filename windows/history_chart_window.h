// The history chart window: the measured value and the two setpoints of one
// channel of one controller over the last minutes, read again from the history
// database at every tick of its refresh timer while automatic refresh is on.
// The window only reads the database; it never talks to the controllers.
#pragma once

#include "engine/history_chart.h"

#include <QChartView>
#include <QDateTime>
#include <QWidget>

#include <functional>
#include <optional>

class QCheckBox;
class QComboBox;
class QDateTimeAxis;
class QLabel;
class QLineSeries;
class QTimer;
class QToolButton;
class QValueAxis;

namespace qlx {

// The chart component with the station's mouse gestures: a rectangle drawn with
// the left button zooms in, a right click returns to the full view.
class HistoryChartView : public QChartView {
    Q_OBJECT
public:
    explicit HistoryChartView(QChart *chart, QWidget *parent = nullptr);

signals:
    void fullViewRequested();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
};

class HistoryChartWindow : public QWidget {
    Q_OBJECT
public:
    explicit HistoryChartWindow(TDM_local &dm, QWidget *parent = nullptr);

    // The refresh timer tick: `load_history`, then the lines are drawn again.
    void load_history();
    // The automatic-refresh button.
    void setAutoRefresh(bool on);
    bool autoRefresh() const;
    // "Заполнить всеми возможными".
    void fillAllAddresses();
    // The print button: the chart on the current printer, one page.
    void printChart();
    // Zooms into a rectangle of the plot area, as the mouse does.
    void zoomTo(const QRectF &plotRect);
    // Back to the full view of the last rows read.
    void showFullView();

    // The clock a tick reads "now" from (the system clock unless a test sets one).
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

    QComboBox *sensorField() const { return m_sensor; }
    QComboBox *channelField() const { return m_channel; }
    QComboBox *refreshField() const { return m_refresh; }
    QComboBox *minutesField() const { return m_minutes; }
    QToolButton *refreshButton() const { return m_refreshButton; }
    QToolButton *printButton() const { return m_printButton; }
    QCheckBox *markers() const { return m_markers; }
    QLabel *sensorLabel() const { return m_sensorLabel; }
    QLabel *statusLine() const { return m_status; }
    QTimer *refreshTimer() const { return m_timer; }
    HistoryChartView *chartView() const { return m_view; }
    QLineSeries *series(int index) const; // 0 "Изм", 1 "ВУ", 2 "НУ"
    QDateTimeAxis *timeAxis() const { return m_timeAxis; }
    QValueAxis *valueAxis() const { return m_valueAxis; }
    // The minutes and the refresh seconds in force.
    int minutes() const { return m_minutesValue; }
    int refreshSeconds() const { return m_refreshValue; }
    // The operator has zoomed in since the last full view.
    bool zoomed() const { return m_zoomed; }

signals:
    // A tick has drawn this many rows (0 when the window held none).
    void loaded(int rows);

private:
    // A finished change of a number field: its new value, or nothing when it is the
    // value in force or refused (then the field shows the value in force again and
    // one general error message says why).
    std::optional<int> changedValue(QComboBox *box, int current, std::optional<int> (*check)(const QString &, QString *));
    void minutesChanged();
    void refreshChanged();
    void setTimeRange(const QDateTime &from, const QDateTime &to);
    void setValueRange(double low, double high);
    void updateStatus();

    HistoryChart m_chart;
    std::function<QDateTime()> m_clock;
    QComboBox *m_sensor = nullptr;
    QComboBox *m_channel = nullptr;
    QComboBox *m_refresh = nullptr;
    QComboBox *m_minutes = nullptr;
    QToolButton *m_refreshButton = nullptr;
    QToolButton *m_printButton = nullptr;
    QCheckBox *m_markers = nullptr;
    QLabel *m_sensorLabel = nullptr;
    QLabel *m_status = nullptr;
    QTimer *m_timer = nullptr;
    HistoryChartView *m_view = nullptr;
    QLineSeries *m_izm = nullptr;
    QLineSeries *m_vu = nullptr;
    QLineSeries *m_nu = nullptr;
    QDateTimeAxis *m_timeAxis = nullptr;
    QValueAxis *m_valueAxis = nullptr;
    int m_minutesValue = 10;
    int m_refreshValue = 5;
    // The last rows drawn: the full view they span.
    std::optional<ChartLoad> m_last;
    bool m_zoomed = false;
    bool m_settingRange = false; // the window, not the operator, is moving the axes
};

} // namespace qlx
