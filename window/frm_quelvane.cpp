#include "window/frm_quelvane.h"

#include <QCloseEvent>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QShortcut>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <map>

#include "history/history_window.h"
#include "log/measurement_log.h"
#include "log/reading_text.h"
#include "publish/publishing.h"
#include "sensor/board_probe.h"
#include "sensor/read_sensor.h"
#include "settings/control_table.h"
#include "settings/ini.h"
#include "settings/saved_choices.h"
#include "window/controls.h"
#include "window/ports_dialog.h"

#include "window/quelvane.xpm"

namespace {

constexpr int design_time_period_ms = 1000;

void default_message_box(QWidget* parent, const QString& text, const QString& title)
{
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

frm_quelvane::MessageBoxFn& message_box_fn()
{
    static frm_quelvane::MessageBoxFn show = default_message_box;
    return show;
}

bool default_question_box(QWidget* parent, const QString& text, const QString& title)
{
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::NoButton, parent);
    const QAbstractButton* yes = box.addButton(QStringLiteral("Oui"), QMessageBox::YesRole);
    QPushButton* no = box.addButton(QStringLiteral("Non"), QMessageBox::NoRole);
    box.setDefaultButton(no);  // nothing is toggled by a hasty Enter
    box.setEscapeButton(no);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    return box.clickedButton() == yes;
}

frm_quelvane::QuestionBoxFn& question_box_fn()
{
    static frm_quelvane::QuestionBoxFn ask = default_question_box;
    return ask;
}

// The value of the checked option of a group of the form, or none.
int checked_value(const frm_quelvane& form, const std::array<form::OptionValue, 4>& options, int none)
{
    return form::selected_value(
        options, [&form](std::string_view name) { return qobject_cast<QRadioButton*>(form.control(name))->isChecked(); },
        none);
}

}  // namespace

const std::array<frm_quelvane::OptionHandlers, 8> frm_quelvane::option_handlers{{
    {&frm_quelvane::option_1_sec, &frm_quelvane::option_1_sec_Click, &frm_quelvane::option_1_sec_KeyPress},
    {&frm_quelvane::option_5_sec, &frm_quelvane::option_5_sec_Click, &frm_quelvane::option_5_sec_KeyPress},
    {&frm_quelvane::option_30_sec, &frm_quelvane::option_30_sec_Click, &frm_quelvane::option_30_sec_KeyPress},
    {&frm_quelvane::option_1_min, &frm_quelvane::option_1_min_Click, &frm_quelvane::option_1_min_KeyPress},
    {&frm_quelvane::option_com1, &frm_quelvane::option_com1_Click, &frm_quelvane::option_com1_KeyPress},
    {&frm_quelvane::option_com2, &frm_quelvane::option_com2_Click, &frm_quelvane::option_com2_KeyPress},
    {&frm_quelvane::option_com3, &frm_quelvane::option_com3_Click, &frm_quelvane::option_com3_KeyPress},
    {&frm_quelvane::option_com4, &frm_quelvane::option_com4_Click, &frm_quelvane::option_com4_KeyPress},
}};

void frm_quelvane::set_message_box(MessageBoxFn show)
{
    message_box_fn() = show ? std::move(show) : MessageBoxFn(default_message_box);
}

void frm_quelvane::set_question_box(QuestionBoxFn ask)
{
    question_box_fn() = ask ? std::move(ask) : QuestionBoxFn(default_question_box);
}

void frm_quelvane::set_serial_devices(serial::Devices devices) { serial_devices_ = std::move(devices); }

frm_quelvane::frm_quelvane(std::unique_ptr<serial::SerialControl> serial_control, QWidget* parent)
    : QWidget(parent), bus_(std::make_unique<window::BusThread>(std::move(serial_control)))
{
    setObjectName(QStringLiteral("frm_quelvane"));
    setWindowTitle(QStringLiteral("Quelvane"));
    setWindowIcon(QIcon(QPixmap(quelvane_xpm)));
    setFont(window::window_font());
    setFixedSize(form::client_width_twips / form::twips_per_pixel,
                 form::client_height_twips / form::twips_per_pixel);

    create_controls();

    Timer1_ = new QTimer(this);
    Timer1_->setObjectName(QStringLiteral("Timer1"));
    Timer1_->setInterval(design_time_period_ms);
    connect(Timer1_, &QTimer::timeout, this, &frm_quelvane::Timer1_Timer);
    Timer1_->start();

    for (const auto& option : option_handlers) {
        QRadioButton* button = this->*option.button;
        connect(button, &QAbstractButton::clicked, this, option.click);
        button->installEventFilter(this);
    }

    ini::set_message_box([this](const std::string& text, const std::string& title) {
        msg_box(QString::fromStdString(text), QString::fromStdString(title));
    });

    // The Menu key gives a context-menu event by itself; Shift+F10 is its
    // other usual key.
    connect(new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F10), this), &QShortcut::activated, this, [this] {
        QWidget* at = focusWidget() != nullptr ? focusWidget() : this;
        const QPoint middle = at->rect().center();
        QContextMenuEvent event(QContextMenuEvent::Keyboard, at->mapTo(this, middle), at->mapToGlobal(middle));
        contextMenuEvent(&event);
    });
}

frm_quelvane::~frm_quelvane()
{
    // First, while the window is whole: a tick still waiting for a reading
    // is destroyed with the bus thread.
    bus_.reset();
    ini::set_message_box(nullptr);
}

void frm_quelvane::create_controls()
{
    std::map<std::string_view, QWidget*> containers;
    for (const auto& row : form::control_table) {
        QWidget* container = row.container.empty() ? this : containers.at(row.container);
        QWidget* widget = window::create_widget(row, container);
        if (row.kind == form::Kind::group_box) {
            containers[row.name] = widget;
        }
        widgets_.push_back(widget);
        persistent_.push_back(window::persistent_control(row, widget));
        persistent_view_.push_back(persistent_.back().get());
    }

    const auto find = [this](std::string_view name) { return control(name); };
    label_temperature_indoor = qobject_cast<QLabel*>(find("label_temperature_indoor"));
    label_temperature_outside = qobject_cast<QLabel*>(find("label_temperature_outside"));
    check_log_to_file = qobject_cast<QCheckBox*>(find("check_log_to_file"));
    option_single = qobject_cast<QRadioButton*>(find("option_single"));
    option_double = qobject_cast<QRadioButton*>(find("option_double"));
    option_1_sec = qobject_cast<QRadioButton*>(find("option_1_sec"));
    option_5_sec = qobject_cast<QRadioButton*>(find("option_5_sec"));
    option_30_sec = qobject_cast<QRadioButton*>(find("option_30_sec"));
    option_1_min = qobject_cast<QRadioButton*>(find("option_1_min"));
    option_com1 = qobject_cast<QRadioButton*>(find("option_com1"));
    option_com2 = qobject_cast<QRadioButton*>(find("option_com2"));
    option_com3 = qobject_cast<QRadioButton*>(find("option_com3"));
    option_com4 = qobject_cast<QRadioButton*>(find("option_com4"));
    window::label_option(*qobject_cast<QLabel*>(find("Label2")), *option_single);
    window::label_option(*qobject_cast<QLabel*>(find("Label3")), *option_double);

    // Tab order: the table's tab indices, ascending, over the controls that
    // take the focus.
    std::vector<std::pair<int, QWidget*>> tab;
    for (std::size_t i = 0; i < form::control_table.size(); ++i) {
        QWidget* widget = widgets_[i];
        if (widget != nullptr && form::control_table[i].tab_index >= 0 && widget->focusPolicy() != Qt::NoFocus) {
            tab.emplace_back(form::control_table[i].tab_index, widget);
        }
    }
    std::sort(tab.begin(), tab.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 1; i < tab.size(); ++i) {
        QWidget::setTabOrder(tab[i - 1].second, tab[i].second);
    }
}

QWidget* frm_quelvane::control(std::string_view name) const
{
    for (std::size_t i = 0; i < form::control_table.size(); ++i) {
        if (form::control_table[i].name == name) {
            return widgets_[i];
        }
    }
    return nullptr;
}

ini::ControlList frm_quelvane::settings_controls() const { return persistent_view_; }

int frm_quelvane::port_number() const { return checked_value(*this, form::port_options, 1); }

void frm_quelvane::msg_box(const QString& text, const QString& title)
{
    // While a box is open, ticks that fall due are not run (see Timer1_Timer).
    const QScopedValueRollback open(message_box_open_, true);
    // Messages separate their lines with a lone carriage return, which the
    // toolkit would not break on.
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
    message_box_fn()(this, shown, title);
}

bool frm_quelvane::question_box(const QString& text, const QString& title)
{
    const QScopedValueRollback open(message_box_open_, true);
    return question_box_fn()(this, text, title);
}

// --- Start-up and shutdown ---------------------------------------------------

void frm_quelvane::Form_Load()
{
    // One read of the settings file for the whole start-up.
    const ini::Snapshot settings = ini::load_settings(settings_controls());
    if (unloaded_) {
        return;  // closed while the start-up message waited
    }
    start_publishing(settings);
    select_port(settings);
    set_interval();
}

void frm_quelvane::Form_Unload()
{
    if (unloaded_) {
        return;
    }
    unloaded_ = true;
    Timer1_->stop();
    // Waits for a reading under way, but not for ever: a line call that never
    // returns (a wedged USB adapter) must not cost the user's settings. After
    // this nothing touches the port.
    bus_->close_bus();
    ini::save_settings(settings_controls());
    publishing_.reset();  // "offline" to the broker, within a bounded time
}

void frm_quelvane::closeEvent(QCloseEvent* event)
{
    // Gone from the screen at once: the save rewrites the whole settings
    // file, which takes a while when it holds a large section of the user's.
    hide();
    Form_Unload();
    event->accept();
}

void frm_quelvane::contextMenuEvent(QContextMenuEvent* event)
{
    // A right click on any control comes here too: none has a menu of its own.
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(QStringLiteral("Historique…"), this, [this] {
        history::show_history_window(QDir::current().absoluteFilePath(QString::fromLatin1(measurement::log_file_name)),
                                     this);
    });
    menu->addAction(QStringLiteral("Ports série…"), this, &frm_quelvane::show_ports_dialog);
    menu->popup(event->globalPos());
    event->accept();
}

void frm_quelvane::show_ports_dialog()
{
    if (auto* open = findChild<window::PortsDialog*>()) {
        open->activateWindow();
        return;
    }
    std::array<std::string, 4> devices;
    const ini::Snapshot settings = ini::Snapshot::read();
    for (int port = 1; port <= 4; ++port) {
        devices[static_cast<std::size_t>(port - 1)] = ini::device_for_port(port, settings);
    }
    const int port = port_number();
    window::PortsDialog::Hooks hooks{
        [this](const QString& text, const QString& title) { msg_box(text, title); },
        [this](const QString& text, const QString& title) { return question_box(text, title); },
        [this](std::vector<serial::SerialDevice> candidates,
               std::function<void(const std::vector<sensor::Found>&)> found) {
            search_board(std::move(candidates), std::move(found));
        }};
    auto* dialog = new window::PortsDialog(devices, serial_devices_.present ? serial_devices_.present()
                                                                            : std::vector<serial::SerialDevice>{},
                                           port, std::move(hooks), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

// On the bus thread, with the window's port closed (the next reading opens it
// again), so that the board the window reads is found rather than seen busy.
window::Detached frm_quelvane::search_board(std::vector<serial::SerialDevice> candidates,
                                            std::function<void(const std::vector<sensor::Found>&)> found)
{
    // Named before the co_await: GCC 12 mishandles temporaries that live
    // across a suspension.
    std::function<std::vector<sensor::Found>(serial::SerialControl&)> job =
        [candidates = std::move(candidates), open = serial_devices_.open](serial::SerialControl& control) {
            try {
                if (control.PortOpen()) {
                    control.set_PortOpen(false);
                }
            } catch (const std::exception& error) {
                std::fprintf(stderr, "quelvane: closing the port: %s\n", error.what());
            }
            return sensor::find_board(candidates, open);
        };
    const std::vector<sensor::Found> result = co_await bus_->run(std::move(job), std::vector<sensor::Found>{});
    if (!unloaded_) {
        found(result);
    }
}

// --- Options -----------------------------------------------------------------

void frm_quelvane::set_interval()
{
    const int seconds = checked_value(*this, form::interval_options, 0);
    const int period_ms = seconds != 0 ? seconds * 1000 : design_time_period_ms;
    // QTimer restarts an active timer on a new interval, so the change takes
    // effect at once; a stopped timer stays stopped.
    Timer1_->setInterval(period_ms);
}

void frm_quelvane::select_port()
{
    // A tick under way ends after its reading: it read a port given up.
    const unsigned choice = ++port_choice_;
    // What the port stands for ([Ports] of the settings file, so a hand edit
    // takes effect here) is looked up on this thread, where a settings file
    // gone unreadable can be told in a box. The box lets anything happen: a
    // later choice, or the closing, then stands.
    const ini::Snapshot settings = ini::Snapshot::read();
    if (unloaded_ || port_choice_ != choice) {
        return;
    }
    select_port(settings);
}

void frm_quelvane::select_port(const ini::Snapshot& settings)
{
    const int port = checked_value(*this, form::port_options, 0);
    const int number = port == 0 ? 1 : port;
    ++port_choice_;
    // The bus thread closes the open port once a reading under way has
    // finished, and sets the number; the next reading opens the new port.
    bus_->select_port(number, ini::device_for_port(number, settings));
    if (port == 0) {
        Timer1_->stop();
    } else if (!Timer1_->isActive()) {
        Timer1_->start();
    }
}

void frm_quelvane::option_1_sec_Click() { set_interval(); }
void frm_quelvane::option_5_sec_Click() { set_interval(); }
void frm_quelvane::option_30_sec_Click() { set_interval(); }
void frm_quelvane::option_1_min_Click() { set_interval(); }
void frm_quelvane::option_com1_Click() { select_port(); }
void frm_quelvane::option_com2_Click() { select_port(); }
void frm_quelvane::option_com3_Click() { select_port(); }
void frm_quelvane::option_com4_Click() { select_port(); }
// Any key that types a character re-applies the same procedure; which one is
// not looked at.
void frm_quelvane::option_1_sec_KeyPress(int) { set_interval(); }
void frm_quelvane::option_5_sec_KeyPress(int) { set_interval(); }
void frm_quelvane::option_30_sec_KeyPress(int) { set_interval(); }
void frm_quelvane::option_1_min_KeyPress(int) { set_interval(); }
void frm_quelvane::option_com1_KeyPress(int) { select_port(); }
void frm_quelvane::option_com2_KeyPress(int) { select_port(); }
void frm_quelvane::option_com3_KeyPress(int) { select_port(); }
void frm_quelvane::option_com4_KeyPress(int) { select_port(); }

bool frm_quelvane::eventFilter(QObject* watched, QEvent* event)
{
    // The KeyPress event comes only from keys that type a character: Tab and
    // the arrows move the focus or the selection and nothing else.
    if (event->type() == QEvent::KeyPress && window::types_character(*static_cast<QKeyEvent*>(event))) {
        for (const auto& option : option_handlers) {
            if (this->*option.button == watched) {
                (this->*option.key_press)(static_cast<QKeyEvent*>(event)->key());
                break;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

// --- The sampling tick ---------------------------------------------------------
//
// A tick waits twice for each sensor: for its reading on the bus thread, and,
// when the reading failed, for the user to close the box. The event loop runs
// meanwhile, so after each wait the tick goes on only if the window has not
// begun unloading and no port was chosen since it began.

void frm_quelvane::Timer1_Timer()
{
    // A tick that falls due while the previous one still runs, or while a
    // message box is open, is dropped: no pile-up of readings or boxes.
    if (tick_running_ || message_box_open_ || unloaded_) {
        return;
    }
    sampling_tick();
}

window::Detached frm_quelvane::sampling_tick()
{
    const QScopedValueRollback running(tick_running_, true);
    const unsigned port_choice = port_choice_;
    // One count for the whole tick: changed while it reads, it counts from
    // the next one.
    const bool two_sensors = option_double->isChecked();

    const sensor::Reading indoor = co_await bus_->read(0);
    if (tick_interrupted(port_choice) || !show_reading(label_temperature_indoor, indoor, 1, port_choice)) {
        co_return;
    }
    if (two_sensors) {
        const sensor::Reading outside = co_await bus_->read(1);
        if (tick_interrupted(port_choice) || !show_reading(label_temperature_outside, outside, 2, port_choice)) {
            co_return;
        }
    } else {
        label_temperature_outside->setText(measurement::no_reading_text);
    }

    if (two_sensors) {
        setWindowTitle(label_temperature_indoor->text() + QStringLiteral("    (  ") +
                       label_temperature_outside->text() + QStringLiteral(" )"));
    } else {
        setWindowTitle(label_temperature_indoor->text());
    }
    log_to_file();
}

bool frm_quelvane::tick_interrupted(unsigned port_choice) const { return unloaded_ || port_choice_ != port_choice; }

// Shows a reading in its label; a failed one is said on stderr (for the
// journal), told in a box and stops the timer. False when the tick must end
// because of what happened while the box was open.
bool frm_quelvane::show_reading(QLabel* label, const sensor::Reading& reading, int sensor, unsigned port_choice)
{
    publish_reading(sensor, reading);
    if (reading.ok()) {
        label->setText(measurement::reading_text(reading.celsius));
        return true;
    }
    std::fprintf(stderr, "quelvane: sensor %d (IC%d): %s%s\n", sensor, sensor + 1, reading.failure.c_str(),
                 sensor::other_devices_hint(reading, serial_devices_).c_str());
    msg_box(QStringLiteral("Lecture du capteur %1 impossible").arg(sensor), QStringLiteral("Erreur"));
    if (tick_interrupted(port_choice)) {
        return false;
    }
    Timer1_->stop();
    label->setText(measurement::no_reading_text);
    return true;
}

// --- The measurement log -------------------------------------------------------

void frm_quelvane::log_to_file()
{
    // Only a checked box logs; a greyed one does not.
    if (check_log_to_file->checkState() != Qt::Checked) {
        return;
    }
    const std::string record = measurement::log_record(QDateTime::currentDateTime(), label_temperature_outside->text(),
                                                  label_temperature_indoor->text());
    if (log_.append(record) == 0) {
        log_failure_told_ = false;
        return;
    }
    // The tick goes on; the user is told once until a record is written again.
    if (!log_failure_told_) {
        log_failure_told_ = true;
        msg_box(QStringLiteral("Impossible d'écrire dans le fichier Quelvane.txt"), QStringLiteral("Erreur"));
    }
}

// --- Publishing ----------------------------------------------------------------
//
// A [Publish] section of the settings file (mqtt=, mqtt_id=,
// mqtt_password_file=, mqtt_ca=, metrics=), hand-edited like [Ports], makes
// the window publish each reading as --log does. Without one nothing of this
// runs. Publishing never shows a box: what goes wrong is said on stderr.

void frm_quelvane::start_publishing(const ini::Snapshot& settings)
{
    const auto say = publish::report_to_stderr;
    publish::Request request;
    const auto errors = publish::request_from_section(
        [&settings](const char* key) { return settings.get(publish::publish_section, key, ""); }, request);
    for (const std::string& error : errors) {
        say(ini::settings_path() + " [" + publish::publish_section + "] " + error);
    }
    if (!request.any()) {
        return;
    }
    publish::Plan plan;
    const std::string device = ini::device_for_port(port_number(), settings);
    if (std::string why = publish::make_plan(request, device, false, plan); !why.empty()) {
        say(why + "; nothing is published");
        return;
    }
    std::string error;
    publishing_ = publish::Publishing::start(plan, error);
    if (!publishing_ && plan.mqtt) {
        say(error + "; MQTT alone is published");
        plan.metrics.reset();
        publishing_ = publish::Publishing::start(plan, error);
    } else if (!publishing_) {
        say(error);
    }
}

void frm_quelvane::publish_reading(int sensor, const sensor::Reading& reading) const
{
    if (publishing_) {
        publishing_->reading({sensor, reading.ok() ? std::optional(reading.celsius) : std::nullopt,
                              std::chrono::system_clock::now(),
                              std::chrono::seconds(std::max(Timer1_->interval() / 1000, 1))});
    }
}
