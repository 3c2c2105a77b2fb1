#include "port_window.h"

#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QScreen>
#include <QVBoxLayout>

#include "serial_devices.h"

namespace prm {

namespace {

QString comName(int comNumber) {
    return QStringLiteral("COM%1").arg(comNumber);
}

// What stands beside a COM item: its device, and the variable that sets it where one does.
QString deviceText(int comNumber, const PortMap& map) {
    const QString variable = PortMap::overridingVariable(comNumber);
    const QString device = map.deviceForNumber(comNumber);
    return variable.isEmpty() ? device : QStringLiteral("%1 (set by %2)").arg(device, variable);
}

}  // namespace

TForm3::TForm3(PortService& port, QWidget* parent) : QDialog(parent), port_(port) {
    setWindowTitle(QStringLiteral("Communication Port"));
    setFixedSize(285, 335);
    auto* layout = new QVBoxLayout(this);
    auto* group = new QGroupBox(QStringLiteral("Communication Port"), this);
    auto* groupLayout = new QGridLayout(group);
    for (int n = PortService::kFirstPort; n <= PortService::kLastPort; ++n) {
        auto* item = new QRadioButton(comName(n), group);
        items_.addButton(item, n - 1);
        auto* device = new QLabel(group);
        device->setEnabled(false);  // a quieter grey: the COM name is what is chosen
        groupLayout->addWidget(item, n - 1, 0);
        groupLayout->addWidget(device, n - 1, 1);
        devices_.push_back(device);
    }
    groupLayout->setColumnStretch(1, 1);
    layout->addWidget(group);
    deviceLabel_ = new QLabel(this);
    deviceLabel_->setWordWrap(true);
    layout->addWidget(deviceLabel_);
    mapButton_ = new QPushButton(this);
    layout->addWidget(mapButton_);
    auto* mainMenuButton = new QPushButton(QStringLiteral("Main Menu"), this);
    layout->addWidget(mainMenuButton);

    connect(&items_, &QButtonGroup::idClicked, this, &TForm3::clickItem);
    connect(mapButton_, &QPushButton::clicked, this, &TForm3::mapPort);
    connect(mainMenuButton, &QPushButton::clicked, this, &TForm3::mainMenu);
}

void TForm3::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    if (const QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
    if (QAbstractButton* item = items_.button(port_.portNumber() - 1)) item->setChecked(true);
    showDevice();
}

void TForm3::showDevice() {
    for (int n = PortService::kFirstPort; n <= PortService::kLastPort; ++n) {
        QLabel* label = devices_[static_cast<size_t>(n - 1)];
        const QString device = port_.portMap().deviceForNumber(n);
        const QString suffix =
            PortMap::overridingVariable(n).isEmpty() ? QString() : QStringLiteral(" (environment)");
        // A stable name is long; its end (the adapter's serial number) tells adapters apart.
        const QFontMetrics metrics(label->font());
        label->setText(metrics.elidedText(device, Qt::ElideLeft,
                                          label->width() - metrics.horizontalAdvance(suffix)) +
                       suffix);
        label->setToolTip(deviceText(n, port_.portMap()));
    }
    // A device given by path (--port) is no COM name's.
    const QString variable = port_.comName() == comName(port_.portNumber())
                                 ? PortMap::overridingVariable(port_.portNumber())
                                 : QString();
    deviceLabel_->setText(QStringLiteral("%1 is %2").arg(port_.comName(), port_.deviceName()) +
                          (variable.isEmpty() ? QString() : " (set by " + variable + ')'));
    mapButton_->setText(QStringLiteral("Map %1...").arg(comName(port_.portNumber())));
}

void TForm3::clickItem(int index) {
    if (QAbstractButton* item = items_.button(index)) item->setChecked(true);
    port_.setPortNumber(index + 1);
    showDevice();
}

void TForm3::mainMenu() {
    if (!port_.isOpen() && !port_.open()) {
        QMessageBox::warning(this, windowTitle(), port_.lastError());
    }
    accept();
}

void TForm3::mapPort() {
    PortMapDialog dialog(port_, port_.portNumber(), this);
    dialog.exec();
    showDevice();
}

PortMapDialog::PortMapDialog(PortService& port, int comNumber, QWidget* parent)
    : QDialog(parent), port_(port), comNumber_(comNumber) {
    const QString name = comName(comNumber);
    setWindowTitle("Map " + name);
    const PortMap& map = port_.portMap();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(
        QStringLiteral("Device for %1 (now %2):").arg(name, map.deviceForNumber(comNumber)), this));
    deviceBox_ = new QComboBox(this);
    deviceBox_->setEditable(true);
    deviceBox_->setInsertPolicy(QComboBox::NoInsert);
    deviceBox_->lineEdit()->setPlaceholderText(QStringLiteral("a device, as /dev/ttyUSB0"));
    for (const auto& [device, what] : suite::SerialDevices()) {
        deviceBox_->addItem(device, what);
        deviceBox_->setItemData(deviceBox_->count() - 1, what, Qt::ToolTipRole);
    }
    // The file's mapping where there is one: what this window changes.
    const QString kept = map.mappingInFile(comNumber);
    const int listed = deviceBox_->findText(kept);
    deviceBox_->setCurrentIndex(listed);  // -1: none chosen yet
    if (listed < 0) deviceBox_->setEditText(kept);
    layout->addWidget(deviceBox_);
    whatLabel_ = new QLabel(this);
    whatLabel_->setWordWrap(true);
    layout->addWidget(whatLabel_);
    overrideLabel_ = new QLabel(this);
    overrideLabel_->setWordWrap(true);
    if (const QString variable = PortMap::overridingVariable(comNumber); !variable.isEmpty())
        overrideLabel_->setText(
            QStringLiteral("%1 is set: it stands for %2 until it is unset.").arg(variable, name));
    overrideLabel_->setVisible(!overrideLabel_->text().isEmpty());
    layout->addWidget(overrideLabel_);
    auto* file = new QLabel(QStringLiteral("Kept in %1").arg(map.iniPath()), this);
    file->setWordWrap(true);
    file->setEnabled(false);
    layout->addWidget(file);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* mapButton =
        buttons->addButton(QStringLiteral("Map"), QDialogButtonBox::AcceptRole);
    QPushButton* defaultButton =
        buttons->addButton(QStringLiteral("Default (%1)").arg(PortMap::defaultDevice(comNumber)),
                           QDialogButtonBox::ResetRole);
    buttons->addButton(QDialogButtonBox::Cancel);
    mapButton->setDefault(true);
    layout->addWidget(buttons);

    connect(mapButton, &QPushButton::clicked, this, &PortMapDialog::mapDevice);
    connect(defaultButton, &QPushButton::clicked, this, &PortMapDialog::useDefault);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(deviceBox_, &QComboBox::currentTextChanged, this, &PortMapDialog::showWhat);
    showWhat();
    setMinimumWidth(480);
}

void PortMapDialog::showWhat() {
    const int i = deviceBox_->findText(deviceBox_->currentText());
    whatLabel_->setText(i >= 0 ? deviceBox_->itemData(i).toString()
                        : deviceBox_->count() == 0
                            ? QStringLiteral("The system reports no serial device; type one.")
                            : QString());
}

void PortMapDialog::mapDevice() {
    finish(port_.portMap().setMapping(comNumber_, deviceBox_->currentText()));
}

void PortMapDialog::useDefault() {
    finish(port_.portMap().removeMapping(comNumber_));
}

void PortMapDialog::finish(const QString& why) {
    if (!why.isEmpty()) {
        QMessageBox::warning(this, windowTitle(), why);
        return;
    }
    // The port follows its name to the new device at once; opening it there reports a
    // failure as any opening does.
    if (port_.portNumber() == comNumber_ && port_.comName() == comName(comNumber_))
        port_.setPortNumber(comNumber_);
    accept();
}

}  // namespace prm
