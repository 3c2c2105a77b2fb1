// CDiscrDlg: the "Discriminator screen" window over DiscrScreen. Sixteen channel groups A1
// to H2 in two rows of eight, each with its three settings and its latest count, average and
// relative spread; the running graph of the channel chosen in "View Xtal", the dial of the
// 30-sample cycle, the lamps and the buttons. It is window-modal without a nested event loop,
// so the document's protocol events keep flowing to it.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <array>

#include "discr_screen.h"
#include "hosted_controls.h"
#include "protocol_event.h"

namespace station {

class CVM418Doc;

class CDiscrDlg : public QDialog {
    Q_OBJECT  // the main frame finds its open screen by type

        public : CDiscrDlg(CVM418Doc& doc, QWidget* parent = nullptr);

    // Opens the screen over `parent` for the document; when it closes it tells the
    // document (DiscriminatorScreenClosed) and deletes itself.
    static CDiscrDlg* Open(CVM418Doc& doc, QWidget* parent);

    // Every frame and event the document receives while the screen is open.
    void OnEvent(const ProtocolEvent& event);

    // What the screen shows, for tests and screenshots.
    vm418::DiscrScreen& Screen() { return screen_; }
    NumericField* SettingEdit(int channel, int which) { return groups_[channel].edit[which]; }
    QString CountText(int channel) const { return groups_[channel].count->text(); }
    QString AverageText(int channel) const { return groups_[channel].average->text(); }
    QString SpreadText(int channel) const { return groups_[channel].spread->text(); }
    QPushButton* ReadButton() { return read_; }
    QPushButton* DefaultButton() { return default_; }
    QPushButton* UpdateButton() { return update_; }
    QPushButton* CloseButton() { return close_; }
    QComboBox* ViewXtal() { return xtal_; }
    GraphControl& Graph() { return *graph_; }
    bool ErrorLamp() const { return error_->IsOn(); }
    bool WaitLamp() const { return wait_->IsOn(); }
    bool StopMoniLamp() const { return stopMoni_->IsOn(); }

  public:
    // Esc and the window's close button act as "Close".
    void reject() override;

  private:
    struct Group {
        std::array<NumericField*, vm418::kDiscrSettings> edit{};
        QLineEdit *count = nullptr, *average = nullptr, *spread = nullptr;
    };
    QWidget* MakeGroup(int channel);
    void Render();

    vm418::DiscrScreen screen_;
    std::array<Group, vm418::kDiscrChannels> groups_;
    QComboBox* xtal_;
    GraphControl* graph_;
    CircularDial* dial_;
    QPushButton *read_, *default_, *update_, *close_;
    Lamp *wait_, *error_, *stopMoni_;
    std::array<Lamp*, 4> status_{};
    QLabel* message_;  // a refused answer; hidden while there is none
    QTimer timer_;
};

}  // namespace station
