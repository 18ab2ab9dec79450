#include "settings/control_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <unistd.h>
#include <vector>

#include "settings/ini.h"
#include "temp_dir.h"
#include "window/control_table.h"

namespace {

using settings_test::read_bytes;
using settings_test::write_bytes;

// A control as the window makes it: option buttons are exclusive within
// their group box, a check box takes 0, 1 or 2 and ignores anything else.
struct FakeControl : ini::PersistentControl {
    FakeControl(const window::ControlSpec& r, std::vector<std::unique_ptr<FakeControl>>& all)
        : row(r), siblings(all), text(r.caption), state(r.flags & window::selected ? 1 : 0) {}

    std::string name() const override { return std::string(row.name); }
    bool has_caption() const override { return window::has_caption(row.kind); }
    std::string caption() const override { return caption_throws ? throw std::runtime_error("caption") : text; }
    void set_caption(const std::string& caption) override { text = caption; }
    ValueKind value_kind() const override
    {
        return window::has_value(row.kind) ? ValueKind::switch_state : ValueKind::none;
    }
    double value() const override { return state; }
    void set_value(double value) override
    {
        if (row.kind == window::Kind::check_box) {
            state = value == 0 || value == 1 || value == 2 ? static_cast<int>(value) : state;
            return;
        }
        for (auto& other : siblings) {
            if (value != 0 && other->row.kind == row.kind && other->row.container == row.container) other->state = 0;
        }
        state = value != 0;
    }

    const window::ControlSpec& row;
    std::vector<std::unique_ptr<FakeControl>>& siblings;
    std::string text;
    int state;
    bool caption_throws = false;
};

class ControlState : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(::chdir(dir.path().c_str()), 0);
        ini::set_message_box([this](const std::string& text, const std::string& title) {
            messages.push_back(title + "|" + text);
        });
        start_again();
    }
    void TearDown() override
    {
        ini::set_message_box(nullptr);
        ASSERT_EQ(::chdir(old_cwd.c_str()), 0);
    }
    // Controls in their design-time state, no settings file, nothing reported.
    void start_again()
    {
        controls.clear();
        list.clear();
        for (const auto& row : window::control_table) {
            list.push_back(controls.emplace_back(std::make_unique<FakeControl>(row, controls)).get());
        }
        std::filesystem::remove(path());
        messages.clear();
        ini::detail::reset_unreadable_report();
    }
    void load_with(const std::string& lines)
    {
        write_bytes(path(), "[CT]\r\nFileId=quelv\r\n" + lines);
        ini::load_settings(list);
    }
    FakeControl& control(std::string_view name)
    {
        return **std::find_if(controls.begin(), controls.end(), [&](auto& c) { return c->row.name == name; });
    }
    std::vector<int> values() const
    {
        std::vector<int> v;
        for (const auto& c : controls) v.push_back(c->state);
        return v;
    }
    std::string path() const { return dir.file("Quelvane.INI"); }
    std::string refusal() const
    {
        return "Erreur|Fichier de départ introuvable\r" + path() + "\r\rUtilisation des valeurs par défaut";
    }

    std::string old_cwd = std::filesystem::current_path().string();
    settings_test::TempDir dir;
    std::vector<std::string> messages;
    std::vector<std::unique_ptr<FakeControl>> controls;
    std::vector<ini::PersistentControl*> list;
};

TEST_F(ControlState, DesignTimeSaveWritesThe33LinesAndAgainTheSame)
{
    const char* const keys[] = {
        "Frame4.caption=", "check_log_to_file.caption=Enregistrement", "check_log_to_file.value=0",
        "Label4.caption=Capteur 2", "Label1.caption=Capteur 1", "label_temperature_outside.caption=--.-",
        "label_temperature_indoor.caption=--.-", "Frame3.caption=Intervalle de mesure",
        "option_1_min.caption=1 min.", "option_1_min.value=0", "option_30_sec.caption=30 sec.",
        "option_30_sec.value=0", "option_5_sec.caption=5 sec.", "option_5_sec.value=0",
        "option_1_sec.caption=1 sec.", "option_1_sec.value=1", "Frame2.caption=Nb de capteurs",
        "option_double.caption=", "option_double.value=0", "option_single.caption=", "option_single.value=1",
        "Label3.caption=Capteurs 1 et 2 (IC2 et IC3)", "Label2.caption=Capteur 1 seul (IC2)",
        "Frame1.caption=Port s\xE9rie :", "option_com1.caption=Com 1", "option_com1.value=1",
        "option_com4.caption=Com4", "option_com4.value=0", "option_com3.caption=Com3", "option_com3.value=0",
        "option_com2.caption=Com2", "option_com2.value=0",
    };
    static_assert(std::size(keys) == 32);
    std::string expected = "[CT]\r\nFileId=quelv\r\n";
    for (const char* key : keys) expected += "frm_quelvaner." + std::string(key) + "\r\n";

    ini::load_settings(list);  // no file yet: only sets the directory
    EXPECT_EQ(messages, std::vector<std::string>{refusal()});
    ini::save_settings(list);
    EXPECT_EQ(read_bytes(path()), expected);
    ini::save_settings(list);
    EXPECT_EQ(read_bytes(path()), expected);
    EXPECT_EQ(dir.entries(), std::set<std::string>{"Quelvane.INI"});
}

TEST_F(ControlState, HandEditedCaptions)
{
    const std::vector<int> design = values();
    load_with("frm_quelvaner.Label1.caption=Salon\r\nfrm_quelvaner.Label4.caption=S\xE9jour\r\n"
              "FRM_QUELVANER.LABEL2.CAPTION = Séjour \r\nfrm_quelvaner.Label3.caption=" + std::string(200, 'x'));
    EXPECT_EQ(control("Label1").caption(), "Salon");
    EXPECT_EQ(control("Label4").caption(), "Séjour");
    EXPECT_EQ(control("Label2").caption(), "Séjour");
    EXPECT_EQ(control("Label3").caption(), std::string(127, 'x'));
    EXPECT_EQ(control("Frame1").caption(), "Port série :");  // missing keys leave the design
    EXPECT_EQ(values(), design);
    EXPECT_TRUE(messages.empty());
}

TEST_F(ControlState, StoredSwitchStates)
{
    const struct {
        std::string lines;
        std::vector<std::pair<const char*, int>> expected;
    } cases[] = {
        // The later in window order wins.
        {"option_com1.value=1\nfrm_quelvaner.option_com2.value=1", {{"option_com1", 0}, {"option_com2", 1}}},
        {"option_com1.value=0\nfrm_quelvaner.option_com2.value=0\nfrm_quelvaner.option_com3.value=0\n"
         "frm_quelvaner.option_com4.value=0",
         {{"option_com1", 0}, {"option_com2", 0}, {"option_1_sec", 1}}},
        {"option_com4.value= 1", {{"option_com4", 1}, {"option_com1", 0}}},
        {"option_com4.value=1abc", {{"option_com4", 1}}},
        {"option_com1.value=abc", {{"option_com1", 0}}},
        {"check_log_to_file.value=2", {{"check_log_to_file", 2}}},
        {"check_log_to_file.value=7", {{"check_log_to_file", 0}}},
    };
    for (const auto& c : cases) {
        start_again();
        load_with("frm_quelvaner." + c.lines + "\n");
        for (const auto& [name, value] : c.expected) EXPECT_EQ(control(name).value(), value) << c.lines << name;
    }
}

TEST_F(ControlState, SignatureDecidesWhetherTheFileIsUsed)
{
    for (const auto& [signature, accepted] : std::vector<std::pair<std::string, bool>>{
             {"quelv", true}, {"quelvXYZ", true}, {"Quelv", false}, {"quel", false}, {"", false}, {"None", false}}) {
        start_again();
        const std::vector<int> design = values();
        write_bytes(path(), "[CT]\nFileId=" + signature + "\nfrm_quelvaner.Label1.caption=Salon\n"
                            "frm_quelvaner.option_com3.value=1\n");
        ini::load_settings(list);
        EXPECT_EQ(control("Label1").caption(), accepted ? "Salon" : "Capteur 1") << signature;
        EXPECT_TRUE(accepted || values() == design) << signature;
        EXPECT_EQ(messages, accepted ? std::vector<std::string>{} : std::vector{refusal()}) << signature;
    }
}

TEST_F(ControlState, UnreadableFileIsReportedOncePerRun)
{
    ASSERT_EQ(::mkdir(path().c_str(), 0755), 0);
    ini::load_settings(list);
    ini::load_settings(list);
    EXPECT_EQ(messages, (std::vector<std::string>{"|Fichier INI invalide ou absent", refusal(), refusal()}));
}

TEST_F(ControlState, FailingPropertyIsPassedOverAndGreyedIsSavedAsChecked)
{
    control("option_com1").caption_throws = true;
    load_with("frm_quelvaner.option_com1.value=0\nfrm_quelvaner.option_com2.caption=Deux\n");
    EXPECT_EQ(control("option_com1").value(), 0);
    EXPECT_EQ(control("option_com2").caption(), "Deux");
    control("check_log_to_file").state = 2;
    ini::save_settings(list);
    EXPECT_EQ(ini::read_ini("frm_quelvaner.check_log_to_file.value", "absent"), "1");
    EXPECT_EQ(ini::read_ini("frm_quelvaner.option_com1.caption", "absent"), "absent");
}

TEST(LeadingNumber, ReadsTheNumberTheTextStartsWith)
{
    const struct {
        const char* text;
        double value;
    } cases[] = {
        {" \t12", 12}, {"", 0},     {"-0", 0},      {"+2.5x", 2.5}, {"-.5", -0.5}, {"3.", 3},   {".", 0},
        {"1e3", 1000}, {"1e", 1},   {"2E-1", 0.2},  {"1,5", 1},     {"inf", 0},    {"0x10", 0}, {"- 1", 0},
        {"1e-999", 0}, {"1e999", HUGE_VAL},
    };
    for (const auto& c : cases) EXPECT_EQ(ini::leading_number(c.text), c.value) << c.text;
    for (const double value : {0.1, -2.5, 1e20}) EXPECT_EQ(ini::leading_number(ini::number_text(value)), value);
}

}  // namespace
