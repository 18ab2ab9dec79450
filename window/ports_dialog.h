// The dialog "Quelvane — ports série": the device each of Com 1 to Com4
// stands for, chosen among the serial devices present (stable names first)
// or typed, found by a search for the sensor board, and kept in the [Ports]
// section of the settings file. A change takes effect at the next port
// selection, as a hand edit of the file does.
#pragma once

#include <QDialog>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "bus/serial_devices.h"
#include "sensor/board_probe.h"

class QComboBox;
class QLabel;
class QPushButton;

namespace window {

class PortsDialog : public QDialog {
    Q_OBJECT

public:
    // What the dialog asks of the window: its message boxes, and the search,
    // which runs on the bus thread and hands its findings back on the
    // window's thread (never once the dialog is gone).
    struct Hooks {
        std::function<void(const QString& text, const QString& title)> tell;
        std::function<bool(const QString& text, const QString& title)> ask;  // true: yes
        std::function<void(std::vector<serial::SerialDevice> candidates,
                           std::function<void(const std::vector<sensor::Found>&)> found)>
            search;
    };

    // devices: what Com 1 to Com4 stand for now; present: the serial devices
    // present; port (1..4): the window's port, whose field a search fills.
    PortsDialog(const std::array<std::string, 4>& devices, std::vector<serial::SerialDevice> present, int port,
                Hooks hooks, QWidget* parent);


    // OK: stores the ports that changed, each checked against the port rule
    // first, and closes. Stays open after telling why when it cannot.
    void accept() override;

private:
    void search();
    void show_found(const std::vector<sensor::Found>& found);

    std::array<std::string, 4> initial_;
    std::vector<serial::SerialDevice> present_;
    int port_;
    Hooks hooks_;
    std::array<QComboBox*, 4> fields_{};
    QPushButton* search_ = nullptr;
    QLabel* status_ = nullptr;
    bool searching_ = false;
};

}  // namespace window
