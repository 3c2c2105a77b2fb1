#pragma once

#include <QButtonGroup>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <vector>

#include "serial_port.h"

namespace prm {

// Port selection: six COM items, each with the device it stands for; a click moves the port
// (reopening it if it was open), "Main Menu" opens it and closes the window. "Map COMn..."
// lets the technician choose the device of the selected COM name.
class TForm3 : public QDialog {
    Q_OBJECT
  public:
    explicit TForm3(PortService& port, QWidget* parent = nullptr);

    QButtonGroup& items() { return items_; }
    // The device shown beside item `index` (COM1 is 0).
    QLabel* deviceOf(int index) { return devices_.at(static_cast<size_t>(index)); }
    QLabel* deviceLabel() { return deviceLabel_; }
    QPushButton* mapButton() { return mapButton_; }
    void clickItem(int index);
    void mainMenu();
    // Opens the mapping window of the selected COM name (modal).
    void mapPort();

  protected:
    void showEvent(QShowEvent* e) override;

  private:
    void showDevice();

    PortService& port_;
    QButtonGroup items_;
    std::vector<QLabel*> devices_;
    QLabel* deviceLabel_ = nullptr;
    QPushButton* mapButton_ = nullptr;
};

// The device one COM name stands for: one of the machine's serial devices, or a typed path,
// kept in the port map file; "Default" takes the name out of the file again.
class PortMapDialog : public QDialog {
    Q_OBJECT
  public:
    PortMapDialog(PortService& port, int comNumber, QWidget* parent = nullptr);

    QComboBox* deviceBox() { return deviceBox_; }
    QLabel* whatLabel() { return whatLabel_; }
    QLabel* overrideLabel() { return overrideLabel_; }
    // Keeps the device in the box as the COM name's; a device that cannot be kept is named in
    // a message box and the window stays.
    void mapDevice();
    // Takes the COM name out of the file.
    void useDefault();

  private:
    void showWhat();
    // Done: an open port on this COM name is reopened on its new device.
    void finish(const QString& why);

    PortService& port_;
    int comNumber_;
    QComboBox* deviceBox_ = nullptr;
    QLabel* whatLabel_ = nullptr;
    QLabel* overrideLabel_ = nullptr;
};

}  // namespace prm
