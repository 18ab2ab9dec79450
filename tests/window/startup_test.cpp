#include <QCheckBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QRadioButton>
#include <fstream>
#include <iterator>

#include "settings/ini.h"
#include "window_fixture.h"

namespace {

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A settings file as a previous run would leave it, with some values changed.
std::string settings_with(const std::string& extra)
{
    return "[CT]\r\nFileId=quelv\r\n" + extra;
}

void press_key(QWidget* widget, int key)
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &press);
}

}  // namespace

class StartupTest : public WindowTest {};

TEST_F(StartupTest, WithoutASettingsFileRunsOnDefaultsSaysSoAndWritesAFileAtExit)
{
    window->Form_Load();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Erreur");
    EXPECT_EQ(boxes[0].text, "Fichier de départ introuvable\n" + dir_.string() +
                                 "/Quelvane.INI\n\nUtilisation des valeurs par défaut");
    EXPECT_TRUE(window->Timer1().isActive());
    EXPECT_EQ(window->Timer1().interval(), 1000);
    EXPECT_EQ(window->MSComm1().CommPort(), 1);
    EXPECT_FALSE(window->MSComm1().PortOpen());  // opened by the first reading only

    window->close();
    const std::string file = read_file("Quelvane.INI");
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 34);  // section header and 33 keys
    EXPECT_NE(file.find("FileId=quelv\r\n"), std::string::npos);
    EXPECT_EQ(board->counters().opens, 0);
}

TEST_F(StartupTest, AValidFileRestoresOptionsCaptionsAndLastReadings)
{
    write_file("Quelvane.INI", settings_with("frm_quelvaner.option_com1.value=0\r\n"
                                             "frm_quelvaner.option_com3.value=1\r\n"
                                             "frm_quelvaner.option_1_sec.value=0\r\n"
                                             "frm_quelvaner.option_30_sec.value=1\r\n"
                                             "frm_quelvaner.option_double.value=1\r\n"
                                             "frm_quelvaner.option_single.value=0\r\n"
                                             "frm_quelvaner.check_log_to_file.value=1\r\n"
                                             "frm_quelvaner.Label1.caption=Salon\r\n"
                                             "frm_quelvaner.label_temperature_indoor.caption=19,5\xB0" "C\r\n"));
    window->Form_Load();
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(window->MSComm1().CommPort(), 3);
    EXPECT_EQ(window->Timer1().interval(), 30000);
    EXPECT_TRUE(window->Timer1().isActive());
    EXPECT_TRUE(control<QCheckBox>("check_log_to_file")->isChecked());
    EXPECT_EQ(control<QLabel>("Label1")->text(), QStringLiteral("Salon"));
    EXPECT_EQ(control<QLabel>("label_temperature_indoor")->text(), QStringLiteral("19,5°C"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Quelvane"));  // the title is never stored

    window->Timer1_Timer();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("21,5°C    (  8,0°C )"));
}

TEST_F(StartupTest, ClearedOptionGroupsFallBackToNoTimerOnPortOneAndOneSecond)
{
    write_file("Quelvane.INI", settings_with("frm_quelvaner.option_com1.value=0\r\n"
                                             "frm_quelvaner.option_1_sec.value=0\r\n"));
    window->Form_Load();
    EXPECT_FALSE(window->Timer1().isActive());
    EXPECT_EQ(window->MSComm1().CommPort(), 1);
    EXPECT_EQ(window->Timer1().interval(), 1000);

    control<QRadioButton>("option_com4")->click();
    EXPECT_TRUE(window->Timer1().isActive());
    EXPECT_EQ(window->MSComm1().CommPort(), 4);
}

TEST_F(StartupTest, ClosingBeforeTheFirstTickOpensNothingAndStillSaves)
{
    write_file("Quelvane.INI", settings_with("frm_quelvaner.option_5_sec.value=1\r\n"));
    window->Form_Load();
    window->close();
    EXPECT_EQ(board->counters().opens, 0);
    EXPECT_EQ(board->counters().line_writes, 0);
    const std::string file = read_file("Quelvane.INI");
    EXPECT_NE(file.find("frm_quelvaner.option_5_sec.value=1\r\n"), std::string::npos);
    EXPECT_NE(file.find("frm_quelvaner.option_1_sec.value=0\r\n"), std::string::npos);
}

TEST_F(StartupTest, ClosingClosesTheOpenPortBeforeSaving)
{
    window->Form_Load();
    window->Timer1_Timer();
    ASSERT_TRUE(window->MSComm1().PortOpen());
    window->close();
    EXPECT_FALSE(window->MSComm1().PortOpen());
    EXPECT_NE(read_file("Quelvane.INI").find("label_temperature_indoor.caption=21,5\xB0" "C"), std::string::npos);
}

TEST_F(StartupTest, ChoosingAnotherPortClosesTheOpenOneAndTouchesNoLineUntilTheNextTick)
{
    window->Form_Load();
    window->Timer1_Timer();
    ASSERT_TRUE(window->MSComm1().PortOpen());
    const long writes = board->counters().line_writes;

    control<QRadioButton>("option_com2")->click();
    EXPECT_FALSE(window->MSComm1().PortOpen());
    EXPECT_EQ(window->MSComm1().CommPort(), 2);
    EXPECT_EQ(board->counters().line_writes, writes);

    window->Timer1_Timer();
    EXPECT_TRUE(window->MSComm1().PortOpen());
    EXPECT_EQ(board->counters().opens, 2);
}

TEST_F(StartupTest, APortChoiceByClickOrKeyRestartsAStoppedTimerButAnIntervalChoiceDoesNot)
{
    window->Form_Load();
    const auto fail_once = [this] {
        board->set_present(0, false);
        window->Timer1_Timer();
        board->set_present(0, true);
        ASSERT_FALSE(window->Timer1().isActive());
    };

    fail_once();
    control<QRadioButton>("option_5_sec")->click();
    EXPECT_EQ(window->Timer1().interval(), 5000);  // at once...
    EXPECT_FALSE(window->Timer1().isActive());     // ...but the timer stays stopped
    press_key(control<QRadioButton>("option_1_min"), Qt::Key_A);
    EXPECT_EQ(window->Timer1().interval(), 5000);  // a key re-applies the selection, it does not select
    control<QRadioButton>("option_1_min")->click();
    EXPECT_EQ(window->Timer1().interval(), 60000);
    EXPECT_FALSE(window->Timer1().isActive());

    control<QRadioButton>("option_com1")->click();
    EXPECT_TRUE(window->Timer1().isActive());

    fail_once();
    press_key(control<QRadioButton>("option_com3"), Qt::Key_Z);  // any key, on any port option
    EXPECT_TRUE(window->Timer1().isActive());
    EXPECT_EQ(window->MSComm1().CommPort(), 1);
}
