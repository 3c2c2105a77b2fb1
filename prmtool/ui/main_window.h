#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QPointer>

#include "link.h"

namespace prm {

class TForm2;
class TForm3;
class TForm4;
class TForm5;

// The main window: owns the link, opens the port on activation and opens the working
// screens from its menu, each as a modal window.
class TForm1 : public QMainWindow {
    Q_OBJECT
  public:
    static constexpr int kSettleTicks = 5;  // after opening the port

    explicit TForm1(Link& link, QWidget* parent = nullptr);

    Link& link() { return link_; }
    // The activation steps: ring emptied, worker made sure of, port opened, 5 ticks,
    // state 0 and activeScreen 1. Runs on every activation of the window.
    void activateLink();

    // The menu commands.
    void openPortWindow();
    void openTests();
    void openSettings();
    void openHistory();
    // The About box: the program's name and version. Reached from the button at the right
    // end of the menu bar, which keeps the menu's five items as they are.
    void about();

    // The picture shown (the placeholder when "HM-210.bmp" is missing).
    const QPixmap& picture() const { return picture_; }
    bool pictureLoaded() const { return pictureLoaded_; }
    QString portStatus() const;

    // The settings window while it is open (for tests).
    QPointer<TForm2> testsWindow;
    QPointer<TForm4> settingsWindow;
    QPointer<TForm5> recordsWindow;

  protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;

  private:
    template <typename Screen>
    void runScreen(Screen& window);
    void loadPicture();
    void showPortStatus();
    void onNotice(const QString& message);

    Link& link_;
    QLabel* pictureLabel_ = nullptr;
    QLabel* portLabel_ = nullptr;
    QPixmap picture_;
    bool pictureLoaded_ = false;
    bool activating_ = false;
    bool activated_ = false;
    // A screen (port window, test console, settings, records) is open or opening.
    bool screenOpen_ = false;
    QString lastReportedError_;
};

}  // namespace prm
