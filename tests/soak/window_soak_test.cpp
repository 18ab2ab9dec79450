// Ten thousand sampling ticks of the window, two sensors, logging on, against
// the simulated board while faults come and go at random: sensor 2 gone, the
// adapter unplugged, the port held by another program, the log refusing
// writes. After every tick the readings shown and the boxes raised are
// checked; at the end the open descriptors, the memory and the log.
#include <QCheckBox>
#include <QLabel>
#include <QRadioButton>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "log/measurement_log.h"
#include "log/reading_text.h"
#include "window_fixture.h"

namespace {

long descriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

long resident_pages()
{
    long total = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> total >> resident;
    return resident;
}

// Appends beyond RLIMIT_FSIZE fail with EFBIG once SIGXFSZ is ignored; both
// are put back however the test ends.
struct FileSizeLimit {
    rlimit original{};
    void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
    FileSizeLimit() { ::getrlimit(RLIMIT_FSIZE, &original); }
    ~FileSizeLimit() { set(original.rlim_cur), std::signal(SIGXFSZ, previous); }
    bool set(rlim_t bytes)
    {
        const rlimit limit{bytes, original.rlim_max};
        return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
};

}  // namespace

using WindowSoakTest = WindowTest;

TEST_F(WindowSoakTest, TenThousandTicksWithFaultsShowWhatTheBoardHeldAndLogEveryTickThatCouldWrite)
{
    std::uint32_t seed = std::random_device{}();
    if (const char* given = std::getenv("QUELVANE_SOAK_SEED")) seed = std::strtoul(given, nullptr, 10);
    std::cout << "soak seed " << seed << " (QUELVANE_SOAK_SEED=" << seed << " replays it)" << std::endl;
    std::mt19937 random(seed);
    FileSizeLimit limit;

    window->Form_Load();  // no settings file yet: one box
    control<QRadioButton>("option_double")->click();
    control<QCheckBox>("check_log_to_file")->click();
    QRadioButton* port = control<QRadioButton>("option_com1");
    QLabel* indoor = control<QLabel>("label_temperature_indoor");
    QLabel* outdoor = control<QLabel>("label_temperature_outside");

    enum { sensor2_gone, unplugged, port_busy, log_full, fault_kinds };
    std::array<bool, fault_kinds> on{};
    std::array<int, fault_kinds> seen{};
    bool log_failure_told = false;
    std::string expected_log(10000 * 32, ' ');  // every record from column 28 on; its memory in use from here
    expected_log.clear();
    const long descriptors_before = descriptors();
    long pages_after_warm_up = 0;
    for (int tick = 0; tick < 10000; ++tick) {
        if (tick == 1000) pages_after_warm_up = resident_pages();
        const double indoor_celsius = std::uniform_int_distribution(-110, 250)(random) / 2.0;
        const double outdoor_celsius = std::uniform_int_distribution(-110, 250)(random) / 2.0;
        board->set_temperature(0, indoor_celsius);
        board->set_temperature(1, outdoor_celsius);
        for (int fault = 0; fault < fault_kinds; ++fault) {
            if (!std::bernoulli_distribution(on[fault] ? 0.2 : 0.01)(random)) continue;
            seen[fault] += on[fault] = !on[fault];
            // Another program takes the port while the user picks it again.
            if (fault == port_busy && on[fault]) port->click();
            if (fault == log_full) {
                // Room for less than the shortest record (49 bytes): appends fail, some midway.
                std::error_code missing;
                const auto size = std::filesystem::file_size(measurement::log_file_name, missing);
                ASSERT_TRUE(limit.set(on[fault] ? (missing ? 0 : size) + random() % 49 : limit.original.rlim_cur));
            }
        }
        board->set_present(1, !on[sensor2_gone]);
        board->set_unplugged(on[unplugged]);
        board->set_open_error(on[port_busy] ? EBUSY : 0);

        boxes.clear();
        WindowTest::tick();
        board->clear_record();  // the board's own record is not the program's memory

        const bool indoor_ok = !on[unplugged] && !on[port_busy];
        const bool outdoor_ok = indoor_ok && !on[sensor2_gone];
        const QString indoor_text = indoor_ok ? measurement::reading_text(indoor_celsius) : measurement::no_reading_text;
        const QString outdoor_text = outdoor_ok ? measurement::reading_text(outdoor_celsius) : measurement::no_reading_text;
        ASSERT_EQ(indoor->text().toStdString(), indoor_text.toStdString()) << "tick " << tick;
        ASSERT_EQ(outdoor->text().toStdString(), outdoor_text.toStdString()) << "tick " << tick;
        std::vector<std::string> expected_boxes;
        if (!indoor_ok) expected_boxes.push_back("Erreur: Lecture du capteur 1 impossible");
        if (!outdoor_ok) expected_boxes.push_back("Erreur: Lecture du capteur 2 impossible");
        if (on[log_full] && !log_failure_told) {
            expected_boxes.push_back("Erreur: Impossible d'écrire dans le fichier Quelvane.txt");
        }
        log_failure_told = on[log_full];
        ASSERT_EQ(boxes, expected_boxes) << "tick " << tick;
        ASSERT_EQ(window->Timer1().isActive(), indoor_ok && outdoor_ok) << "tick " << tick;
        if (!indoor_ok || !outdoor_ok) port->click();  // the user starts the readings again
        if (!on[log_full]) {
            const std::string out = outdoor_text.toLatin1().toStdString();
            expected_log += out + std::string(14 - out.size(), ' ') + indoor_text.toLatin1().toStdString() + "\r\n";
        }
    }
    ASSERT_TRUE(limit.set(limit.original.rlim_cur));
    const long growth = (resident_pages() - pages_after_warm_up) * ::sysconf(_SC_PAGESIZE);
    std::cout << "faults turned on (sensor 2, unplugged, busy, log): " << seen[0] << ", " << seen[1] << ", " << seen[2]
              << ", " << seen[3] << "; memory growth after warm-up " << growth / 1024 << " KiB" << std::endl;
    for (const int count : seen) EXPECT_GT(count, 0);  // or the run proved less than it claims
    EXPECT_EQ(descriptors(), descriptors_before);
#ifndef __SANITIZE_ADDRESS__  // which holds freed memory back
    EXPECT_LT(growth, 1024 * 1024);
#endif

    // The log: whole records only, one per tick that could write, in order.
    std::ifstream log(measurement::log_file_name, std::ios::binary);
    std::size_t at = 0;  // in expected_log
    for (std::string record; std::getline(log, record); at += record.size() - 27) {
        ASSERT_TRUE(!log.eof() && record.size() > 28 && record.back() == '\r') << "torn record: " << record;
        ASSERT_EQ(record.substr(28) + "\n", expected_log.substr(at, record.size() - 27)) << "record: " << record;
    }
    EXPECT_EQ(at, expected_log.size()) << "records missing at the end";
}
