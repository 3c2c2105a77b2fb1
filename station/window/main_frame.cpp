#include "main_frame.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QFileDialog>
#include <QMenuBar>
#include <QMessageBox>
#include <QPagedPaintDevice>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QSaveFile>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>

#include "alarm_view.h"
#include "hist_view.h"
#include "n42_export.h"
#include "par_view.h"
#include "param_form.h"
#include "program_icon.h"
#include "record_text.h"
#include "station_db.h"
#include "station_print.h"
#include "suite_version.h"

#include "discr_dialog.h"
#include "lock_keys.h"
#include "monitoring_view.h"
#include "station_dialogs.h"
#include "systems.h"
#include "vm418_doc.h"

namespace station {

CChildFrame::CChildFrame(std::function<void()> firstActivation, QWidget* parent)
    : QMdiSubWindow(parent), firstActivation_(std::move(firstActivation)) {}

bool CChildFrame::event(QEvent* e) {
    // The document's first frame asks for a system once it is shown (or activated, where a
    // window system activates it first).
    if ((e->type() == QEvent::WindowActivate || e->type() == QEvent::Show) && !activated_) {
        activated_ = true;
        if (firstActivation_) QTimer::singleShot(0, this, firstActivation_);
    }
    return QMdiSubWindow::event(e);
}

CMainFrame::CMainFrame(const QString& connectionText, const QString& workFolder)
    : connectionText_(connectionText), workFolder_(workFolder) {
    setWindowTitle("418vLINK");
    setWindowIcon(suite::programIcon("vm418station"));
    mdi_ = new QMdiArea;
    setCentralWidget(mdi_);
    message_ = new QLabel("Ready");
    statusBar()->addWidget(message_, 1);
    for (const char* name : {"CAP", "NUM", "SCRL"}) {
        auto* indicator = new QLabel(name);
        indicator->setEnabled(false);  // dim until the keyboard says the lock is on
        statusBar()->addPermanentWidget(indicator);
        indicators_[name] = indicator;
    }
    FollowLockKeys(*this,
                   [this](bool caps, bool num, bool scroll) { ShowLockState(caps, num, scroll); });
    printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
    printer_->setPageSize(QPageSize(QPageSize::A4));
    BuildMenus();
    // An activated view shows the link state in its caption.
    connect(mdi_, &QMdiArea::subWindowActivated, this, [this](QMdiSubWindow* w) {
        if (auto* v = w ? dynamic_cast<CStationView*>(w->widget()) : nullptr) {
            v->OnUpdate(HINT_CONNECTION, 0);
            w->setWindowTitle(v->Caption());
        }
        UpdateCommandUi();
    });
    resize(900, 640);
}

CMainFrame::~CMainFrame() {
    // The frames go after this window's members: they must not call back into it.
    for (QMdiSubWindow* w : mdi_->findChildren<QMdiSubWindow*>())
        w->disconnect(this);
    mdi_->disconnect(this);
    transferDialog_.reset();
    mdi_->closeAllSubWindows();
    doc_.reset();
}

QAction* CMainFrame::AddCommand(QMenu* menu, int id, const QString& text) {
    QAction* a = menu ? menu->addAction(text) : new QAction(text, this);
    if (!menu) addAction(a);
    actions_[id] = a;
    connect(a, &QAction::triggered, this, [this, id] { RunCommand(id); });
    return a;
}

void CMainFrame::BuildMenus() {
    QMenu* system = menuBar()->addMenu("System");
    AddCommand(system, ID_SELECT_SYSTEM, "Select system");
    AddCommand(system, ID_CALL, "Call");
    AddCommand(system, ID_HANG_UP, "Hang up");
    AddCommand(system, ID_COM_SETUP, "COM port and modem setup");
    changePeriod_ = system->addAction("Change period of displayed data", this, [this] {
        if (CStationView* v = ActiveDataView(); v && v->CanChangePeriod()) v->OnChangePeriod();
    });
    system->addSeparator();
    print_ = system->addAction("Print...", this, [this] { Print(false); });
    printPreview_ = system->addAction("Print Preview", this, [this] { Print(true); });
    system->addAction("Print Setup...", this, &CMainFrame::PrintSetup);
    printPdf_ = system->addAction("Print to PDF...", this, &CMainFrame::PrintToPdf);
    exportCsv_ = system->addAction("Export CSV...", this, [this] { ExportAlarms(false); });
    exportN42_ = system->addAction("Export N42...", this, [this] { ExportAlarms(true); });
    recentAnchor_ = system->addSeparator();
    system->addAction("E&xit", this, &QWidget::close);
    systemMenu_ = system;
    ShowRecentSystems();
    QMenu* download = menuBar()->addMenu("Dowload");
    AddCommand(download, ID_DOWNLOAD_PARAMETERS, "Download parameters file");
    AddCommand(download, ID_DOWNLOAD_HISTORY, "Download history file");
    AddCommand(download, ID_DOWNLOAD_ALARM_FILE, "Download alarm file");
    AddCommand(download, ID_DOWNLOAD_ALL, "Download all files");
    AddCommand(download, ID_DOWNLOAD_LAST_ALARM, "Download last alarm");
    AddCommand(download, ID_DOWNLOAD_PREVIOUS_ALARM, "Download previous alarm");
    AddCommand(download, ID_DOWNLOAD_NEXT_ALARM, "Download next alarm");
    QMenu* view = menuBar()->addMenu("&View");
    AddCommand(view, ID_VIEW_ALARMS, "View alarms");
    AddCommand(view, ID_VIEW_HISTORY, "View history");
    AddCommand(view, ID_VIEW_PARAMETERS, "View parameters");
    AddCommand(view, ID_VIEW_DISCRIMINATOR, "View discriminator screen");
    QMenu* window = menuBar()->addMenu("&Window");
    window->addAction("&Cascade", mdi_, &QMdiArea::cascadeSubWindows);
    window->addAction("&Tile", mdi_, &QMdiArea::tileSubWindows);
    documentMenus_ = {system, download, view, window};
    QMenu* help = menuBar()->addMenu("&Help");
    help->addAction("&About 418vLINK...", this, &CMainFrame::About);
    BuildMenusWithoutDocument();
    // The commands of the unnamed menu: posted by the views' buttons and the document.
    AddCommand(nullptr, ID_GET_SPECIFIC_FILE, "Get specific file");
    AddCommand(nullptr, ID_OPEN_FILES, "Open files");
    AddCommand(nullptr, ID_WRITE_PARAMETERS, "Write parameters");
    AddCommand(nullptr, ID_DEFAULT_PARAMETERS, "Default parameters");
    AddCommand(nullptr, ID_ON_CONNECT, "On connect");
    AddCommand(nullptr, ID_START_MONITORING, "Start Monitoring");
    AddCommand(nullptr, ID_STOP_MONITORING, "Stop Monitoring");
    for (QMenu* m : {system, download, view})
        connect(m, &QMenu::aboutToShow, this, &CMainFrame::UpdateCommandUi);

    QToolBar* tools = addToolBar("Standard");
    tools->setObjectName("toolbar");
    for (int id : {ID_SELECT_SYSTEM, ID_CALL, ID_HANG_UP, ID_DOWNLOAD_ALL, ID_VIEW_ALARMS})
        tools->addAction(actions_.at(id));
}

void CMainFrame::BuildMenusWithoutDocument() {
    auto* file = new QMenu("&File", this);
    file->addAction("&New", this, &CMainFrame::NewDocument);
    file->addAction("P&rint Setup...", this, &CMainFrame::PrintSetup);
    file->addSeparator();
    file->addAction("E&xit", this, &QWidget::close);
    auto* view = new QMenu("&View", this);
    QAction* tools = view->addAction("&Toolbar");
    QAction* status = view->addAction("&Status Bar");
    for (QAction* a : {tools, status}) {
        a->setCheckable(true);
        a->setChecked(true);
    }
    connect(tools, &QAction::toggled, this,
            [this](bool on) { findChild<QToolBar*>("toolbar")->setVisible(on); });
    connect(status, &QAction::toggled, this, [this](bool on) { statusBar()->setVisible(on); });
    menuBar()->insertMenu(documentMenus_.front()->menuAction(), file);
    menuBar()->insertMenu(documentMenus_.front()->menuAction(), view);
    noDocumentMenus_ = {file, view};  // "&Help" serves both
    ShowMenusOfDocument(false);
}

void CMainFrame::ShowMenusOfDocument(bool shown) {
    for (QMenu* m : documentMenus_)
        m->menuAction()->setVisible(shown);
    for (QMenu* m : noDocumentMenus_)
        m->menuAction()->setVisible(!shown);
}

void CMainFrame::PrintSetup() {
    QPrintDialog dialog(printer_.get(), this);
    dialog.setWindowTitle("Print Setup");
    dialog.exec();
}

bool CMainFrame::IndicatorLit(const QString& name) const {
    const auto it = indicators_.find(name);
    return it != indicators_.end() && it->second->isEnabled();
}

void CMainFrame::ShowLockState(bool caps, bool num, bool scroll) {
    indicators_.at("CAP")->setEnabled(caps);
    indicators_.at("NUM")->setEnabled(num);
    indicators_.at("SCRL")->setEnabled(scroll);
}

void CMainFrame::CloseDocument() {
    view_ = nullptr;
    if (!doc_) return;
    doc_->HangUp();  // a transfer that runs ends with it
    CloseDataViews();
    delete findChild<CDiscrDlg*>();
    doc_.reset();
    SetStatusText("Ready");
    UpdateCommandUi();
}

void CMainFrame::UpdateCommandUi() {
    ShowMenusOfDocument(doc_ != nullptr);
    for (auto& [id, action] : actions_)
        action->setEnabled(doc_ && doc_->IsCommandEnabled(id));
    CStationView* active = ActiveDataView();
    changePeriod_->setEnabled(active && active->CanChangePeriod());
    for (QAction* a : {print_, printPreview_, printPdf_})
        a->setEnabled(active != nullptr);
    const bool alarms = dynamic_cast<CAlarmView*>(active) != nullptr;
    exportCsv_->setEnabled(alarms);
    exportN42_->setEnabled(alarms);
    // Another system is chosen only off line ("Select system" hangs up first).
    for (QAction* a : recentActions_)
        a->setEnabled(doc_ && doc_->linkState == LINK_OFF_LINE);
}

namespace {
constexpr int kRecentKept = 4;
constexpr char kRecentGroup[] = "Recent File List";

// The program's settings, in the user's configuration folder.
QSettings ProgramSettings() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope,
                     "Local AppWizard-Generated Applications", "418vLINK");
}

// Each database keeps its own recent systems (system 3 of one is not system 3 of another):
// a group named after its connection text.
QString RecentGroup(const QString& connectionText) {
    return QString("%1/%2")
        .arg(kRecentGroup)
        .arg(QString::fromLatin1(
            QCryptographicHash::hash(connectionText.toUtf8(), QCryptographicHash::Sha1)
                .toHex()
                .left(16)));
}
}  // namespace

QStringList CMainFrame::RecentSystems() const {
    QSettings settings = ProgramSettings();
    settings.beginGroup(RecentGroup(connectionText_));
    QStringList out;
    for (int i = 1; i <= kRecentKept; ++i) {
        const QString entry = settings.value(QString("File%1").arg(i)).toString();
        if (!entry.isEmpty()) out << entry;
    }
    return out;
}

void CMainFrame::RememberSystem(const vm418::CSystemRset& row) {
    if (row.SysID == 0) return;
    const QString entry = QString("%1  %2").arg(row.SysID).arg(row.SystemDescription);
    QStringList recent = RecentSystems();
    recent.removeIf([&](const QString& e) { return e.section("  ", 0, 0).toInt() == row.SysID; });
    recent.prepend(entry);
    QSettings settings = ProgramSettings();
    settings.beginGroup(RecentGroup(connectionText_));
    // For whoever reads the file; the group's name comes from the whole text.
    settings.setValue("Database", vm418::maskSecrets(connectionText_));
    for (int i = 1; i <= kRecentKept; ++i)
        settings.setValue(QString("File%1").arg(i), recent.value(i - 1));
    settings.endGroup();
    ShowRecentSystems();
}

void CMainFrame::ShowRecentSystems() {
    for (QAction* a : recentActions_)
        delete a;
    recentActions_.clear();
    int n = 0;
    for (const QString& entry : RecentSystems()) {
        auto* a = new QAction(QString("&%1 %2").arg(++n).arg(entry.section("  ", 1)), this);
        const int sysId = entry.section("  ", 0, 0).toInt();
        connect(a, &QAction::triggered, this, [this, sysId] { SelectRecent(sysId); });
        systemMenu_->insertAction(recentAnchor_, a);
        recentActions_.push_back(a);
    }
    UpdateCommandUi();
}

// A recent system is selected as "Select system" would select its row.
void CMainFrame::SelectRecent(int sysId) {
    if (!doc_ || doc_->linkState != LINK_OFF_LINE) return;
    std::optional<vm418::CSystemRset> row;
    if (vm418::readSystem(connectionText_, sysId, row) != 0 || !row) {
        MessageBox(QString("System %1 is no longer in the System table").arg(sysId));
        return;
    }
    doc_->HangUp();
    CloseDataViews();
    doc_->UseSystem(*row);
    RememberSystem(*row);
    if (frame_) frame_->setWindowTitle(view_->Caption());
    UpdateCommandUi();
}

void CMainFrame::About() {
    QMessageBox::about(this, "About 418vLINK",
                       QString("418vLINK\nVersion 1.0\n\nvm418station %1").arg(SUITE_VERSION));
}

void CMainFrame::NewDocument() {
    CloseDataViews();
    doc_ = std::make_unique<CVM418Doc>(
        *this, workFolder_.isEmpty() ? vm418::prepareWorkingFolder() : workFolder_);
    doc_->records.connectionText = connectionText_;
    view_ = new CVM418View(*doc_, [this](int id) { PostCommand(id); });
    frame_ = new CChildFrame([this] { PostCommand(ID_SELECT_SYSTEM); });
    frame_->setWidget(view_);
    frame_->setAttribute(Qt::WA_DeleteOnClose);
    // Closing the document's first frame hangs up, closes its alarm, history and parameter
    // views and the document: no protocol event can reach a document without frames.
    connect(frame_, &QObject::destroyed, this, &CMainFrame::CloseDocument);
    mdi_->addSubWindow(frame_);
    frame_->setWindowTitle(view_->Caption());
    frame_->resize(760, 460);
    frame_->show();
    UpdateCommandUi();
}

void CMainFrame::RunCommand(int id) {
    if (!doc_) return;
    if (id == ID_VIEW_ALARMS || id == ID_VIEW_HISTORY || id == ID_VIEW_PARAMETERS) {
        OpenDataView(id);
        return;
    }
    if (!doc_->IsCommandEnabled(id)) return;
    doc_->OnCommand(id);
    UpdateCommandUi();
}

void CMainFrame::MessageBox(const QString& text) {
    QMessageBox::information(this, "418vLINK", text);
}

void CMainFrame::SetStatusText(const QString& text) {
    message_->setText(text);
}

void CMainFrame::PostCommand(int id) {
    QTimer::singleShot(0, this, [this, id] { RunCommand(id); });
}

void CMainFrame::UpdateAllViews(int hint, int key, const QByteArray& frame) {
    if (view_) view_->OnUpdate(hint, frame);
    if (frame_ && view_ && hint == HINT_CONNECTION) frame_->setWindowTitle(view_->Caption());
    // Every update reaches the data views (their lamps follow the document); a change of the
    // link state also retitles their frames.
    for (auto& [id, dataFrame] : dataFrames_) {
        auto* v = dataFrame ? dynamic_cast<CStationView*>(dataFrame->widget()) : nullptr;
        if (!v) continue;
        v->OnUpdate(hint, key);
        if (hint == HINT_CONNECTION) dataFrame->setWindowTitle(v->Caption());
    }
    UpdateCommandUi();
}

CStationView* CMainFrame::DataView(int viewCommand) const {
    const auto it = dataFrames_.find(viewCommand);
    if (it == dataFrames_.end() || !it->second) return nullptr;
    return dynamic_cast<CStationView*>(it->second->widget());
}

CStationView* CMainFrame::ActiveDataView() const {
    QMdiSubWindow* active = mdi_->activeSubWindow();
    return active ? dynamic_cast<CStationView*>(active->widget()) : nullptr;
}

void CMainFrame::OpenDataView(int viewCommand) {
    if (!doc_) return;
    if (QPointer<CChildFrame>& open = dataFrames_[viewCommand]) {
        mdi_->setActiveSubWindow(open);
        return;
    }
    const auto post = [this](int id) { PostCommand(id); };
    CStationView* view = nullptr;
    QSize size(760, 520);
    switch (viewCommand) {
        case ID_VIEW_ALARMS:
            view = new CAlarmView(*doc_, post);
            break;
        case ID_VIEW_HISTORY:
            view = new CHistView(*doc_, post);
            size = QSize(640, 420);
            break;
        case ID_VIEW_PARAMETERS:
            view = new CParView(*doc_, post);
            size = QSize();  // the form's own size
            break;
        default:
            return;
    }
    auto* frame = new CChildFrame({});
    frame->setWidget(view);
    frame->setAttribute(Qt::WA_DeleteOnClose);
    mdi_->addSubWindow(frame);
    frame->resize(size.isValid() ? size : frame->sizeHint());
    dataFrames_[viewCommand] = frame;
    connect(frame, &QObject::destroyed, this, [this] { UpdateCommandUi(); });
    frame->setWindowTitle(view->Caption());
    frame->show();
    view->OnInitialUpdate();
    if (frame) frame->setWindowTitle(view->Caption());
    UpdateCommandUi();
}

void CMainFrame::CloseDataViews() {
    for (auto& [id, dataFrame] : dataFrames_)
        if (dataFrame) dataFrame->close();
    dataFrames_.clear();
}

bool CMainFrame::PrintViewToPdf(CStationView* view, const QString& path, QString* error) {
    if (!view) {
        if (error) *error = "No alarm, history or parameter view is active";
        return false;
    }
    QString why;
    const int pages = PrintPdfFile(
        path, doc_ ? doc_->title : QString(),
        [&](QPagedPaintDevice& device) {
            return view->Print(device, QDateTime::currentDateTime());
        },
        why);
    if (pages == 0 && error) *error = why.left(1).toUpper() + why.mid(1);
    return pages > 0;
}

namespace {
// The pages a printer's range names (all when it names none).
PageRange RangeOf(const QPrinter& printer) {
    if (printer.printRange() != QPrinter::PageRange || printer.fromPage() < 1) return {};
    return {printer.fromPage(), printer.toPage()};
}
}  // namespace

bool CMainFrame::PrintActiveView() {
    CStationView* view = ActiveDataView();
    return view && view->Print(*printer_, QDateTime::currentDateTime(), RangeOf(*printer_)) > 0;
}

void CMainFrame::Print(bool preview) {
    CStationView* view = ActiveDataView();
    if (!view) return;
    if (preview) {
        QPrintPreviewDialog dialog(printer_.get(), this);
        connect(&dialog, &QPrintPreviewDialog::paintRequested, this,
                [view](QPrinter* p) { view->Print(*p, QDateTime::currentDateTime()); });
        dialog.exec();
        return;
    }
    QPrintDialog dialog(printer_.get(), this);
    dialog.setOption(QAbstractPrintDialog::PrintPageRange);
    dialog.setMinMax(1, 9999);
    if (dialog.exec() == QDialog::Accepted) PrintActiveView();
}

void CMainFrame::PrintToPdf() {
    if (!ActiveDataView()) return;
    const QString path =
        QFileDialog::getSaveFileName(this, "Print to PDF", {}, "PDF files (*.pdf)");
    if (path.isEmpty()) return;
    QString error;
    if (!PrintViewToPdf(ActiveDataView(), path, &error)) MessageBox(error);
}

void CMainFrame::ExportAlarms(bool n42) {
    if (!doc_ || !dynamic_cast<CAlarmView*>(ActiveDataView())) return;
    const QString path =
        QFileDialog::getSaveFileName(this, n42 ? "Export N42" : "Export CSV", {},
                                     n42 ? "N42 files (*.n42 *.xml)" : "CSV files (*.csv)");
    if (path.isEmpty()) return;
    QSaveFile file(path);
    // The serial number and software version as the parameter view shows them.
    const QStringList shown = vm418::printValues(doc_->records.parameters);
    const QByteArray bytes = n42 ? vm418::alarmsN42(doc_->records.alarmMap,
                                                    {doc_->title, shown.value(0), shown.value(1)},
                                                    QDateTime::currentDateTime())
                                 : vm418::alarmsCsv(doc_->records.alarmMap).toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) < 0 || !file.commit())
        MessageBox("Cannot write " + path + ": " + file.errorString());
}

void CMainFrame::TransferOpened(FileTransferController& dialog) {
    transferDialog_ = std::make_unique<CFileTransDlg>(dialog, this);
    // Modal on the main frame: hanging up, selecting a system or stopping monitoring is not
    // reachable while a file comes in; Abort (also Esc and the close button) ends it.
    transferDialog_->setWindowModality(Qt::WindowModal);
    transferDialog_->show();
}

void CMainFrame::TransferChanged(const FileTransferController&, const ProtocolEvent*) {
    if (transferDialog_) transferDialog_->Refresh();
}

void CMainFrame::TransferClosed(const FileTransferController&) {
    transferDialog_.reset();
    UpdateCommandUi();
}

// A download that did not end with its file stored says why in the status bar.
void CMainFrame::DownloadEnded(const QString& caption, const QString& failure) {
    if (!failure.isEmpty()) SetStatusText(caption + ": failed - " + failure);
}

void CMainFrame::EditSerialSettings(std::string& port, LineSettings& line, std::string& init) {
    CSerialSettingsDlg dialog(port, line, init, this);
    if (dialog.exec() == QDialog::Accepted) dialog.TakeChoices(port, line);
    init = dialog.InitText().toStdString();
}

void CMainFrame::ChooseSystem(const QString& connectionText,
                              std::function<void(std::optional<vm418::CSystemRset>)> chosen) {
    CSystemsDlg dialog(connectionText, this);
    const bool selected = dialog.exec() == QDialog::Accepted;
    // "Select" with no row (an empty table) leaves the document without a system; closing
    // the dialog another way keeps the one it had.
    if (selected)
        chosen(dialog.Chosen() ? *dialog.Chosen() : vm418::CSystemRset{});
    else
        chosen(std::nullopt);
    if (selected && dialog.Chosen()) RememberSystem(*dialog.Chosen());
    if (frame_) frame_->setWindowTitle(view_->Caption());
    UpdateCommandUi();
}

bool CMainFrame::OpenDiscriminatorScreen() {
    return CDiscrDlg::Open(*doc_, this) != nullptr;
}

// A screen that has closed but is not yet deleted ignores what it is given.
void CMainFrame::DiscriminatorEvent(const ProtocolEvent& event) {
    if (auto* screen = findChild<CDiscrDlg*>()) screen->OnEvent(event);
}

}  // namespace station
