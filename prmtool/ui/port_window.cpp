#include "port_window.h"

#include <QGroupBox>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QVBoxLayout>

namespace prm {

TForm3::TForm3(PortService& port, QWidget* parent) : QDialog(parent), port_(port) {
    setWindowTitle(QStringLiteral("Communication Port"));
    setFixedSize(285, 335);
    auto* layout = new QVBoxLayout(this);
    auto* group = new QGroupBox(QStringLiteral("Communication Port"), this);
    auto* groupLayout = new QVBoxLayout(group);
    for (int n = PortService::kFirstPort; n <= PortService::kLastPort; ++n) {
        auto* item = new QRadioButton(QStringLiteral("COM%1").arg(n), group);
        items_.addButton(item, n - 1);
        groupLayout->addWidget(item);
    }
    layout->addWidget(group);
    deviceLabel_ = new QLabel(this);
    deviceLabel_->setWordWrap(true);
    layout->addWidget(deviceLabel_);
    auto* mainMenuButton = new QPushButton(QStringLiteral("Main Menu"), this);
    layout->addWidget(mainMenuButton);

    connect(&items_, &QButtonGroup::idClicked, this, &TForm3::clickItem);
    connect(mainMenuButton, &QPushButton::clicked, this, &TForm3::mainMenu);
}

void TForm3::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    if (const QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
    if (QAbstractButton* item = items_.button(port_.portNumber() - 1)) item->setChecked(true);
    showDevice();
}

void TForm3::showDevice() {
    deviceLabel_->setText(QStringLiteral("%1 is %2").arg(port_.comName(), port_.deviceName()));
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

}  // namespace prm
