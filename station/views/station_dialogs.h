// The station's small windows: the transfer dialog over its controller, and the systems
// dialog over the System table.
#pragma once

#include <QComboBox>
#include <QDateEdit>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QTableView>
#include <memory>
#include <optional>

#include "file_trans_controller.h"
#include "hosted_controls.h"
#include "serial.h"
#include "station_db.h"
#include "station_records.h"
#include "systems.h"

namespace station {

// CFileTransDlg: progress, block counter and error lamp of one transfer; compact for the
// document's downloads, full size (file name, "Save as", "Start") for "Get specific file".
class CFileTransDlg : public QDialog {
  public:
    explicit CFileTransDlg(FileTransferController& controller, QWidget* parent = nullptr);
    void Refresh();
    // Esc and the close button abort the transfer; the dialog goes when the transfer has
    // ended, never before.
    void reject() override;

  private:
    FileTransferController& c_;
    QLineEdit* fileName_ = nullptr;
    QLineEdit* saveAs_ = nullptr;
    QProgressBar* progress_;
    QLabel* block_;
    Lamp* lamp_;
};

// CSystems: "418vLINK - Select system", the System table with the columns "Serial#",
// "System Name", "Modem#"; "Select" gives the row selected in the grid.
class CSystemsDlg : public QDialog {
  public:
    CSystemsDlg(const QString& connectionText, QWidget* parent = nullptr);
    ~CSystemsDlg() override;
    // The row chosen with "Select" (empty on an empty table or another way of closing).
    const std::optional<vm418::CSystemRset>& Chosen() const { return chosen_; }
    QTableView* Grid() { return grid_; }
    void Select();

  private:
    QString connectionText_;
    std::unique_ptr<vm418::DbConnection> conn_;
    QTableView* grid_;
    std::optional<vm418::CSystemRset> chosen_;
};

// CSerialSettingsDlg: "Serial port settings" of the current system: port, baud rate,
// parity, data bits, stop bits, flow control and the modem initialisation text.
class CSerialSettingsDlg : public QDialog {
  public:
    CSerialSettingsDlg(const std::string& port, const LineSettings& line, const std::string& init,
                       QWidget* parent = nullptr);
    // "Ok": the dialog's choices into `port` and `line` (a changed flow choice first switches
    // every flow option off). The port name is taken whole.
    void TakeChoices(std::string& port, LineSettings& line) const;
    QString InitText() const { return init_->text(); }
    // Why "Ok" does not close the dialog: the port name is empty, holds blanks or is a
    // converter's address that does not parse ("" when it is sound). The dialog shows it under the
    // lists.
    QString PortProblem() const;
    QString ShownProblem() const { return problem_->text(); }
    // What the chosen port is: the device a COM name stands for, what a listed device is,
    // or which kind of converter an address reaches.
    QString PortInfo() const;

    QComboBox *portBox, *baudBox, *parityBox, *dataBitsBox, *stopBitsBox, *flowBox;

  private:
    void Ok();
    void ShowPortInfo();

    QLineEdit* init_;
    QLabel* problem_;
    QLabel* portInfo_;
    int initialFlow_;
};

// CTimePeriodDlg: "Select days", From and To; only OK takes the pickers' dates.
class CTimePeriodDlg : public QDialog {
  public:
    CTimePeriodDlg(QDate from, QDate to, QWidget* parent = nullptr);
    QDate From() const { return from_; }
    QDate To() const { return to_; }
    QDateEdit *fromEdit, *toEdit;

  private:
    QDate from_, to_;
};

// CDatePickDlg: "Select date", the stored parameter blocks of the document's station,
// newest first; OK loads the selected one into the document's parameter block.
class CDatePickDlg : public QDialog {
  public:
    CDatePickDlg(vm418::StationRecords* records, QWidget* parent = nullptr);
    QListWidget* list;
    // True when OK loaded a block.
    bool Loaded() const { return loaded_; }

  private:
    void Ok();
    vm418::StationRecords* records_;
    std::vector<vm418::StoredParameters> blocks_;
    bool loaded_ = false;
};

}  // namespace station
