// The command line against the simulated board: option parsing, the defaults
// taken from the settings file, --read and --log.
#include <QLocale>
#include <cstring>
#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <unistd.h>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include "bus/iic.h"
#include "cli/commands.h"
#include "sensor/read_sensor.h"
#include "sensor/simulated_board.h"
#include "log/log_reader.h"
#include "log/measurement_log.h"
#include "log/reading_text.h"
#include "settings/ini.h"
#include "settings/saved_choices.h"
#include "tests/bus/recording_control.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::read_bytes;
using testsupport::write_bytes;

// A command run in a scratch directory, in a French locale, on the simulated
// board (sensor 1 at 21.5 °C, sensor 2 at -3.0 °C), with a clock that starts at
// 2026-12-06 22:10:00 +01:00 and moves on one second each time it is read.
class Cli : public ::testing::Test {
protected:
    void SetUp() override
    {
        iic::set_settle_time(std::chrono::nanoseconds(0));
        sensor::set_conversion_wait([this] { ++conversion_waits; });
        ::setenv("LC_ALL", "fr_FR.UTF-8", 1);
        std::setlocale(LC_ALL, "");  // where the locale exists, printf would write a comma
        QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
        previous_dir = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        new_board();
    }

    void new_board()
    {
        board_ = std::make_unique<sensor::SimulatedBoard>();
        board().set_temperature(0, 21.5);
        board().set_temperature(1, -3.0);
    }
    sensor::SimulatedBoard& board() { return *board_; }

    void TearDown() override
    {
        std::filesystem::current_path(previous_dir);
        QLocale::setDefault(QLocale::c());
        std::setlocale(LC_ALL, "C");
        ::unsetenv("LC_ALL");
        sensor::set_conversion_wait(nullptr);
        iic::set_settle_time(iic::standard_settle_time);
    }

    // Parses words and runs the command; each wait of --log first calls
    // on_wait(number of readings made so far), then ends after `readings`.
    int run(const std::vector<std::string>& words, int readings = 1)
    {
        const cli::Options options = cli::parse_arguments(words);
        cli::Io io{out, err, [this] { return start.addSecs(looks++); },
                   [&](std::chrono::steady_clock::time_point deadline) {
                       deadlines.push_back(deadline);
                       ++waits;
                       if (on_wait) on_wait(waits);
                       return waits < readings;
                   },
                   serial_devices};
        return cli::run_command(options, [this](const std::string& device) {
            devices.push_back(device);
            return std::make_unique<testsupport::RecordingControl>(board_.get());
        }, io);
    }

    testsupport::TempDir dir;
    std::filesystem::path previous_dir;
    std::unique_ptr<sensor::SimulatedBoard> board_;
    std::ostringstream out, err;
    QDateTime start{QDate(2026, 12, 6), QTime(22, 10, 0), Qt::OffsetFromUTC, 3600};
    int looks = 0;
    int waits = 0;
    int conversion_waits = 0;
    std::vector<std::chrono::steady_clock::time_point> deadlines;
    std::function<void(int)> on_wait;
    std::vector<std::string> devices;  // every control made, by device
    serial::Devices serial_devices;    // none unless a test puts some
};

TEST_F(Cli, OptionsAndUsageErrors)
{
    const struct {
        std::vector<std::string> words;
        int status;
        std::string out;     // a part of stdout; for status 2, of the one stderr line
        std::string device;  // the device read through; empty: no port opened
    } cases[] = {
        {{"--help"}, 0, "quelvane --history [FILE] [--png OUT [--size WxH]] [--csv OUT]\n", ""},
        {{"-h"}, 0, "quelvane --log [--port P] [--sensors 1|2] [--every SECONDS] [--file PATH]\n", ""},
        {{"--read", "--bogus", "--help"}, 0, "quelvane --read [--port P] [--sensors 1|2] [--json]\n", ""},
        {{"--read"}, 0, "sensor1 21.5\n", "/dev/ttyS0"},
        {{"--read", "--port", "COM3"}, 0, "sensor1 21.5\n", "/dev/ttyS2"},
        {{"--read", "--port=com4", "--sensors=2"}, 0, "sensor2 -3.0\n", "/dev/ttyS3"},
        {{"--read", "--sensors", "2", "--port", "/dev/ttyUSB0", "--json"}, 0, "\"sensor2\":-3.0}\n", "/dev/ttyUSB0"},
        {{"--bogus"}, 2, "quelvane: unknown option '--bogus' (see quelvane --help)\n", ""},
        {{"Salon"}, 2, "unexpected argument 'Salon'", ""},
        {{"--read", "--log"}, 2, "--read and --log cannot be combined", ""},
        {{"--read", "--read"}, 2, "--read given twice", ""},
        {{"--port", "COM1"}, 2, "--port goes with --read or --log", ""},
        {{"--read", "--every", "5"}, 2, "--every goes with --log only", ""},
        {{"--log", "--json"}, 2, "--json goes with --read or --find", ""},
        {{"--help"}, 0, "  quelvane --find [DEVICE...] [--json]\n", ""},
        {{"--help"}, 0, "Probing toggles DTR and RTS on every\n", ""},
        {{"--find"}, 1, "No serial device found.\n", ""},
        {{"--find", "ttyUSB0"}, 2, "--find 'ttyUSB0': a port must be an absolute device path under /dev/", ""},
        {{"/dev/ttyUSB0", "--find"}, 2, "unexpected argument '/dev/ttyUSB0'", ""},
        {{"--find", "--port", "COM1"}, 2, "--port goes with --read or --log", ""},
        {{"--read", "--find"}, 2, "--read and --find cannot be combined", ""},
        {{"--read", "--port"}, 2, "--port needs a value", ""},
        {{"--read", "--port", "COM5"}, 2, "--port 'COM5': a port must be an absolute device path under /dev/", ""},
        {{"--read", "--port", "/dev/tty\nS0"}, 2, "--port '/dev/tty?S0': the path holds a control character", ""},
        {{"--read", "--sensors", "3"}, 2, "--sensors takes 1 or 2, not '3'", ""},
        {{"--log", "--every", "0"}, 2, "--every takes a whole number of seconds from 1 to 86400, not '0'", ""},
        {{"--log", "--every", "86401"}, 2, "--every takes a whole number of seconds from 1 to 86400, not '86401'", ""},
        {{"--log", "--every", "1.5"}, 2, "not '1.5'", ""},
        {{"--log", "--every="}, 2, "not ''", ""},
        {{"--log", "--file", ""}, 2, "--file needs a path", ""},
        {{"--read", "--history", "x"}, 2, "--read and --history cannot be combined", ""},
        {{"--sensors", "2", "--history"}, 2, "--sensors goes with --read or --log", ""},
        {{"--read", "--json=yes"}, 2, "--json takes no value", ""},
        // The history's own words.
        {{"--history", "--help"}, 0, "  --png OUT        with --history: the whole log as a PNG image", ""},
        {{"--history", "--png"}, 2, "quelvane: --history: --png needs a value (see quelvane --help)\n", ""},
        {{"--history", "--csv", ""}, 2, "--history: --csv needs a value", ""},
        {{"--history", "--bogus", "--help"}, 2, "--history: unknown option '--bogus'", ""},
        {{"--history", "a.txt", "b.txt"}, 2, "--history: one FILE only, not also 'b.txt'", ""},
        {{"--history=a.txt", "b\nc.txt"}, 2, "--history: one FILE only, not also 'b?c.txt'", ""},
        {{"--history="}, 2, "--history: empty file name", ""},
        {{"--history", "--size", "800x600"}, 2, "--history: --size goes with --png", ""},
        {{"--history", "--png", "o.png", "--size", "100x600"}, 2,
         "--history: --size takes WIDTHxHEIGHT, each from 160 to 8192, not '100x600'", ""},
        {{"--history", "--png", "o.png", "--size", "800x"}, 2, "not '800x'", ""},
        {{"--history", "--png", "o.png", "--size=+800x600"}, 2, "not '+800x600'", ""},
        {{"--history", "--png", "o.png", "--size", "9000x600"}, 2, "not '9000x600'", ""},
        {{"--history", "--csv", "a", "--csv=b"}, 2, "--history: --csv given twice", ""},
        {{"--history", "--png", "a", "--png", "b"}, 2, "--history: --png given twice", ""},
        {{"--history", "--png", "a", "--size", "800x600", "--size", "800x600"}, 2, "--size given twice", ""},
        {{"--history", "--read"}, 2, "--history and --read cannot be combined", ""},
        {{"--read", "--png", "o.png"}, 2, "--png goes with --history only", ""},
        {{"--read", "--mqtt", "http://b"}, 2, "--mqtt 'http://b': a broker is mqtt://[user@]host[:port][/prefix] or mqtts://...", ""},
        {{"--read", "--mqtt=mqtt://u:pw@b"}, 2, "--mqtt 'mqtt://u:pw@b': a password never goes in the URL: put it in a file", ""},
        {{"--read", "--mqtt", "mqtt://b:0"}, 2, "the port must be a number from 1 to 65535", ""},
        {{"--read", "--mqtt", "mqtt://b:"}, 2, "the port must be a number from 1 to 65535", ""},
        {{"--read", "--mqtt", "mqtt://::1"}, 2, "an IPv6 address goes in brackets: mqtt://[::1]", ""},
        {{"--read", "--mqtt", "mqtt://[fe80::x]"}, 2, "'fe80::x' is not an IPv6 address", ""},
        {{"--read", "--mqtt", "mqtt://b/$SYS"}, 2, "a prefix may not begin with '$'", ""},
        {{"--read", "--mqtt", "mqtt://b/a/+/c"}, 2, "a prefix may not hold '+', '#' or '?'", ""},
        {{"--read", "--mqtt", "mqtt://b/a//c"}, 2, "a prefix may not hold an empty level ('//')", ""},
        {{"--read", "--mqtt", "mqtt://@b"}, 2, "the user before '@' is empty", ""},
        {{"--read", "--mqtt", "mqtt:///x"}, 2, "the URL names no host", ""},
        {{"--read", "--mqtt", "mqtt://b c"}, 2, "the URL holds a blank or a control character", ""},
        {{"--read", "--mqtt-id", "x"}, 2, "--mqtt-id goes with --mqtt", ""},
        {{"--log", "--no-discovery"}, 2, "--no-discovery goes with --mqtt", ""},
        {{"--read", "--mqtt", "mqtt://b", "--mqtt-id", "a/b"}, 2, "--mqtt-id 'a/b': an id is 1 to 64 letters, digits", ""},
        {{"--log", "--mqtt", "mqtt://b", "--mqtt-expire", "60"}, 2, "--mqtt-expire goes with --read only", ""},
        {{"--read", "--mqtt", "mqtt://b", "--mqtt-expire", "0"}, 2,
         "--mqtt-expire takes a whole number of seconds from 1 to 2592000, not '0'", ""},
        {{"--read", "--metrics", "9101"}, 2, "--metrics goes with --log only", ""},
        {{"--log", "--metrics", "70000"}, 2, "--metrics '70000': an endpoint is [ADDR:]PORT", ""},
        {{"--log", "--metrics", "::1:9101"}, 2, "an IPv6 address goes in brackets: [::1]:PORT", ""},
        {{"--log", "--metrics", "localhost:9101"}, 2, "'localhost' is not an IPv4 address (a name is not taken)", ""},
        {{"--read", "--mqtt", "mqtt://b", "--mqtt-password-file", "/nonexistent"}, 2,
         "quelvane: cannot read the password file '/nonexistent': ", ""},
        {{"--read", "--mqtt", "mqtt://b", "--mqtt-ca", "ca.pem"}, 2, "quelvane: a CA file goes with mqtts:// only", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.words));
        out.str(""), err.str(""), devices.clear();
        const long opens = board().counters().opens;
        EXPECT_EQ(run(c.words), c.status);
        if (c.status == 2) {
            EXPECT_EQ(out.str(), "");
            EXPECT_EQ(err.str().find('\n'), err.str().size() - 1) << "one line: " << err.str();
            EXPECT_EQ(err.str().rfind("quelvane: ", 0), 0u) << err.str();
            EXPECT_NE(err.str().find(c.out), std::string::npos) << err.str();
        } else {
            EXPECT_NE(out.str().find(c.out), std::string::npos) << out.str();
        }
        EXPECT_EQ(devices, c.device.empty() ? std::vector<std::string>{} : std::vector{c.device});
        if (c.device.empty()) {
            EXPECT_EQ(board().counters().opens, opens);
        }
    }
    out.str("");
    EXPECT_EQ(run({"--version"}), 0);
    EXPECT_TRUE(std::regex_match(out.str(), std::regex("quelvane [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << out.str();

    // What the history is asked for, and whether that shows a window; every
    // option's value also after "=".
    const struct {
        std::vector<std::string> words;
        std::string asked;  // FILE|PNG|CSV|WxH
        bool window;
    } history_cases[] = {
        {{"--history"}, "|||1200x600", true},
        {{"--history", "log.txt"}, "log.txt|||1200x600", true},
        {{"--history=log.txt", "--csv=-"}, "log.txt||-|1200x600", false},
        {{"--png=o.png", "--size=800x600", "--history", "-"}, "-|o.png||800x600", false},
    };
    for (const auto& c : history_cases) {
        const cli::Options history = cli::parse_arguments(c.words);
        EXPECT_EQ(history.command, cli::Command::history) << history.error;
        EXPECT_EQ(history.history_file.value_or("") + "|" + history.png + "|" + history.csv + "|" +
                      std::to_string(history.png_width) + "x" + std::to_string(history.png_height),
                  c.asked);
        EXPECT_EQ(cli::shows_a_window(history), c.window) << c.asked;
    }
}

TEST_F(Cli, DefaultsAndPortMappingsComeFromTheSettingsFileWhichStaysUntouched)
{
    const std::string ct = "[CT]\r\nFileId=quelv\r\n";
    const auto value = [](const char* option, const char* text) {
        return std::string("frm_quelvaner.") + option + ".value=" + text + "\r\n";
    };
    const struct {
        std::string ini;  // empty: no file
        int port, sensors, every;
    } cases[] = {
        {"", 1, 1, 1},
        {ct + value("option_com3", "1") + value("option_double", " 2.5x") + value("option_30_sec", "1"), 3, 2, 30},
        // Two ports stored as selected: the later in window order wins, as in the window.
        {ct + value("option_com1", "1") + value("option_com2", "1") + value("option_1_min", "1"), 2, 1, 60},
        {ct + value("option_com1", "0") + value("option_1_sec", "0"), 1, 1, 1},  // none selected
        {"[CT]\r\nFileId=Quelv\r\n" + value("option_com4", "1") + value("option_double", "1"), 1, 1, 1},  // foreign
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ini);
        std::filesystem::remove("Quelvane.INI");
        if (!c.ini.empty()) write_bytes("Quelvane.INI", c.ini);
        const ini::SavedChoices saved = ini::saved_choices(ini::Snapshot::read());
        EXPECT_EQ(saved.port, c.port);
        EXPECT_EQ(saved.sensors, c.sensors);
        EXPECT_EQ(saved.every_seconds, c.every);
    }

    const std::string ini =
        ct + value("option_com2", "1") + value("option_double", "1") + "[Ports]\r\nCOM2=/dev/ttyUSB1\r\n";
    write_bytes("Quelvane.INI", ini);
    EXPECT_EQ(run({"--read"}), 0);
    EXPECT_EQ(run({"--log"}), 0);
    EXPECT_EQ(devices, (std::vector<std::string>{"/dev/ttyUSB1", "/dev/ttyUSB1"}));
    EXPECT_EQ(out.str(), "sensor1 21.5\nsensor2 -3.0\n");
    EXPECT_EQ(read_bytes("Quelvane.INI"), ini);

    // The real port control on a mapping that is no port device: a failed
    // reading that says why.
    write_bytes("Quelvane.INI", "[Ports]\nCOM1=/tmp/quelvane-no-such-port\n");
    err.str("");
    cli::Io io{out, err, [] { return QDateTime::currentDateTime(); }, nullptr};
    EXPECT_EQ(cli::run_command(cli::parse_arguments({"--read"}), serial::open_port, io), 1);
    EXPECT_EQ(err.str(), "sensor 1: \"/tmp/quelvane-no-such-port\": not opened as a port: a port must be an absolute "
                         "device path under /dev/, such as /dev/ttyUSB0\n");
}

TEST_F(Cli, ReadPrintsEachSensorWithADecimalPointAndEachFailureOnStderr)
{
    using sensor::SimulatedBoard;
    const std::string time = "{\"time\":\"2026-12-06T22:10:00+01:00\"";
    const std::string denied = ": sim:COM1: open: " + std::string(std::strerror(EACCES)) + " (the user needs read and write access to the "
                               "device, usually by being in the dialout group)";
    serial_devices.present = [] { return std::vector<serial::SerialDevice>{{"/dev/ttyUSB0", ""}, {"sim:COM1", ""}}; };
    const std::string others = "; other serial devices: /dev/ttyUSB0; `quelvane --find` probes them\n";
    const auto absent = [](SimulatedBoard& board) { board.set_present(1, false); };
    const auto locked_out = [](SimulatedBoard& board) { board.set_open_error(EACCES); };
    const auto limits = [](SimulatedBoard& board) {
        board.set_register(0, 0xFF, 0xF6);  // -0.04 °C: no minus sign once rounded
        board.set_register(1, 0x7F, 0xFF);  // 127.996 °C
    };
    const struct {
        std::vector<std::string> words;
        std::function<void(SimulatedBoard&)> fault;
        int status;
        std::string out, err;
    } cases[] = {
        {{"--read", "--sensors", "2", "--json"}, nullptr, 0, time + ",\"sensor1\":21.5,\"sensor2\":-3.0}\n", ""},
        {{"--read", "--json"}, nullptr, 0, time + ",\"sensor1\":21.5}\n", ""},
        {{"--read", "--sensors", "2"}, limits, 0, "sensor1 0.0\nsensor2 128.0\n", ""},
        {{"--read", "--sensors", "2"}, absent, 1, "sensor1 21.5\n", "sensor 2: no acknowledge at 0x49\n"},
        {{"--read", "--sensors", "2", "--json"}, absent, 1, time + ",\"sensor1\":21.5,\"sensor2\":null}\n",
         "sensor 2: no acknowledge at 0x49\n"},
        {{"--read", "--sensors", "2", "--json"}, locked_out, 1, time + ",\"sensor1\":null,\"sensor2\":null}\n",
         "sensor 1" + denied + others + "sensor 2" + denied + others},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.words));
        new_board();
        if (c.fault) c.fault(board());
        out.str(""), err.str(""), looks = 0;
        EXPECT_EQ(run(c.words), c.status);
        EXPECT_EQ(out.str(), c.out);
        EXPECT_EQ(err.str(), c.err);
        EXPECT_FALSE(board().PortOpen());
    }

    // Readings that never reached standard output (a full disk) are no success.
    new_board();
    out.setstate(std::ios::badbit), err.str("");
    EXPECT_EQ(run({"--read"}), 1);
    EXPECT_EQ(err.str(), "quelvane: standard output could not be written\n");
}

// --find on three devices: the board on a USB adapter with a stable name, a
// native port with nothing on it, a port another program holds. The devices
// named are resolved through their stable names and probed once each.
TEST_F(Cli, FindSaysWhatEachDeviceHoldsAndWhereTheBoardIsInTextOrJson)
{
    using sensor::SimulatedBoard;
    const std::string usb0 = "/dev/ttyUSB0", stable = "/dev/serial/by-id/usb-FTDI_A-if00-port0";
    std::map<std::string, std::unique_ptr<SimulatedBoard>> boards;
    for (const char* device : {"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyUSB1"}) {
        boards[device] = std::make_unique<SimulatedBoard>();
    }
    boards["/dev/ttyS0"]->set_unplugged(true);
    boards["/dev/ttyUSB1"]->set_open_error(EBUSY);
    std::vector<std::string> probed;
    serial::Devices devices{
        [&] { return std::vector<serial::SerialDevice>{{"/dev/ttyS0", ""}, {usb0, stable}, {"/dev/ttyUSB1", ""}}; },
        [&] { return std::vector<serial::SerialDevice>{{usb0, stable}}; },
        [&](const std::string& device) -> std::unique_ptr<serial::SerialControl> {
            probed.push_back(device);
            auto control = std::make_unique<testsupport::RecordingControl>(boards.count(device) ? boards[device].get()
                                                                                                : nullptr);
            if (!boards.count(device)) control->set_PortOpen(true);  // nothing on it: open, the line floats high
            return control;
        }};
    const std::string found = "\nThe sensor board is on /dev/ttyUSB0. For the window (or its menu \"Ports série…\"), "
                              "in Quelvane.INI:\n[Ports]\nCOM1=" + stable + "\nFor the commands: --port " + stable + "\n";
    const struct {
        std::vector<std::string> words;
        int status;
        std::string out;
        std::vector<std::string> probed;
    } cases[] = {
        {{"--find"}, 0,
         "/dev/ttyS0: no sensor (the data line reads low on the idle bus)\n/dev/ttyUSB0 (" + stable +
             "): sensors 1 and 2\n/dev/ttyUSB1: busy\n" + found,
         {"/dev/ttyS0", usb0, "/dev/ttyUSB1"}},
        {{"--find", "--json"}, 0,
         "[{\"device\":\"/dev/ttyS0\",\"by_id\":null,\"found\":\"no sensor (the data line reads low on the idle "
         "bus)\",\"sensors\":[]},{\"device\":\"/dev/ttyUSB0\",\"by_id\":\"" + stable +
             "\",\"found\":\"sensors 1 and 2\",\"sensors\":[1,2],\"port\":\"" + stable +
             "\"},{\"device\":\"/dev/ttyUSB1\",\"by_id\":null,\"found\":\"busy\",\"sensors\":[]}]\n",
         {"/dev/ttyS0", usb0, "/dev/ttyUSB1"}},
        {{"--find", stable, usb0}, 0, "/dev/ttyUSB0 (" + stable + "): sensors 1 and 2\n" + found, {usb0}},
        {{"--find=/dev/ttyUSB9", "--json"}, 1,
         "[{\"device\":\"/dev/ttyUSB9\",\"by_id\":null,\"found\":\"no sensor\",\"sensors\":[]}]\n", {"/dev/ttyUSB9"}},
        {{"--find", "/dev/ttyUSB1", "/dev/ttyS0"}, 1,
         "/dev/ttyUSB1: busy\n/dev/ttyS0: no sensor (the data line reads low on the idle bus)\n\nNo sensor board "
         "found.\n",
         {"/dev/ttyUSB1", "/dev/ttyS0"}},
    };
    serial_devices = devices;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.words));
        out.str(""), err.str(""), probed.clear();
        EXPECT_EQ(run(c.words), c.status);
        EXPECT_EQ(out.str(), c.out);
        EXPECT_EQ(err.str(), "");
        EXPECT_EQ(probed, c.probed);
    }
}

// A record as the window writes it at 22:10:0<second>, when both readings
// are six bytes long (as "21,5°C" and "--.-°C" are in Windows-1252).
std::string record(char second, const std::string& outdoor, const std::string& indoor)
{
    return std::string("12-06-2026    22:10:0") + second + "      " + outdoor + "        " + indoor + "\r\n";
}

TEST_F(Cli, LogWritesTheWindowsRecordsAndGoesOnThroughFailures)
{
    using sensor::SimulatedBoard;
    using namespace std::chrono_literals;
    const std::string in = "21,5\xB0" "C", out2 = "-3,0\xB0" "C", none = "--.-\xB0" "C";
    const std::string low = "the data line reads low on an idle bus (adapter unplugged, or the line stuck)\n";
    const struct {
        const char* name;
        std::vector<std::string> words;
        std::string file;
        std::chrono::seconds every;
        long opens;
        int conversion_waits;  // of the first readings after an opening, or after the sensor failed
        std::function<void(SimulatedBoard&, int readings)> between;  // before the first reading, and after each
        std::string log, err;
    } cases[] = {
        // The port stays open: sensor 1 is never waited for again.
        {"sensor 2 vanishes and returns", {"--log", "--sensors", "2", "--every", "5"}, "Quelvane.txt", 5s, 1, 3,
         [](SimulatedBoard& board, int n) { board.set_present(1, n != 1 && n != 2); },
         record('0', out2, in) + record('1', none, in) + record('2', none, in) + record('3', out2, in),
         "quelvane: logging sensors 1 and 2 from /dev/ttyS0 every 5 s to Quelvane.txt\n"
         "sensor 2: no acknowledge at 0x49\nsensor 2: reading again\n"},
        // Opened afresh after each failure.
        {"adapter unplugged and plugged in again", {"--log", "--sensors", "2"}, "Quelvane.txt", 1s, 3, 4,
         [](SimulatedBoard& board, int n) { board.set_unplugged(n == 1 || n == 2); },
         record('0', out2, in) + record('1', none, none) + record('2', none, none) + record('3', out2, in),
         "quelvane: logging sensors 1 and 2 from /dev/ttyS0 every 1 s to Quelvane.txt\n"
         "sensor 1: COM1: " + low + "sensor 2: COM1: " + low + "sensor 1: reading again\nsensor 2: reading again\n"},
        {"one sensor, absent at first", {"--log", "--file", "log.txt"}, "log.txt", 1s, 1, 1,
         [](SimulatedBoard& board, int n) { board.set_present(0, n >= 2); },
         record('0', none, none) + record('1', none, none) + record('2', none, in) + record('3', none, in),
         "quelvane: logging sensor 1 from /dev/ttyS0 every 1 s to log.txt\n"
         "sensor 1: no acknowledge at 0x48\nsensor 1: reading again\n"},
        {"a log that cannot be written at first", {"--log", "--file", "later/Quelvane.txt"}, "later/Quelvane.txt",
         1s, 1, 1,
         [this](SimulatedBoard&, int n) { if (n == 2) std::filesystem::create_directory(dir.file("later")); },
         record('2', none, in) + record('3', none, in),
         "quelvane: logging sensor 1 from /dev/ttyS0 every 1 s to later/Quelvane.txt\n"
         "quelvane: cannot write to later/Quelvane.txt (" + std::string(std::strerror(ENOENT)) +
             "); the readings go on\n"
         "quelvane: writing to later/Quelvane.txt again\n"},
        {"a file name with a line feed", {"--log", "--file=a\nb.txt"}, "a\nb.txt", 1s, 1, 1,
         [](SimulatedBoard&, int) {}, record('0', none, in) + record('1', none, in) + record('2', none, in) + record('3', none, in),
         "quelvane: logging sensor 1 from /dev/ttyS0 every 1 s to a?b.txt\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        new_board();
        std::filesystem::remove(dir.file(c.file));
        c.between(board(), 0);
        out.str(""), err.str(""), looks = 0, waits = 0, conversion_waits = 0, deadlines.clear();
        on_wait = [&](int n) { c.between(board(), n); };
        EXPECT_EQ(run(c.words, 4), 0);
        EXPECT_EQ(read_bytes(dir.file(c.file)), c.log);
        EXPECT_EQ(err.str(), c.err);
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(board().counters().opens, c.opens);
        EXPECT_EQ(conversion_waits, c.conversion_waits);
        EXPECT_FALSE(board().PortOpen());
        ASSERT_EQ(deadlines.size(), 4u);
        for (std::size_t i = 1; i < deadlines.size(); ++i) EXPECT_EQ(deadlines[i] - deadlines[i - 1], c.every);
    }
}

// SIGTERM while a line call never returns (a wedged USB adapter): --log still
// ends, with status 0 and a line that says why, once the reading in flight has
// had its time.
TEST_F(Cli, LogEndsOnSigtermWhenALineCallNeverReturns)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    board().set_address_hook([](std::uint8_t address) {
        if (address == 0x92) {
            std::raise(SIGTERM);
            ::alarm(10);  // a --log that never ends fails here, by SIGALRM
            for (;;) ::pause();
        }
    });
    const auto log = [this] {
        return cli::run_command(cli::parse_arguments({"--log", "--sensors", "2"}), [this](const std::string&) {
            return std::make_unique<testsupport::RecordingControl>(board_.get());
        });
    };
    EXPECT_EXIT(log(), ::testing::ExitedWithCode(0), "the reading in flight has not ended; stopping without it");
}

// In every locale the readings are written with its decimal separator, by the
// window's record (its labels' text) as by --log, and read back by the
// history: an Arabic or Persian one, which Windows-1252 cannot hold, on a
// line in UTF-8.
TEST_F(Cli, EveryLocalesRecordsReadBack)
{
    const struct {
        const char* locale;
        std::string reading;  // sensor 1's, as the log holds it
    } cases[] = {
        {"ar_EG.UTF-8", "21\xD9\xAB" "5\xC2\xB0" "C"},
        {"fa_IR.UTF-8", "21\xD9\xAB" "5\xC2\xB0" "C"},
        {"fr_FR.UTF-8", "21,5\xB0" "C"},
        {"C", "21.5\xB0" "C"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.locale);
        ::setenv("LC_ALL", c.locale, 1);
        EXPECT_NE(std::setlocale(LC_ALL, ""), nullptr) << "the locale is missing (scripts/deps.sh test makes it)";
        QLocale::setDefault(QLocale(QString::fromLatin1(c.locale).section(u'.', 0, 0)));
        std::filesystem::remove("Quelvane.txt");
        EXPECT_EQ(measurement::LogWriter("Quelvane.txt")
                      .append(measurement::log_record(start, measurement::reading_text(-3.0), measurement::reading_text(21.5))),
                  0);
        new_board();
        EXPECT_EQ(run({"--log", "--sensors", "2"}), 0);
        std::vector<measurement::LogRecord> records;
        std::uint64_t skipped = 0;
        std::string error;
        ASSERT_TRUE(measurement::read_log_file("Quelvane.txt", records, skipped, error)) << error;
        EXPECT_EQ(skipped, 0u);
        ASSERT_EQ(records.size(), 2u);
        for (const measurement::LogRecord& record : records) {
            EXPECT_EQ(record.sensor1, 215);
            EXPECT_EQ(record.sensor2, -30);
        }
        EXPECT_NE(read_bytes("Quelvane.txt").find(c.reading), std::string::npos) << read_bytes("Quelvane.txt");
    }
}

}  // namespace
