#include "window/controls.h"

#include <QGroupBox>
#include <QLabel>
#include <cmath>

namespace window {

OptionButton::OptionButton(QWidget* parent) : QRadioButton(parent)
{
    // Qt's own exclusivity refuses to clear the last selected button of a
    // group, which the settings file may ask for.
    setAutoExclusive(false);
    connect(this, &QAbstractButton::toggled, this, [this](bool on) {
        if (on) {
            clear_siblings();
        }
    });
}

void OptionButton::nextCheckState() { setChecked(true); }

void OptionButton::clear_siblings()
{
    if (parentWidget() == nullptr) {
        return;
    }
    for (auto* sibling : parentWidget()->findChildren<OptionButton*>(Qt::FindDirectChildrenOnly)) {
        if (sibling != this) {
            sibling->setChecked(false);
        }
    }
}

CheckBox::CheckBox(QWidget* parent) : QCheckBox(parent) { setTristate(true); }

void CheckBox::nextCheckState() { setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked); }

namespace {

}  // namespace

// The layout was drawn for this face at 8 points; where it is missing, the
// default sans-serif family takes its place at the same size.
QFont window_font()
{
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Sans Serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8);
    return font;
}

namespace {

QFont reading_font(const QFont& base)
{
    QFont font = base;
    font.setPointSizeF(13.5);
    font.setWeight(QFont::Bold);
    return font;
}

QString caption_of(const ControlRow& row)
{
    return QString::fromUtf8(row.caption.data(), static_cast<qsizetype>(row.caption.size()));
}

class WidgetControl final : public ini::PersistentControl {
public:
    WidgetControl(const ControlRow& row, QWidget* widget) : row_(row), widget_(widget) {}

    std::string name() const override { return std::string(row_.name); }
    bool has_caption() const override { return window::has_caption(row_.kind) && widget_ != nullptr; }

    std::string caption() const override
    {
        if (auto* box = qobject_cast<QGroupBox*>(widget_)) {
            return box->title().toStdString();
        }
        if (auto* label = qobject_cast<QLabel*>(widget_)) {
            return label->text().toStdString();
        }
        if (auto* button = qobject_cast<QAbstractButton*>(widget_)) {
            return button->text().toStdString();
        }
        throw std::logic_error("no caption");
    }

    void set_caption(const std::string& caption) override
    {
        const QString text = QString::fromStdString(caption);
        if (auto* box = qobject_cast<QGroupBox*>(widget_)) {
            box->setTitle(text);
        } else if (auto* label = qobject_cast<QLabel*>(widget_)) {
            label->setText(text);
        } else if (auto* button = qobject_cast<QAbstractButton*>(widget_)) {
            button->setText(text);
        } else {
            throw std::logic_error("no caption");
        }
    }

    ValueKind value_kind() const override
    {
        return window::has_value(row_.kind) && widget_ != nullptr ? ValueKind::switch_state : ValueKind::none;
    }

    double value() const override
    {
        if (auto* check = qobject_cast<QCheckBox*>(widget_)) {
            switch (check->checkState()) {
            case Qt::Unchecked:
                return 0;
            case Qt::Checked:
                return 1;
            case Qt::PartiallyChecked:
                return 2;  // greyed
            }
        }
        if (auto* option = qobject_cast<QRadioButton*>(widget_)) {
            return option->isChecked() ? 1 : 0;
        }
        throw std::logic_error("no value");
    }

    void set_value(double value) override
    {
        if (auto* check = qobject_cast<QCheckBox*>(widget_)) {
            if (value == 0) {
                check->setCheckState(Qt::Unchecked);
            } else if (value == 1) {
                check->setCheckState(Qt::Checked);
            } else if (value == 2) {
                check->setCheckState(Qt::PartiallyChecked);
            }
            return;
        }
        if (auto* option = qobject_cast<QRadioButton*>(widget_)) {
            option->setChecked(value != 0);
            return;
        }
        throw std::logic_error("no value");
    }

private:
    const ControlRow& row_;
    QWidget* widget_;
};

}  // namespace

QWidget* create_widget(const ControlRow& row, QWidget* container)
{
    QWidget* widget = nullptr;
    switch (row.kind) {
    case Kind::group_box:
        widget = new QGroupBox(caption_of(row), container);
        break;
    case Kind::label: {
        auto* label = new QLabel(caption_of(row), container);
        // Captions can come from a hand-edited file: never read them as markup.
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);  // the layout's two-line labels
        if ((row.flags & centred) != 0) {
            label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        }
        widget = label;
        break;
    }
    case Kind::option_button: {
        auto* option = new OptionButton(container);
        option->setText(caption_of(row));
        option->setChecked((row.flags & selected) != 0);
        widget = option;
        break;
    }
    case Kind::check_box: {
        auto* check = new CheckBox(container);
        check->setText(caption_of(row));
        check->setCheckState((row.flags & selected) != 0 ? Qt::Checked : Qt::Unchecked);
        widget = check;
        break;
    }
    case Kind::timer:
    case Kind::serial_control:
        return nullptr;
    }
    widget->setObjectName(QString::fromUtf8(row.name.data(), static_cast<qsizetype>(row.name.size())));
    widget->setGeometry(row.left / twips_per_pixel, row.top / twips_per_pixel, row.width / twips_per_pixel,
                        row.height / twips_per_pixel);
    if ((row.flags & big_bold) != 0) {
        widget->setFont(reading_font(widget->font()));
    }
    return widget;
}

std::unique_ptr<ini::PersistentControl> persistent_control(const ControlRow& row, QWidget* widget)
{
    return std::make_unique<WidgetControl>(row, widget);
}

}  // namespace window
