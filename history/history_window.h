// The window "Quelvane — historique": the measurement log as a chart that
// follows the file while the monitor appends to it.
#pragma once

#include <QWidget>
#include <thread>

#include "history/series.h"
#include "log/log_reader.h"

class QLabel;
class QTimer;

namespace history {

class ChartView;

class HistoryWindow : public QWidget {
    Q_OBJECT

public:
    // Reads the log at path on a thread of its own, so that a year of records
    // holds up neither this window nor the monitor's; then follows it. A
    // missing file gives an empty chart that fills when the file appears.
    explicit HistoryWindow(const QString& path, QWidget* parent = nullptr);
    ~HistoryWindow() override;

    // Reads what the file gained since the last time (run every second);
    // first waits for the reading from the start to end, if it has not.
    void follow_file();

    const Series& series() const { return series_; }
    ChartView& chart() { return *chart_; }
    QTimer& follow_timer() { return *follow_timer_; }
    QString status_text() const;

    static constexpr int follow_period_ms = 1000;

private:
    void finish_loading();

    measurement::LogFile file_;
    // The reading from the start: the thread owns file_ and loaded_ until
    // finish_loading() joins it.
    std::thread loader_;
    Series loaded_;
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
