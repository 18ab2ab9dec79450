#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
#include <fstream>
#include <iterator>

#include <QDateTime>

#include "window/control_table.h"
#include "window/measurement_log.h"
#include "window/reading_text.h"
#include "window_fixture.h"

namespace {

std::string read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const char* class_for(window::Kind kind)
{
    switch (kind) {
    case window::Kind::group_box:
        return "QGroupBox";
    case window::Kind::label:
        return "QLabel";
    case window::Kind::option_button:
        return "QRadioButton";
    case window::Kind::check_box:
        return "QCheckBox";
    default:
        return nullptr;
    }
}

}  // namespace

// --- The controls --------------------------------------------------------------

TEST_F(WindowTest, ControlsFollowTheTableInNameKindContainerCaptionAndState)
{
    const auto controls = window->settings_controls();
    ASSERT_EQ(controls.size(), window::control_table.size());
    for (std::size_t i = 0; i < window::control_table.size(); ++i) {
        const auto& spec = window::control_table[i];
        SCOPED_TRACE(std::string(spec.name));
        EXPECT_EQ(controls[i]->name(), spec.name);  // window order
        QWidget* widget = window->control(spec.name);
        if (class_for(spec.kind) == nullptr) {
            EXPECT_EQ(widget, nullptr);
            EXPECT_FALSE(controls[i]->has_caption());
            continue;
        }
        ASSERT_NE(widget, nullptr);
        EXPECT_TRUE(widget->inherits(class_for(spec.kind)));
        EXPECT_EQ(widget->objectName().toStdString(), spec.name);
        const QWidget* container = widget->parentWidget();
        EXPECT_EQ(container == window.get() ? std::string() : container->objectName().toStdString(), spec.container);
        EXPECT_EQ(controls[i]->caption(), spec.caption);
        const bool on = (spec.flags & window::selected) != 0;
        if (auto* option = qobject_cast<QRadioButton*>(widget)) {
            EXPECT_EQ(option->isChecked(), on);
        }
        if (auto* check = qobject_cast<QCheckBox*>(widget)) {
            EXPECT_EQ(check->checkState(), Qt::Unchecked);
        }
        if ((spec.flags & window::big_bold) != 0) {
            EXPECT_TRUE(widget->font().bold());
            EXPECT_DOUBLE_EQ(widget->font().pointSizeF(), 13.5);
        }
    }
    EXPECT_TRUE(window->Timer1().isActive());
    EXPECT_EQ(window->Timer1().interval(), 1000);
    EXPECT_FALSE(window->MSComm1().PortOpen());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Quelvane"));
    EXPECT_EQ(window->size(), QSize(581, 167));
}

TEST_F(WindowTest, TabOrderFollowsTheTabIndicesNotTheWindowOrder)
{
    const char* expected[] = {"option_com2", "option_com3",  "option_com4",   "option_com1",  "option_single", "option_double",
                              "option_1_sec", "option_5_sec", "option_30_sec", "option_1_min", "check_log_to_file"};
    QWidget* widget = window->control(expected[0]);
    for (const char* name : expected) {
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->objectName().toStdString(), name);
        do {
            widget = widget->nextInFocusChain();
        } while (widget != nullptr && widget->focusPolicy() == Qt::NoFocus);
    }
}

TEST_F(WindowTest, OptionButtonsAreExclusiveWithinTheirGroupOnlyAndCanAllBeCleared)
{
    auto* com3 = control<QRadioButton>("option_com3");
    com3->click();
    EXPECT_TRUE(com3->isChecked());
    EXPECT_FALSE(control<QRadioButton>("option_com1")->isChecked());
    EXPECT_TRUE(control<QRadioButton>("option_1_sec")->isChecked());  // other group untouched
    EXPECT_TRUE(control<QRadioButton>("option_single")->isChecked());
    com3->click();  // a click never clears
    EXPECT_TRUE(com3->isChecked());
    com3->setChecked(false);
    for (const char* name : {"option_com1", "option_com2", "option_com3", "option_com4"}) {
        EXPECT_FALSE(control<QRadioButton>(name)->isChecked()) << name;
    }
}

TEST_F(WindowTest, CheckBoxShowsGreyedButClicksOnlyToggle)
{
    auto* check = control<QCheckBox>("check_log_to_file");
    check->setCheckState(Qt::PartiallyChecked);
    EXPECT_EQ(check->checkState(), Qt::PartiallyChecked);
    check->click();
    EXPECT_EQ(check->checkState(), Qt::Checked);
    check->click();
    EXPECT_EQ(check->checkState(), Qt::Unchecked);
}

// --- Reading texts -------------------------------------------------------------

TEST(ReadingText, FollowsTheOneDecimalRuleInTheUsersLocale)
{
    struct Case {
        QLocale::Language language;
        double celsius;
        const char* expected;
    };
    const Case cases[] = {
        {QLocale::French, 21.5, "21,5°C"},     {QLocale::French, -3, "-3,0°C"},
        {QLocale::French, 0.5, "0,5°C"},       {QLocale::French, 127.99609375, "128,0°C"},
        {QLocale::French, -25, "-25,0°C"},     {QLocale::French, -0.00390625, "0,0°C"},
        {QLocale::French, -0.04, "0,0°C"},     {QLocale::French, -128, "-128,0°C"},
        {QLocale::C, 21.5, "21.5°C"},          {QLocale::C, -0.5, "-0.5°C"},
        {QLocale::German, 1234.5, "1234,5°C"},  // never a group separator
    };
    for (const auto& c : cases) {
        QLocale::setDefault(QLocale(c.language));
        EXPECT_EQ(window::reading_text(c.celsius).toStdString(), c.expected) << c.celsius;
    }
    QLocale::setDefault(QLocale::c());
}

// --- The tick ------------------------------------------------------------------

TEST_F(WindowTest, SingleSensorTickShowsIndoorAndTitlesWithIt)
{
    window->Timer1_Timer();
    EXPECT_EQ(control<QLabel>("label_temperature_indoor")->text(), QStringLiteral("21,5°C"));
    EXPECT_EQ(control<QLabel>("label_temperature_outside")->text(), QStringLiteral("--.-°C"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("21,5°C"));
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(window->MSComm1().PortOpen());
    EXPECT_EQ(board->addresses(), (std::vector<std::uint8_t>{0x90, 0x90, 0x90, 0x91}));
}

TEST_F(WindowTest, TwoSensorTickShowsBothAndJoinsThemInTheTitle)
{
    control<QRadioButton>("option_double")->click();
    board->set_temperature(1, -25);
    window->Timer1_Timer();
    EXPECT_EQ(control<QLabel>("label_temperature_outside")->text(), QStringLiteral("-25,0°C"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("21,5°C    (  -25,0°C )"));

    QLocale::setDefault(QLocale::c());
    window->Timer1_Timer();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("21.5°C    (  -25.0°C )"));
}

TEST_F(WindowTest, FailedReadingsAreReportedInOrderStopTheTimerAndStillLog)
{
    struct Case {
        bool indoor_present, outdoor_present;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {false, true, {"Lecture du capteur 1 impossible"}},
        {true, false, {"Lecture du capteur 2 impossible"}},
        {false, false, {"Lecture du capteur 1 impossible", "Lecture du capteur 2 impossible"}},
    };
    control<QRadioButton>("option_double")->click();
    control<QCheckBox>("check_log_to_file")->click();
    int records = 0;
    for (const auto& c : cases) {
        boxes.clear();
        window->Timer1().start();
        board->set_present(0, c.indoor_present);
        board->set_present(1, c.outdoor_present);
        // The timer is stopped only once the user has closed the box.
        bool active_while_open = false;
        while_box_open = [&] {
            if (boxes.size() == 1) {
                active_while_open = window->Timer1().isActive();
            }
        };
        window->Timer1_Timer();
        ++records;

        ASSERT_EQ(boxes.size(), c.messages.size());
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            EXPECT_EQ(boxes[i].title, "Erreur");
            EXPECT_EQ(boxes[i].text, c.messages[i]);
        }
        EXPECT_TRUE(active_while_open);
        EXPECT_FALSE(window->Timer1().isActive());
        EXPECT_EQ(control<QLabel>("label_temperature_indoor")->text(),
                  c.indoor_present ? QStringLiteral("21,5°C") : QStringLiteral("--.-°C"));
        EXPECT_EQ(control<QLabel>("label_temperature_outside")->text(),
                  c.outdoor_present ? QStringLiteral("8,0°C") : QStringLiteral("--.-°C"));
    }
    const std::string log = read_file("Quelvane.txt");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), records);
    EXPECT_NE(log.find("--.-\xB0" "C        --.-\xB0" "C\r\n"), std::string::npos);
}

TEST_F(WindowTest, APortThatCannotBeOpenedIsAFailedReading)
{
    board->set_open_error(EBUSY);
    window->Timer1_Timer();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Lecture du capteur 1 impossible");
    EXPECT_FALSE(window->Timer1().isActive());
    EXPECT_FALSE(window->MSComm1().PortOpen());
}

TEST_F(WindowTest, NoTickRunsWhileABoxIsOpen)
{
    board->set_present(0, false);
    long writes_during_box = -1;
    while_box_open = [&] {
        const long before = board->counters().line_writes;
        window->Timer1_Timer();  // a tick falling due behind the modal box
        writes_during_box = board->counters().line_writes - before;
    };
    window->Timer1_Timer();
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(writes_during_box, 0);
}

// --- The log -------------------------------------------------------------------

TEST(MeasurementLog, RecordHasPaddedColumnsOutdoorFirstCp1252AndCrLf)
{
    const QDateTime when(QDate(2026, 3, 4), QTime(15, 6, 7));
    EXPECT_EQ(window::log_record(when, QStringLiteral("8,0°C"), QStringLiteral("21,5°C")),
              "03-04-2026    15:06:07      8,0\xB0" "C         21,5\xB0" "C\r\n");
    EXPECT_EQ(window::log_record(when, QStringLiteral("--.-°C"), QStringLiteral("-25,0°C")),
              "03-04-2026    15:06:07      --.-\xB0" "C        -25,0\xB0" "C\r\n");
}

TEST_F(WindowTest, LoggingAppendsWhileCheckedAndResumesOnTheSameFile)
{
    auto* check = control<QCheckBox>("check_log_to_file");
    window->Timer1_Timer();
    EXPECT_FALSE(std::filesystem::exists("Quelvane.txt"));  // unchecked: no file at all

    check->click();
    window->Timer1_Timer();
    window->Timer1_Timer();
    check->click();
    window->Timer1_Timer();
    check->click();
    board->set_temperature(0, 22);
    window->Timer1_Timer();

    const std::string log = read_file("Quelvane.txt");
    constexpr std::size_t record_size = 3 * 14 + 6 + 2;  // "21,5°C" last, then CR LF
    ASSERT_EQ(log.size(), 3 * record_size);
    for (std::size_t at = 0; at < log.size(); at += record_size) {
        const std::string record = log.substr(at, record_size);
        EXPECT_EQ(record[2], '-');
        EXPECT_EQ(record[5], '-');
        EXPECT_EQ(record.substr(14 + 2, 1), ":");
        EXPECT_EQ(record.substr(28, 14), "--.-\xB0" "C        ");  // single sensor: no outdoor reading
        EXPECT_EQ(record.substr(record_size - 2), "\r\n");
    }
    EXPECT_EQ(log.substr(2 * record_size + 42, 6), "22,0\xB0" "C");
}

TEST_F(WindowTest, AnUnwritableLogIsToldOnceUntilARecordIsWrittenAgain)
{
    control<QCheckBox>("check_log_to_file")->click();
    std::filesystem::create_directory("Quelvane.txt");  // cannot be opened for writing, even by root
    window->Timer1_Timer();
    window->Timer1_Timer();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Erreur");
    EXPECT_EQ(boxes[0].text, "Impossible d'écrire dans le fichier Quelvane.txt");
    EXPECT_TRUE(window->Timer1().isActive());  // the tick goes on
    EXPECT_EQ(window->windowTitle(), QStringLiteral("21,5°C"));

    std::filesystem::remove("Quelvane.txt");
    window->Timer1_Timer();
    EXPECT_EQ(read_file("Quelvane.txt").size(), 50u);
    std::filesystem::remove("Quelvane.txt");
    std::filesystem::create_directory("Quelvane.txt");
    window->Timer1_Timer();
    EXPECT_EQ(boxes.size(), 2u);
}
