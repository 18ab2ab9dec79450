#include "window/ports_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "bus/posix_serial_control.h"
#include "settings/saved_choices.h"

namespace window {
namespace {

const QString title = QStringLiteral("Quelvane — ports série");

QString text_of(const std::string& utf8) { return QString::fromStdString(utf8); }

// What a probe found, in the window's language.
constexpr sensor::ProbePhrases french_phrases{
    .both_sensors = "capteurs 1 et 2",
    .sensor_1 = "capteur 1",
    .sensor_2 = "capteur 2",
    .no_sensor = "aucun capteur",
    .line_low = "aucun capteur (la ligne de données est basse au repos)",
    .busy = "occupé par un autre programme",
    .cannot_open_before = "ouverture impossible (",
    .cannot_open_after = ")",
    .failed_before = "échec (",
    .failed_after = ")",
};

QString french_text(const sensor::BoardProbe& probe) { return text_of(sensor::probe_text(probe, french_phrases)); }

QString device_list(const std::vector<serial::SerialDevice>& devices)
{
    QStringList names;
    for (const serial::SerialDevice& device : devices) names << text_of(device.device);
    return names.join(QStringLiteral(", "));
}

}  // namespace

PortsDialog::PortsDialog(const std::array<std::string, 4>& devices, std::vector<serial::SerialDevice> present, int port,
                         Hooks hooks, QWidget* parent)
    : QDialog(parent), initial_(devices), present_(std::move(present)), port_(std::clamp(port, 1, 4)),
      hooks_(std::move(hooks))
{
    setObjectName(QStringLiteral("ports_dialog"));
    setWindowTitle(title);

    auto* intro = new QLabel(QStringLiteral("Le périphérique que désigne chaque port du choix « Port série ». "
                                            "Un changement prend effet au prochain choix d'un port."),
                             this);
    intro->setWordWrap(true);

    // Stable names first: they stay with their adapter across reboots.
    QStringList choices;
    for (const serial::SerialDevice& device : present_) {
        if (!device.stable.empty()) choices << text_of(device.stable);
    }
    for (const serial::SerialDevice& device : present_) choices << text_of(device.device);

    auto* form = new QFormLayout;
    for (int i = 0; i < 4; ++i) {
        auto* field = new QComboBox(this);
        field->setObjectName(QStringLiteral("port_com%1").arg(i + 1));
        field->setEditable(true);
        field->setInsertPolicy(QComboBox::NoInsert);
        field->addItems(choices);
        field->setEditText(text_of(initial_[static_cast<std::size_t>(i)]));
        field->setMinimumContentsLength(48);
        field->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        auto* label = new QLabel(QStringLiteral("Com &%1").arg(i + 1), this);
        label->setBuddy(field);
        form->addRow(label, field);
        fields_[static_cast<std::size_t>(i)] = field;
    }

    search_ = new QPushButton(QStringLiteral("&Rechercher le capteur"), this);
    search_->setAutoDefault(false);
    status_ = new QLabel(this);
    status_->setWordWrap(true);
    status_->setTextFormat(Qt::PlainText);
    connect(search_, &QPushButton::clicked, this, &PortsDialog::search);
    auto* search_row = new QHBoxLayout;
    search_row->addWidget(search_);
    search_row->addWidget(status_, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("OK"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Annuler"));
    connect(buttons, &QDialogButtonBox::accepted, this, &PortsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &PortsDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addLayout(form);
    layout->addLayout(search_row);
    layout->addWidget(buttons);

    // The fields in port order, the search, then OK and Annuler.
    QWidget* previous = fields_[0];
    for (QWidget* next : {static_cast<QWidget*>(fields_[1]), static_cast<QWidget*>(fields_[2]),
                          static_cast<QWidget*>(fields_[3]), static_cast<QWidget*>(search_),
                          static_cast<QWidget*>(buttons->button(QDialogButtonBox::Ok)),
                          static_cast<QWidget*>(buttons->button(QDialogButtonBox::Cancel))}) {
        setTabOrder(previous, next);
        previous = next;
    }
    fields_[static_cast<std::size_t>(port_ - 1)]->setFocus();
}

void PortsDialog::search()
{
    if (searching_) {
        return;
    }
    if (present_.empty()) {
        status_->setText(QStringLiteral("Aucun port série présent."));
        hooks_.tell(QStringLiteral("Aucun port série n'est présent : il n'y a rien à rechercher."), title);
        return;
    }
    const QString warning =
        QStringLiteral("La recherche bascule les lignes DTR et RTS de chaque port série présent (%1), ce qui peut "
                       "réinitialiser les appareils qui y sont branchés. Un port qu'un autre programme utilise est "
                       "laissé de côté.\n\nRechercher le capteur ?")
            .arg(device_list(present_));
    if (!hooks_.ask(warning, title)) {
        return;
    }
    searching_ = true;
    status_->setText(QStringLiteral("Recherche en cours…"));
    hooks_.search(present_, [self = QPointer(this)](const std::vector<sensor::Found>& found) {
        if (self != nullptr) {
            self->show_found(found);
        }
    });
}

void PortsDialog::show_found(const std::vector<sensor::Found>& found)
{
    searching_ = false;
    const auto board = std::find_if(found.begin(), found.end(), [](const sensor::Found& f) { return f.probe.found(); });
    if (board != found.end()) {
        QComboBox* field = fields_[static_cast<std::size_t>(port_ - 1)];
        field->setEditText(text_of(board->device.lasting_name()));
        status_->setText(QStringLiteral("Trouvé sur %1 : %2.")
                             .arg(text_of(board->device.device), french_text(board->probe)));
        field->setFocus(Qt::OtherFocusReason);
        return;
    }
    status_->setText(QStringLiteral("Aucun capteur trouvé."));
    QString lines;
    for (const sensor::Found& each : found) {
        lines += QStringLiteral("\n%1 : %2").arg(text_of(each.device.device), french_text(each.probe));
    }
    hooks_.tell(QStringLiteral("Aucun capteur trouvé :") + lines, title);
}

void PortsDialog::accept()
{
    std::vector<ini::PortDevice> changed;
    for (int port = 1; port <= 4; ++port) {
        QComboBox* field = fields_[static_cast<std::size_t>(port - 1)];
        const std::string device = field->currentText().trimmed().toStdString();
        if (device == initial_[static_cast<std::size_t>(port - 1)]) {
            continue;
        }
        if (serial::device_path_refusal(device)) {
            hooks_.tell(QStringLiteral("Com %1 : « %2 » ne peut pas désigner un port. Un port est un chemin absolu "
                                       "sous /dev/, comme /dev/ttyUSB0, de moins de 127 octets, sans « .. » ni "
                                       "caractère de contrôle.")
                            .arg(port)
                            .arg(field->currentText().trimmed()),
                        QStringLiteral("Erreur"));
            field->setFocus(Qt::OtherFocusReason);
            return;
        }
        changed.push_back({port, device});
    }
    if (!changed.empty()) {
        const profile::WriteResult saved = ini::save_port_devices(changed);
        if (saved.status == profile::WriteStatus::read_only) {
            hooks_.tell(QStringLiteral("Les ports n'ont pas été enregistrés : %1 est en lecture seule.")
                            .arg(text_of(saved.file)),
                        QStringLiteral("Erreur"));
            return;
        }
        if (saved.status == profile::WriteStatus::failed) {
            hooks_.tell(QStringLiteral("Les ports n'ont pas été enregistrés dans %1 : %2.")
                            .arg(text_of(saved.file), text_of(saved.reason)),
                        QStringLiteral("Erreur"));
            return;
        }
    }
    QDialog::accept();
}

}  // namespace window
