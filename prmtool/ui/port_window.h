#pragma once

#include <QButtonGroup>
#include <QDialog>
#include <QLabel>

#include "serial_port.h"

namespace prm {

// Port selection: six COM items; a click moves the port (reopening it if it was open),
// "Main Menu" opens it and closes the window.
class TForm3 : public QDialog {
    Q_OBJECT
  public:
    explicit TForm3(PortService& port, QWidget* parent = nullptr);

    QButtonGroup& items() { return items_; }
    void clickItem(int index);
    void mainMenu();

  protected:
    void showEvent(QShowEvent* e) override;

  private:
    void showDevice();

    PortService& port_;
    QButtonGroup items_;
    QLabel* deviceLabel_ = nullptr;
};

}  // namespace prm
