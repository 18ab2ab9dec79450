#include "settings/control_state.h"

#include <gtest/gtest.h>

#include "text/cp1252.h"
#include "settings/ini.h"
#include "settings/profile_file.h"
#include "settings/saved_choices.h"
#include "table_controls.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::string_literals;

struct ControlState : ::testing::Test {
    ControlState()
    {
        std::filesystem::current_path(dir.path());
        ini::set_message_box([this](auto& text, auto& title) { messages.push_back(title + "|" + text); });
    }
    ~ControlState() override { ini::set_message_box(nullptr); std::filesystem::current_path(old_cwd); }
    std::string old_cwd = std::filesystem::current_path();
    testsupport::TempDir dir;
    std::vector<std::string> messages;
    testsupport::ControlStates state;
    testsupport::TableControls controls{state};
    std::vector<ini::PersistentControl*>& list = controls.list;
};

// The 33 lines a save in the design-time state writes, in order.
std::vector<std::string> design_lines()
{
    std::vector<std::string> lines{"FileId=quelv"};
    for (const char* key :
         {"Frame4.caption=", "check_log_to_file.caption=Enregistrement", "check_log_to_file.value=0",
          "Label4.caption=Capteur 2", "Label1.caption=Capteur 1", "label_temperature_outside.caption=--.-",
          "label_temperature_indoor.caption=--.-", "Frame3.caption=Intervalle de mesure", "option_1_min.caption=1 min.",
          "option_1_min.value=0", "option_30_sec.caption=30 sec.", "option_30_sec.value=0",
          "option_5_sec.caption=5 sec.", "option_5_sec.value=0", "option_1_sec.caption=1 sec.", "option_1_sec.value=1",
          "Frame2.caption=Nb de capteurs", "option_double.caption=", "option_double.value=0", "option_single.caption=",
          "option_single.value=1", "Label3.caption=Capteurs 1 et 2 (IC2 et IC3)",
          "Label2.caption=Capteur 1 seul (IC2)", "Frame1.caption=Port série :", "option_com1.caption=Com 1",
          "option_com1.value=1", "option_com4.caption=Com4", "option_com4.value=0", "option_com3.caption=Com3",
          "option_com3.value=0", "option_com2.caption=Com2", "option_com2.value=0"})
        lines.push_back(ini::control_key_prefix + std::string(key));
    return lines;
}

// A save is one replacement of the file (one temporary synced, one rename,
// the directory synced), and none when nothing changed. In the design-time
// state it writes the 33 keys in order; in any state its bytes are those
// that writing its keys one by one gives, from no file, a hand-edited file or
// one with its section twice.
TEST_F(ControlState, ASaveIsOneReplacementWithTheBytesOfItsKeysWrittenOneByOne)
{
    int renames = 0, syncs = 0;
    profile::FileCalls calls = profile::FileCalls::posix();
    calls.rename = [&](const char* from, const char* to) { return ++renames, ::rename(from, to); };
    calls.fsync = [&](int fd) { return ++syncs, ::fsync(fd); };
    ini::detail::set_file_calls(&calls);
    ini::set_ini_dir(dir.path());
    std::string design = "[CT]\r\n";
    for (const std::string& line : design_lines()) design += text::utf8_to_cp1252(line) + "\r\n";
    for (const int expected_renames : {1, 0}) {  // the second over the file the first made
        renames = syncs = 0;
        ini::save_settings(list);
        EXPECT_EQ(std::pair(renames, syncs), std::pair(expected_renames, 2 * expected_renames));
        EXPECT_EQ(testsupport::read_bytes(dir.file("Quelvane.INI")), design);
    }

    state["Label1.caption"] = "Séjour Ω", state["option_com2.value"] = "1", state["option_com1.value"] = "0";
    std::vector<ini::KeyValue> keys;
    for (std::string line : design_lines()) {
        const std::string key = line.substr(0, line.find('=')), name = key.substr(key.find('.') + 1);
        keys.emplace_back(key, state.contains(name) ? state.at(name) : line.substr(key.size() + 1));
    }
    for (const std::string& start :
         {""s, "\xEF\xBB\xBF; by hand\n[ports]\nCOM1=/dev/ttyUSB0\n[ct]\nfrm_quelvaner.LABEL1.caption=Séjour Ω\n"
               "frm_quelvaner.option_com1.value=1\n\n; end\n"s,
          "[CT]\r\nFileId=quelv\r\n[X]\r\n[CT]\r\nfrm_quelvaner.Label4.caption=old\r\n"s,
          "[CT]\rFileId=quelv\rfrm_quelvaner.Label4.caption=old\r"s}) {  // an old Mac editor's
        std::string bytes[2];
        for (std::string& result : bytes) {
            std::filesystem::remove(dir.file("Quelvane.INI"));
            if (!start.empty()) testsupport::write_bytes(dir.file("Quelvane.INI"), start);
            renames = syncs = 0;
            if (&result == &bytes[0]) {
                ini::save_settings(list);
                EXPECT_EQ(std::pair(renames, syncs), std::pair(1, 2)) << start;
            } else {
                for (const auto& [key, value] : keys) ini::write_ini(key, value);
            }
            result = testsupport::read_bytes(dir.file("Quelvane.INI"));
        }
        EXPECT_EQ(bytes[0], bytes[1]);
        EXPECT_NE(bytes[0].find("1.caption=Séjour Ω"), std::string::npos) << bytes[0];
        for (const char* key : {"FileId=", "Label4.caption="}) {
            EXPECT_EQ(bytes[0].find(key), bytes[0].rfind(key)) << "one value a key: " << bytes[0];
        }
    }
    ini::detail::set_file_calls(nullptr);
}

// Each row: a file's signature and control keys, and the captions and values
// that then differ from the design (a missing key leaves it). A file that
// changes nothing is refused and the refusal reported. The file's lines end
// in CR LF, or in a lone CR. A save right after the load keeps a caption
// longer than a read gives back whole, and never holds a key twice.
TEST_F(ControlState, LoadTakesWhatTheFileHoldsOverTheDesign)
{
    const std::vector<std::string> salon = {"Label1.caption=Salon", "option_com3.value=1", "check_log_to_file.value=7"};
    const std::string refusal = "Erreur|Fichier de départ introuvable\r" + std::filesystem::current_path().string() +
                                "/Quelvane.INI\r\rUtilisation des valeurs par défaut";
    const auto design = state;
    const std::vector<std::tuple<std::string, std::vector<std::string>, std::map<std::string, std::string>>> cases = {
        {"quelv", {"Label1.caption=S\xE9jour \x80", "Label4.caption=Séjour €", "Label3.caption=" + std::string(200, 'x')},
         {{"Label1.caption", "Séjour €"}, {"Label4.caption", "Séjour €"}, {"Label3.caption", std::string(127, 'x')}}},
        {"quelvXYZ", salon, {{"Label1.caption", "Salon"}, {"option_com3.value", "1"}, {"option_com1.value", "0"}}},
        {"Quelv", salon, {}}, {"quel", salon, {}}, {"", salon, {}},
        {"quelv", {"option_com2.value=1", "option_com1.value=1"}, {{"option_com2.value", "1"}, {"option_com1.value", "0"}}},
        {"quelv", {"option_com1.value=0", "option_com2.value=0", "option_com3.value=0", "option_com4.value=0"},
         {{"option_com1.value", "0"}}},
        {"quelv", {"option_5_sec.value= 1", "option_com4.value=1abc", "option_single.value=abc", "check_log_to_file.value=2"},
         {{"option_5_sec.value", "1"}, {"option_1_sec.value", "0"}, {"option_com4.value", "1"}, {"option_com1.value", "0"},
          {"option_single.value", "0"}, {"check_log_to_file.value", "2"}}},
    };
    const std::string long_caption = "Label3.caption=" + std::string(200, 'x');
    for (const auto& [signature, lines, changed] : cases) {
        for (const std::string eol : {"\r\n", "\r"}) {
            std::string file = "[CT]" + eol + "FileId=" + signature + eol;
            for (const std::string& line : lines) file += ini::control_key_prefix + line + eol;
            testsupport::write_bytes(dir.file("Quelvane.INI"), file);
            state = design;
            ini::load_settings(list);
            ini::save_settings(list);
            const std::string saved = testsupport::read_bytes(dir.file("Quelvane.INI"));
            for (const auto& [key, value] : changed) EXPECT_EQ(std::exchange(state[key], design.at(key)), value) << file;
            EXPECT_EQ(state, design) << file;
            EXPECT_EQ(std::exchange(messages, {}), std::vector<std::string>(changed.empty(), refusal)) << file;
            for (const std::string key : {"FileId=", "Label1.caption=", "option_com1.value="}) {
                EXPECT_EQ(saved.find(key), saved.rfind(key)) << saved;
            }
            EXPECT_EQ(saved.find(long_caption + eol) != std::string::npos, file.find(long_caption) != std::string::npos);
        }
    }
    // A settings file that cannot be read is reported once per run.
    std::filesystem::remove(dir.file("Quelvane.INI"));
    std::filesystem::create_directory(dir.file("Quelvane.INI"));
    ini::detail::reset_reports();
    for (int run = 0; run < 2; ++run) ini::load_settings(list);
    EXPECT_EQ(messages, (std::vector<std::string>{"|Fichier INI invalide ou absent", refusal, refusal}));
}

// The dialog's save of [Ports]: only keys whose value changes are written,
// every other byte stays; a device refused by the port rule, or a file made
// read-only, leaves the file as it was.
TEST_F(ControlState, PortDevicesAreCheckedThenSavedAloneInTheirSection)
{
    ini::set_ini_dir(dir.path());
    const std::string ct = "[CT]\r\nFileId=quelv\r\nfrm_quelvaner.Label1.caption=S\xE9jour\r\n";
    const std::string path = dir.file("Quelvane.INI");
    const std::string original = ct + "[Ports]\r\nCOM2=/dev/ttyUSB1\r\n; hand-written\r\n";
    testsupport::write_bytes(path, original);
    const ini::PortDevice refused[] = {{1, "/dev/ttyUSB0"}, {3, "ttyUSB0"}};
    const auto result = ini::save_port_devices(refused);
    EXPECT_EQ(result.status, profile::WriteStatus::failed);
    EXPECT_EQ(result.reason, "COM3: a port must be an absolute device path under /dev/, such as /dev/ttyUSB0");
    EXPECT_EQ(testsupport::read_bytes(path), original);

    const ini::PortDevice devices[] = {{2, "/dev/ttyUSB1"}, {1, "/dev/serial/by-id/usb-FTDI_A-if00-port0"}};
    EXPECT_EQ(ini::save_port_devices(devices).status, profile::WriteStatus::written);
    const std::string saved =
        ct + "[Ports]\r\nCOM2=/dev/ttyUSB1\r\nCOM1=/dev/serial/by-id/usb-FTDI_A-if00-port0\r\n; hand-written\r\n";
    EXPECT_EQ(testsupport::read_bytes(path), saved);
    EXPECT_EQ(ini::device_for_port(1), "/dev/serial/by-id/usb-FTDI_A-if00-port0");

    using std::filesystem::perms;
    std::filesystem::permissions(path, perms::owner_write | perms::group_write | perms::others_write,
                                 std::filesystem::perm_options::remove);
    const ini::PortDevice another[] = {{4, "/dev/ttyACM0"}};
    EXPECT_EQ(ini::save_port_devices(another).status, profile::WriteStatus::read_only);
    EXPECT_EQ(testsupport::read_bytes(path), saved);
}

}  // namespace
