// The station's small windows: the transfer dialog over its controller, and the systems
// dialog over the System table.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTableView>
#include <memory>
#include <optional>

#include "file_trans_controller.h"
#include "hosted_controls.h"
#include "station_db.h"
#include "systems.h"

namespace station {

// CFileTransDlg: progress, block counter and error lamp of one transfer; compact for the
// document's downloads, full size (file name, "Save as", "Start") for "Get specific file".
class CFileTransDlg : public QDialog {
  public:
    explicit CFileTransDlg(FileTransferController& controller, QWidget* parent = nullptr);
    void Refresh();

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

}  // namespace station
