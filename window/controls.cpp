#include "window/controls.h"

#include <QFontMetricsF>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <algorithm>
#include <utility>

namespace window {

using form::ControlRow;
using form::Kind;

OptionButton::OptionButton(QWidget* parent) : QRadioButton(parent)
{
    if (group().size() > 1) {
        setFocusPolicy(Qt::ClickFocus);  // the group has its stop already
    }
    connect(this, &QAbstractButton::toggled, this, [this](bool on) {
        if (on) {
            become_tab_stop();
        }
    });
}

QList<OptionButton*> OptionButton::group() const
{
    if (parentWidget() == nullptr) {
        return {const_cast<OptionButton*>(this)};
    }
    return parentWidget()->findChildren<OptionButton*>(Qt::FindDirectChildrenOnly);
}

void OptionButton::become_tab_stop()
{
    for (OptionButton* option : group()) {
        option->setFocusPolicy(option == this ? Qt::StrongFocus : Qt::ClickFocus);
    }
}

void OptionButton::keyPressEvent(QKeyEvent* event)
{
    int step = 0;
    switch (event->key()) {
    case Qt::Key_Up:
    case Qt::Key_Left:
        step = -1;
        break;
    case Qt::Key_Down:
    case Qt::Key_Right:
        step = 1;
        break;
    default:
        QRadioButton::keyPressEvent(event);
        return;
    }
    if ((event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) != 0) {
        event->ignore();
        return;
    }
    // The options that can take the selection, in reading order: top to
    // bottom, then left to right.
    QList<OptionButton*> options = group();
    options.removeIf([this](const OptionButton* option) {
        return option != this && (!option->isEnabled() || option->isHidden());
    });
    std::sort(options.begin(), options.end(), [](const QWidget* a, const QWidget* b) {
        return std::pair(a->y(), a->x()) < std::pair(b->y(), b->x());
    });
    const qsizetype count = options.size();
    OptionButton* next = options[(options.indexOf(this) + step + count) % count];
    next->setFocus(step < 0 ? Qt::BacktabFocusReason : Qt::TabFocusReason);
    next->click();
}

void set_selected(QAbstractButton& option, bool on)
{
    // The toolkit refuses to clear the selected button of an exclusive group.
    const bool exclusive = option.autoExclusive();
    if (!on) {
        option.setAutoExclusive(false);
    }
    option.setChecked(on);
    option.setAutoExclusive(exclusive);
}

CheckBox::CheckBox(QWidget* parent) : QCheckBox(parent) { setTristate(true); }

void CheckBox::nextCheckState() { setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked); }

namespace {

// Passes a click on a label on to the option it names.
class LabelClick final : public QObject {
public:
    LabelClick(QLabel& label, QAbstractButton& option) : QObject(&label), option_(&option)
    {
        label.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::MouseButtonRelease || option_ == nullptr || !option_->isEnabled()) {
            return false;
        }
        const auto* mouse = static_cast<QMouseEvent*>(event);
        // Released over the label, as a click on a button must be.
        if (mouse->button() != Qt::LeftButton ||
            !static_cast<QWidget*>(watched)->rect().contains(mouse->position().toPoint())) {
            return false;
        }
        option_->setFocus(Qt::MouseFocusReason);
        option_->click();
        return true;
    }

private:
    QPointer<QAbstractButton> option_;
};

}  // namespace

void label_option(QLabel& label, QAbstractButton& option)
{
    // The buddy is the label-for relation: an option without a caption of its
    // own is announced by the label's text, not the group box title.
    label.setBuddy(&option);
    new LabelClick(label, option);
}

bool types_character(const QKeyEvent& event)
{
    if ((event.modifiers() & (Qt::AltModifier | Qt::MetaModifier)) != 0) {
        return false;  // shortcuts
    }
    const int key = event.key();
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Backspace:
    case Qt::Key_Escape:
    case Qt::Key_Space:
        return true;
    default:
        break;
    }
    if ((key >= Qt::Key_A && key <= Qt::Key_Z) || (key >= Qt::Key_0 && key <= Qt::Key_9)) {
        return true;  // also with Ctrl: the control characters
    }
    // Punctuation and accented letters, as the keyboard layout makes them.
    if ((event.modifiers() & Qt::ControlModifier) != 0) {
        return false;
    }
    const QString text = event.text();
    return !text.isEmpty() && text.front().isPrint();
}

QStringList& font_families()
{
    // The design face, then faces drawn to Arial's widths, which come close
    // to it.
    static QStringList families{QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                                QStringLiteral("Liberation Sans"), QStringLiteral("Arimo")};
    return families;
}

namespace {

constexpr double design_points = 8;
constexpr double reading_points = 13.5;

// The layout was drawn for the design face at 8 points, whose letters average
// no more than 6 pixels at 96 dpi (its dialog unit: 4 units to a letter), that
// is 0.5625 em. A wider face (Liberation Sans 0.59 em, DejaVu Sans, the usual
// stand-in, 0.62 em) is set smaller in proportion, so that every caption keeps
// within its control with room to spare.
constexpr double design_letter_em = 6.0 / (design_points * 96 / 72);

double average_letter_em(QFont font)
{
    static const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    font.setPixelSize(100);  // large enough that hinting does not skew the ratio
    return QFontMetricsF(font).horizontalAdvance(alphabet) / static_cast<double>(alphabet.size()) / 100;
}

}  // namespace

QFont window_font()
{
    QFont font;
    font.setFamilies(font_families());
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(design_points * std::min(1.0, design_letter_em / average_letter_em(font)));
    return font;
}

namespace {

// The readings' size relative to the window font, so a face set smaller for
// the window is set smaller for the readings too.
QFont reading_font(const QFont& base)
{
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * reading_points / design_points);
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
    bool has_caption() const override { return form::has_caption(row_.kind) && widget_ != nullptr; }

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
        return form::has_value(row_.kind) && widget_ != nullptr ? ValueKind::switch_state : ValueKind::none;
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
            set_selected(*option, value != 0);
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
        if ((row.flags & form::centred) != 0) {
            label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        }
        widget = label;
        break;
    }
    case Kind::option_button: {
        auto* option = new OptionButton(container);
        option->setText(caption_of(row));
        option->setChecked((row.flags & form::selected) != 0);
        widget = option;
        break;
    }
    case Kind::check_box: {
        auto* check = new CheckBox(container);
        check->setText(caption_of(row));
        check->setCheckState((row.flags & form::selected) != 0 ? Qt::Checked : Qt::Unchecked);
        widget = check;
        break;
    }
    case Kind::timer:
    case Kind::serial_control:
        return nullptr;
    }
    widget->setObjectName(QString::fromUtf8(row.name.data(), static_cast<qsizetype>(row.name.size())));
    widget->setGeometry(row.left / form::twips_per_pixel, row.top / form::twips_per_pixel, row.width / form::twips_per_pixel,
                        row.height / form::twips_per_pixel);
    if ((row.flags & form::big_bold) != 0) {
        widget->setFont(reading_font(widget->font()));
    }
    return widget;
}

std::unique_ptr<ini::PersistentControl> persistent_control(const ControlRow& row, QWidget* widget)
{
    return std::make_unique<WidgetControl>(row, widget);
}

}  // namespace window
