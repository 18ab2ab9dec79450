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

    // Reads what the file gained since the last time (run every second), or
    // the whole file again when it was replaced, on the loader thread; the
    // chart takes it from the event loop. Does nothing while a reading runs.
    void follow_file();
    // Whether a reading of the file runs.
    bool loading() const { return loader_.joinable(); }

    const Series& series() const { return series_; }
    ChartView& chart() { return *chart_; }
    QTimer& follow_timer() { return *follow_timer_; }
    QString status_text() const;

    static constexpr int follow_period_ms = 1000;

private:
    void start_loading();
    void finish_loading();

    measurement::LogFile file_;
    // A reading of the file: the thread owns file_ and what it read until
    // finish_loading() joins it. A whole file read again comes as a series
    // built there (loaded_, which then takes the series it replaces, for
    // the next reading to free); an end appended, as records.
    std::thread loader_;
    measurement::LogFile::Change change_ = measurement::LogFile::Change::none;
    std::vector<LogRecord> appended_;
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
