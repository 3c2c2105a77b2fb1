#include "main_frame.h"

#include <QApplication>
#include <QMenuBar>
#include <QMessageBox>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>

#include "discr_dialog.h"
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
    mdi_ = new QMdiArea;
    setCentralWidget(mdi_);
    message_ = new QLabel("Ready");
    statusBar()->addWidget(message_, 1);
    for (const char* indicator : {"CAP", "NUM", "SCRL"})
        statusBar()->addPermanentWidget(new QLabel(indicator));
    BuildMenus();
    resize(900, 640);
}

CMainFrame::~CMainFrame() {
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
    system->addAction("Change period of displayed data")->setEnabled(false);
    system->addSeparator();
    system->addAction("Print...")->setEnabled(false);
    system->addAction("Print Preview")->setEnabled(false);
    system->addAction("Print Setup...")->setEnabled(false);
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
    QMenu* help = menuBar()->addMenu("&Help");
    help->addAction("&About 418vLINK...", this, &CMainFrame::About);
    // The commands of the unnamed menu: posted by the views' buttons and the document.
    AddCommand(nullptr, ID_GET_SPECIFIC_FILE, "Get specific file");
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

void CMainFrame::UpdateCommandUi() {
    for (auto& [id, action] : actions_)
        action->setEnabled(doc_ ? doc_->IsCommandEnabled(id) : id == ID_SELECT_SYSTEM);
}

namespace {
constexpr int kRecentKept = 4;
constexpr char kRecentGroup[] = "Recent File List";

// The program's settings, in the user's configuration folder.
QSettings ProgramSettings() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope,
                     "Local AppWizard-Generated Applications", "418vLINK");
}
}  // namespace

QStringList CMainFrame::RecentSystems() const {
    QSettings settings = ProgramSettings();
    settings.beginGroup(kRecentGroup);
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
    settings.beginGroup(kRecentGroup);
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
    doc_->UseSystem(*row);
    RememberSystem(*row);
    if (frame_) frame_->setWindowTitle(view_->Caption());
    UpdateCommandUi();
}

void CMainFrame::About() {
    QMessageBox::about(this, "About 418vLINK", "418vLINK\nVersion 1.0");
}

void CMainFrame::NewDocument() {
    doc_ = std::make_unique<CVM418Doc>(
        *this, workFolder_.isEmpty() ? vm418::prepareWorkingFolder() : workFolder_);
    doc_->records.connectionText = connectionText_;
    view_ = new CVM418View(*doc_, [this](int id) { PostCommand(id); });
    frame_ = new CChildFrame([this] { PostCommand(ID_SELECT_SYSTEM); });
    frame_->setWidget(view_);
    frame_->setAttribute(Qt::WA_DeleteOnClose);
    mdi_->addSubWindow(frame_);
    frame_->setWindowTitle(view_->Caption());
    frame_->resize(760, 460);
    frame_->show();
    UpdateCommandUi();
}

void CMainFrame::RunCommand(int id) {
    if (!doc_) return;
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

void CMainFrame::UpdateAllViews(int hint, int, const QByteArray& frame) {
    if (view_) view_->OnUpdate(hint, frame);
    if (frame_ && hint == HINT_CONNECTION) frame_->setWindowTitle(view_->Caption());
    UpdateCommandUi();
}

void CMainFrame::TransferOpened(FileTransferController& dialog) {
    transferDialog_ = std::make_unique<CFileTransDlg>(dialog, this);
    transferDialog_->show();
}

void CMainFrame::TransferChanged(const FileTransferController&, const ProtocolEvent*) {
    if (transferDialog_) transferDialog_->Refresh();
}

void CMainFrame::TransferClosed(const FileTransferController&) {
    transferDialog_.reset();
    UpdateCommandUi();
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
    chosen(selected ? dialog.Chosen() : std::nullopt);
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
