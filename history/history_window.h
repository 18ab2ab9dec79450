// The window "Quelvane — historique": the measurement log as a chart that
// follows the file while the monitor appends to it.
#pragma once

#include <QWidget>

#include "history/series.h"
#include "log/log_reader.h"

class QLabel;
class QTimer;

namespace history {

class ChartView;

class HistoryWindow : public QWidget {
    Q_OBJECT

public:
    // Reads the log at path at once; a missing file gives an empty chart that
    // fills when the file appears.
    explicit HistoryWindow(const QString& path, QWidget* parent = nullptr);

    // Reads what the file gained since the last time (run every second).
    void follow_file();

    const Series& series() const { return series_; }
    ChartView& chart() { return *chart_; }
    QTimer& follow_timer() { return *follow_timer_; }
    QString status_text() const;

    static constexpr int follow_period_ms = 1000;

private:
    measurement::LogFile file_;
    QString name_;  // the file name, for the status line
    Series series_;
    ChartView* chart_ = nullptr;
    QLabel* status_ = nullptr;
    QTimer* follow_timer_ = nullptr;
};

// Shows the history of the log at path beside parent (the main window): one
// such window at a time, raised again when already open. It closes with its
// parent and never keeps the program running.
HistoryWindow* show_history_window(const QString& path, QWidget* parent);

}  // namespace history
