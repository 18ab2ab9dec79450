// The main window: the controls of the control table, the timer that drives
// the sampling, and the bus thread that owns the serial control the sensors
// are read through.
#pragma once

#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "bus/serial_control.h"
#include "bus/serial_devices.h"
#include "log/measurement_log.h"
#include "sensor/board_probe.h"
#include "settings/control_state.h"
#include "window/bus_thread.h"

namespace publish {
class Publishing;
}

class QCheckBox;
class QLabel;
class QRadioButton;
class QTimer;

class frm_quelvane : public QWidget {
    Q_OBJECT

public:
    // Every message box of the program: modal, one OK button, no icon. Tests
    // replace it to see the title and text and to answer.
    using MessageBoxFn = std::function<void(QWidget* parent, const QString& text, const QString& title)>;
    static void set_message_box(MessageBoxFn show);
    // Every question box (Oui, Non), the same way; returns true for Oui.
    using QuestionBoxFn = std::function<bool(QWidget* parent, const QString& text, const QString& title)>;
    static void set_question_box(QuestionBoxFn ask);

    // The window owns the serial control; the sensors are read through it, on
    // the bus thread.
    explicit frm_quelvane(std::unique_ptr<serial::SerialControl> serial_control, QWidget* parent = nullptr);
    ~frm_quelvane() override;

    // The serial devices that the dialog "Ports série…" offers and searches,
    // and that a port which fails to open names on stderr. None until set.
    void set_serial_devices(serial::Devices devices);

    // Start-up: restores the settings, applies the port and interval options.
    void Form_Load();
    // Shutdown: closes the port once a reading under way has finished, or
    // after sensor::reading_wait_limit() without it, then saves the settings.
    void Form_Unload();
    // The sampling tick: reads, shows, titles and logs. It goes on after this
    // returns, while the bus thread reads, and ends by itself.
    void Timer1_Timer();
    // Whether a tick is under way.
    bool tick_running() const { return tick_running_; }

    void set_interval();
    void select_port();

    void option_1_sec_Click();
    void option_5_sec_Click();
    void option_30_sec_Click();
    void option_1_min_Click();
    void option_com1_Click();
    void option_com2_Click();
    void option_com3_Click();
    void option_com4_Click();
    void option_1_sec_KeyPress(int key);
    void option_5_sec_KeyPress(int key);
    void option_30_sec_KeyPress(int key);
    void option_1_min_KeyPress(int key);
    void option_com1_KeyPress(int key);
    void option_com2_KeyPress(int key);
    void option_com3_KeyPress(int key);
    void option_com4_KeyPress(int key);

    // The log record step of the tick: appends when the check box is checked.
    void log_to_file();

    // Usable on the bus thread only: anywhere else it aborts the program.
    serial::SerialControl& MSComm1() { return bus_->control(); }
    QTimer& Timer1() { return *Timer1_; }
    // The window's controls, in window order, as the settings walk sees them.
    ini::ControlList settings_controls() const;
    // A control by name (its Qt object name), or nullptr.
    QWidget* control(std::string_view name) const;

protected:
    void closeEvent(QCloseEvent* event) override;
    // The window's menu: "Historique…", the chart of the current folder's
    // log, and "Ports série…", the devices Com 1 to Com4 stand for.
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void create_controls();
    // The number of the checked port option; 1 when none is checked.
    int port_number() const;
    void msg_box(const QString& text, const QString& title);
    bool question_box(const QString& text, const QString& title);
    void show_ports_dialog();
    window::Detached search_board(std::vector<serial::SerialDevice> candidates,
                                  std::function<void(const std::vector<sensor::Found>&)> found);
    window::Detached sampling_tick();
    bool tick_interrupted(unsigned port_choice) const;
    bool show_reading(QLabel* label, const sensor::Reading& reading, int sensor, unsigned port_choice);
    void start_publishing(const ini::Snapshot& settings);
    // select_port on the settings file as already read.
    void select_port(const ini::Snapshot& settings);
    void publish_reading(int sensor, const sensor::Reading& reading) const;

    std::unique_ptr<window::BusThread> bus_;  // holds MSComm1
    serial::Devices serial_devices_;
    std::unique_ptr<publish::Publishing> publishing_;  // only with a [Publish] section
    QTimer* Timer1_ = nullptr;

    QLabel* label_temperature_indoor = nullptr;
    QLabel* label_temperature_outside = nullptr;
    QCheckBox* check_log_to_file = nullptr;
    QRadioButton* option_single = nullptr;
    QRadioButton* option_double = nullptr;
    QRadioButton* option_1_sec = nullptr;
    QRadioButton* option_5_sec = nullptr;
    QRadioButton* option_30_sec = nullptr;
    QRadioButton* option_1_min = nullptr;
    QRadioButton* option_com1 = nullptr;
    QRadioButton* option_com2 = nullptr;
    QRadioButton* option_com3 = nullptr;
    QRadioButton* option_com4 = nullptr;

    std::vector<QWidget*> widgets_;  // window order; nullptr for Timer1, MSComm1
    std::vector<std::unique_ptr<ini::PersistentControl>> persistent_;
    std::vector<ini::PersistentControl*> persistent_view_;

    // The eight options that have handlers: what a click and a key press call.
    struct OptionHandlers {
        QRadioButton* frm_quelvane::*button;
        void (frm_quelvane::*click)();
        void (frm_quelvane::*key_press)(int);
    };
    static const std::array<OptionHandlers, 8> option_handlers;

    measurement::LogWriter log_{measurement::log_file_name};  // in the current directory
    bool message_box_open_ = false;
    bool log_failure_told_ = false;
    bool unloaded_ = false;
    bool tick_running_ = false;
    unsigned port_choice_ = 0;  // counts port selections; a tick began on one of them
};
