// CMainFrame: the "418vLINK" multiple-document window with its menus, tool bar and status
// bar; it shows what its station document says (it is the document's StationUi) and holds
// the document's child frames. CChildFrame: the MDI child in which a station view lives.
#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QPrinter>
#include <map>
#include <memory>

#include "station_ui.h"

namespace station {

class CVM418Doc;
class CVM418View;
class CFileTransDlg;
class CStationView;

class CChildFrame : public QMdiSubWindow {
  public:
    // `firstActivation` runs once the frame is first shown: the document's first frame asks
    // for a system.
    explicit CChildFrame(std::function<void()> firstActivation, QWidget* parent = nullptr);

  protected:
    bool event(QEvent* e) override;

  private:
    std::function<void()> firstActivation_;
    bool activated_ = false;
};

class CMainFrame : public QMainWindow, public StationUi {
  public:
    // `workFolder` for the document's downloads ("" for the default "TEMP/").
    explicit CMainFrame(const QString& connectionText, const QString& workFolder = {});
    ~CMainFrame() override;

    // A new document with its monitoring view; its frame asks for a system when first shown.
    void NewDocument();
    CVM418Doc* Document() { return doc_.get(); }
    CVM418View* MonitoringView() { return view_; }
    // The alarm, history or parameter view of a "View ..." command, when its frame is open.
    CStationView* DataView(int viewCommand) const;
    // The data view of the active frame, if the active frame holds one.
    CStationView* ActiveDataView() const;
    QAction* ChangePeriodAction() const { return changePeriod_; }
    QAction* Action(int id) { return actions_.count(id) ? actions_.at(id) : nullptr; }
    QString StatusMessage() const { return message_->text(); }
    void UpdateCommandUi();
    // The most recently selected systems of this database, newest first ("SysID
    // description"), at most 4.
    QStringList RecentSystems() const;
    // Their items in the "System" menu (disabled while connected).
    const std::vector<QAction*>& RecentActions() const { return recentActions_; }
    // The printer of this session: "Print Setup..." sets it up, and every print starts from
    // what it chose.
    QPrinter& Printer() { return *printer_; }
    // The active data view on the session's printer, the pages its range names; false when
    // there is no such view or nothing was printed.
    bool PrintActiveView();
    // The CAP, NUM and SCRL indicators: lit while the lock is on, dim while off.
    bool IndicatorLit(const QString& name) const;
    void ShowLockState(bool caps, bool num, bool scroll);

    // StationUi.
    void MessageBox(const QString& text) override;
    void SetStatusText(const QString& text) override;
    void PostCommand(int id) override;
    void UpdateAllViews(int hint, int key, const QByteArray& frame) override;
    void TransferOpened(FileTransferController& dialog) override;
    void TransferChanged(const FileTransferController& dialog, const ProtocolEvent* cause) override;
    void TransferClosed(const FileTransferController& dialog) override;
    void DownloadEnded(const QString& caption, const QString& failure) override;
    void EditSerialSettings(std::string& port, LineSettings& line, std::string& init) override;
    void ChooseSystem(const QString& connectionText,
                      std::function<void(std::optional<vm418::CSystemRset>)> chosen) override;
    void CloseDataViews() override;

    // "View alarms", "View history", "View parameters": opens the view's frame, or activates
    // it when it is open.
    void OpenDataView(int viewCommand);
    // A view's pages into an A4 PDF file; false with `error` when it cannot be written.
    bool PrintViewToPdf(CStationView* view, const QString& path, QString* error = nullptr);
    bool OpenDiscriminatorScreen() override;
    void DiscriminatorEvent(const ProtocolEvent& event) override;

  private:
    void BuildMenus();
    // The menus without a document: "&File" ("&New", "P&rint Setup...", "E&xit"), "&View"
    // (the tool bar and the status bar), "&Help".
    void BuildMenusWithoutDocument();
    void ShowMenusOfDocument(bool shown);
    // The document goes with its first frame: hung up, its data views closed.
    void CloseDocument();
    void PrintSetup();
    QAction* AddCommand(QMenu* menu, int id, const QString& text);
    void RunCommand(int id);
    void About();
    void RememberSystem(const vm418::CSystemRset& row);
    void ShowRecentSystems();
    void SelectRecent(int sysId);
    void Print(bool preview);
    void PrintToPdf();
    void ExportAlarms(bool n42);

    QString connectionText_;
    QString workFolder_;
    QMdiArea* mdi_;
    QLabel* message_;
    std::map<int, QAction*> actions_;
    std::unique_ptr<CVM418Doc> doc_;
    CVM418View* view_ = nullptr;
    QPointer<CChildFrame> frame_;  // the document's first frame, with the monitoring view
    std::map<int, QPointer<CChildFrame>> dataFrames_;  // by "View ..." command
    QAction *changePeriod_ = nullptr, *print_ = nullptr, *printPreview_ = nullptr,
            *printPdf_ = nullptr, *exportCsv_ = nullptr, *exportN42_ = nullptr;
    std::unique_ptr<CFileTransDlg> transferDialog_;
    QMenu* systemMenu_ = nullptr;
    std::vector<QMenu*> documentMenus_, noDocumentMenus_;
    QAction* recentAnchor_ = nullptr;  // the recent systems go before it
    std::vector<QAction*> recentActions_;
    std::unique_ptr<QPrinter> printer_;
    std::map<QString, QLabel*> indicators_;
};

}  // namespace station
