#include "history/history_window.h"

#include <QBoxLayout>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <cerrno>

#include "history/chart.h"

namespace history {

HistoryWindow::HistoryWindow(const QString& path, QWidget* parent)
    : QWidget(parent, Qt::Window), file_(QFile::encodeName(path).toStdString()), name_(QFileInfo(path).fileName())
{
    setObjectName(QStringLiteral("history"));
    setWindowTitle(QStringLiteral("Quelvane — historique"));
    setAttribute(Qt::WA_QuitOnClose, false);
    resize(960, 540);

    chart_ = new ChartView(series_, this);
    status_ = new QLabel(this);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* zoom_in = new QPushButton(QStringLiteral("Zoom +"), this);
    zoom_in->setAccessibleName(QStringLiteral("Zoom avant"));
    auto* zoom_out = new QPushButton(QStringLiteral("Zoom −"), this);
    zoom_out->setAccessibleName(QStringLiteral("Zoom arrière"));
    auto* all = new QPushButton(QStringLiteral("&Tout voir"), this);
    for (QPushButton* button : {zoom_in, zoom_out, all}) {
        button->setAutoDefault(false);
        button->setFocusPolicy(Qt::TabFocus);
    }
    const auto middle = [this] { return (chart_->span().t0 + chart_->span().t1) / 2; };
    connect(zoom_in, &QPushButton::clicked, this, [this, middle] { chart_->zoom(0.5, middle()); });
    connect(zoom_out, &QPushButton::clicked, this, [this, middle] { chart_->zoom(2, middle()); });
    connect(all, &QPushButton::clicked, chart_, &ChartView::show_all);

    auto* bar = new QHBoxLayout;
    bar->addWidget(status_, 1);
    bar->addWidget(zoom_in);
    bar->addWidget(zoom_out);
    bar->addWidget(all);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(chart_, 1);
    setTabOrder(chart_, zoom_in);
    setTabOrder(zoom_in, zoom_out);
    setTabOrder(zoom_out, all);

    follow_timer_ = new QTimer(this);
    follow_timer_->setInterval(follow_period_ms);
    connect(follow_timer_, &QTimer::timeout, this, &HistoryWindow::follow_file);
    start_loading();
    status_->setText(status_text());
}

HistoryWindow::~HistoryWindow()
{
    if (loader_.joinable()) {
        loader_.join();
    }
}

void HistoryWindow::start_loading()
{
    loader_ = std::thread([this] {
        loaded_ = Series();  // the series shown before the last reload: a year is ms of freeing
        std::vector<LogRecord> records;
        change_ = file_.read_new(records);
        if (change_ == measurement::LogFile::Change::reloaded) {
            loaded_.assign(std::move(records));  // the index of a year's records is built here too
        } else {
            appended_ = std::move(records);
        }
        QMetaObject::invokeMethod(this, &HistoryWindow::finish_loading, Qt::QueuedConnection);
    });
}

void HistoryWindow::finish_loading()
{
    if (!loader_.joinable()) {
        return;
    }
    loader_.join();
    switch (change_) {
    case measurement::LogFile::Change::none:
        return;
    case measurement::LogFile::Change::reloaded:
        std::swap(series_, loaded_);  // the old one is freed on the loader thread
        chart_->series_changed(true);
        break;
    case measurement::LogFile::Change::appended:
        series_.append(appended_);
        appended_.clear();
        chart_->series_changed(false);
        break;
    case measurement::LogFile::Change::failed:
        break;  // what was read stays on show
    }
    status_->setText(status_text());
    if (!follow_timer_->isActive()) {
        follow_timer_->start();
    }
}

void HistoryWindow::follow_file()
{
    if (!loading()) {
        start_loading();
    }
}

QString HistoryWindow::status_text() const
{
    if (loader_.joinable()) {
        return QStringLiteral("Lecture de ") + name_ + QStringLiteral("…");
    }
    if (file_.error() == ENOENT) {
        return name_ + QStringLiteral(" : fichier introuvable, en attente des premiers relevés");
    }
    if (file_.error() != 0) {
        return name_ + QStringLiteral(" : lecture impossible (") + QString::fromLocal8Bit(file_.error_text().c_str()) +
               QStringLiteral(")");
    }
    const QLocale locale;
    const auto count = static_cast<qulonglong>(series_.size());
    QString text = name_ + QStringLiteral(" : ") + locale.toString(count) +
                   (count > 1 ? QStringLiteral(" relevés") : QStringLiteral(" relevé"));
    if (const auto skipped = static_cast<qulonglong>(file_.skipped()); skipped > 0) {
        text += QStringLiteral(", ") + locale.toString(skipped) +
                (skipped > 1 ? QStringLiteral(" lignes ignorées") : QStringLiteral(" ligne ignorée"));
    }
    return text;
}

HistoryWindow* show_history_window(const QString& path, QWidget* parent)
{
    static QPointer<HistoryWindow> open;
    if (open == nullptr || open->parentWidget() != parent) {
        delete open;
        open = new HistoryWindow(path, parent);
        open->setAttribute(Qt::WA_DeleteOnClose);
    }
    open->show();
    open->raise();
    open->activateWindow();
    return open;
}

}  // namespace history
