// The command line against the simulated board: option parsing, the defaults
// taken from the settings file, --read and --log.
#include <QLocale>
#include <cstring>
#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>

#include "bus/iic.h"
#include "cli/commands.h"
#include "sensor/read_sensor.h"
#include "sensor/simulated_board.h"
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
        sensor::set_conversion_wait([] {});
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
                   }};
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
    std::vector<std::chrono::steady_clock::time_point> deadlines;
    std::function<void(int)> on_wait;
    std::vector<std::string> devices;  // every control made, by device
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
        {{"--log", "--json"}, 2, "--json goes with --read only", ""},
        {{"--read", "--port"}, 2, "--port needs a value", ""},
        {{"--read", "--port", "COM5"}, 2, "--port 'COM5': a port must be an absolute device path under /dev/", ""},
        {{"--read", "--port", "/dev/tty\nS0"}, 2, "--port '/dev/tty?S0': the path holds a control character", ""},
        {{"--read", "--sensors", "3"}, 2, "--sensors takes 1 or 2, not '3'", ""},
        {{"--log", "--every", "0"}, 2, "--every takes a whole number of seconds from 1 to 86400, not '0'", ""},
        {{"--log", "--every", "86401"}, 2, "not '86401'", ""},
        {{"--log", "--every", "1.5"}, 2, "not '1.5'", ""},
        {{"--log", "--every="}, 2, "not ''", ""},
        {{"--log", "--file", ""}, 2, "--file needs a path", ""},
        {{"--read", "--history", "x"}, 2, "--read and --history cannot be combined", ""},
        {{"--sensors", "2", "--history"}, 2, "--sensors goes with --read or --log", ""},
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

    const cli::Options history = cli::parse_arguments({"--history", "log.txt", "--png", "out.png", "--help"});
    EXPECT_EQ(history.command, cli::Command::history);
    EXPECT_EQ(history.history_arguments, (std::vector<std::string>{"log.txt", "--png", "out.png", "--help"}));
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
        const ini::SavedChoices saved = ini::saved_choices();
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
    EXPECT_EQ(cli::run_command(cli::parse_arguments({"--read"}), cli::port_control, io), 1);
    EXPECT_EQ(err.str(), "sensor 1: \"/tmp/quelvane-no-such-port\": not opened as a port: a port must be an absolute "
                         "device path under /dev/, such as /dev/ttyUSB0\n");
}

TEST_F(Cli, ReadPrintsEachSensorWithADecimalPointAndEachFailureOnStderr)
{
    using sensor::SimulatedBoard;
    const std::string time = "{\"time\":\"2026-12-06T22:10:00+01:00\"";
    const std::string denied = ": sim:COM1: open: " + std::string(std::strerror(EACCES)) + " (the user needs read and write access to the "
                               "device, usually by being in the dialout group)\n";
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
         "sensor 1" + denied + "sensor 2" + denied},
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
        std::function<void(SimulatedBoard&, int readings)> between;  // before the first reading, and after each
        std::string log, err;
    } cases[] = {
        {"sensor 2 vanishes and returns", {"--log", "--sensors", "2", "--every", "5"}, "Quelvane.txt", 5s, 3,
         [](SimulatedBoard& board, int n) { board.set_present(1, n != 1 && n != 2); },
         record('0', out2, in) + record('1', none, in) + record('2', none, in) + record('3', out2, in),
         "quelvane: logging sensors 1 and 2 from /dev/ttyS0 every 5 s to Quelvane.txt\n"
         "sensor 2: no acknowledge at 0x49\nsensor 2: reading again\n"},
        {"adapter unplugged and plugged in again", {"--log", "--sensors", "2"}, "Quelvane.txt", 1s, 3,
         [](SimulatedBoard& board, int n) { board.set_unplugged(n == 1 || n == 2); },
         record('0', out2, in) + record('1', none, none) + record('2', none, none) + record('3', out2, in),
         "quelvane: logging sensors 1 and 2 from /dev/ttyS0 every 1 s to Quelvane.txt\n"
         "sensor 1: COM1: " + low + "sensor 2: COM1: " + low + "sensor 1: reading again\nsensor 2: reading again\n"},
        {"one sensor, absent at first", {"--log", "--file", "log.txt"}, "log.txt", 1s, 3,
         [](SimulatedBoard& board, int n) { board.set_present(0, n >= 2); },
         record('0', none, none) + record('1', none, none) + record('2', none, in) + record('3', none, in),
         "quelvane: logging sensor 1 from /dev/ttyS0 every 1 s to log.txt\n"
         "sensor 1: no acknowledge at 0x48\nsensor 1: reading again\n"},
        {"a log that cannot be written at first", {"--log", "--file", "later/Quelvane.txt"}, "later/Quelvane.txt",
         1s, 1,
         [this](SimulatedBoard&, int n) { if (n == 2) std::filesystem::create_directory(dir.file("later")); },
         record('2', none, in) + record('3', none, in),
         "quelvane: logging sensor 1 from /dev/ttyS0 every 1 s to later/Quelvane.txt\n"
         "quelvane: cannot write to later/Quelvane.txt (" + std::string(std::strerror(ENOENT)) +
             "); the readings go on\n"
         "quelvane: writing to later/Quelvane.txt again\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        new_board();
        std::filesystem::remove(dir.file(c.file));
        c.between(board(), 0);
        out.str(""), err.str(""), looks = 0, waits = 0, deadlines.clear();
        on_wait = [&](int n) { c.between(board(), n); };
        EXPECT_EQ(run(c.words, 4), 0);
        EXPECT_EQ(read_bytes(dir.file(c.file)), c.log);
        EXPECT_EQ(err.str(), c.err);
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(board().counters().opens, c.opens);
        EXPECT_FALSE(board().PortOpen());
        ASSERT_EQ(deadlines.size(), 4u);
        for (std::size_t i = 1; i < deadlines.size(); ++i) EXPECT_EQ(deadlines[i] - deadlines[i - 1], c.every);
    }
}

}  // namespace
