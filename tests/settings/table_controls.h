// The window's controls as the settings walk sees them, made from its control
// table, each keeping its caption and value in a shared map keyed as in the
// file ("Label1.caption", "option_com1.value"). Selecting an option button
// clears the others of its group box; a check box takes 0, 1 and 2 and
// ignores any other value.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "settings/control_state.h"
#include "settings/control_table.h"

namespace testsupport {

using ControlStates = std::map<std::string, std::string>;

struct TableControl : ini::PersistentControl {
    TableControl(const form::ControlRow& r, ControlStates& s) : row(r), state(s)
    {
        state[name() + ".caption"] = row.caption;
        state[name() + ".value"].assign(1, row.flags & form::selected ? '1' : '0');
    }
    std::string name() const override { return std::string(row.name); }
    bool has_caption() const override { return form::has_caption(row.kind); }
    std::string caption() const override { return state.at(name() + ".caption"); }
    void set_caption(const std::string& caption) override { state[name() + ".caption"] = caption; }
    ValueKind value_kind() const override { return form::has_value(row.kind) ? ValueKind::switch_state : ValueKind::none; }
    double value() const override { return std::stod(state.at(name() + ".value")); }
    void set_value(double v) override
    {
        const bool option = row.kind == form::Kind::option_button;
        for (const auto& other : form::control_table)
            if (option && v != 0 && other.container == row.container) state[std::string(other.name) + ".value"].assign(1, '0');
        if (option || v == 0 || v == 1 || v == 2) state[name() + ".value"] = std::to_string(option ? v != 0 : int(v));
    }
    const form::ControlRow& row;
    ControlStates& state;
};

// Every control of the table in window order, in their design-time state.
struct TableControls {
    explicit TableControls(ControlStates& state)
    {
        for (const auto& row : form::control_table) list.push_back(&controls.emplace_back(row, state));
    }
    TableControls(const TableControls&) = delete;  // list points into controls
    std::deque<TableControl> controls;
    std::vector<ini::PersistentControl*> list;
};

}  // namespace testsupport
