#include "station_dialogs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QVBoxLayout>
#include <algorithm>

#include "port_settings_text.h"
#include "port_transport.h"
#include "serial_devices.h"

namespace station {

CFileTransDlg::CFileTransDlg(FileTransferController& controller, QWidget* parent)
    : QDialog(parent), c_(controller) {
    setWindowTitle(QString::fromStdString(c_.caption));
    progress_ = new QProgressBar;
    block_ = new QLabel;
    lamp_ = new Lamp("Error");
    auto* abort = new QPushButton("Abort");
    auto* layout = new QVBoxLayout(this);
    if (!c_.compact) {
        auto* form = new QFormLayout;
        fileName_ = new QLineEdit(QString::fromStdString(c_.fileName));
        saveAs_ = new QLineEdit(QString::fromStdString(c_.saveAs));
        form->addRow("File name", fileName_);
        form->addRow("Save as", saveAs_);
        layout->addLayout(form);
    }
    layout->addWidget(progress_);
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel("Block"));
    row->addWidget(block_, 1);
    row->addWidget(lamp_);
    if (!c_.compact) {
        auto* start = new QPushButton("Start");
        row->addWidget(start);
        connect(start, &QPushButton::clicked, this, [this] {
            c_.fileName = fileName_->text().toStdString();
            c_.saveAs = saveAs_->text().toStdString();
            c_.Start();
        });
    }
    row->addWidget(abort);
    layout->addLayout(row);
    connect(abort, &QPushButton::clicked, this, [this] { c_.Abort(); });
    setMinimumWidth(360);
    Refresh();
}

void CFileTransDlg::reject() {
    c_.Abort();
}

void CFileTransDlg::Refresh() {
    progress_->setRange(c_.progressMin(), c_.progressMax());
    progress_->setValue(c_.progressPos());
    block_->setText(QString::fromStdString(c_.blockText()));
    lamp_->SetOn(c_.errorLamp());
}

CSystemsDlg::CSystemsDlg(const QString& connectionText, QWidget* parent)
    : QDialog(parent), connectionText_(connectionText) {
    setWindowTitle("418vLINK - Select system");
    grid_ = new QTableView;
    auto* model = new QSqlQueryModel(this);
    conn_ = std::make_unique<vm418::DbConnection>(connectionText);
    if (conn_->open())
        model->setQuery(QSqlQuery(
            R"(SELECT SysID, "Serial#", SystemDescription, Modem FROM System ORDER BY SysID)",
            conn_->db()));
    model->setHeaderData(1, Qt::Horizontal, "Serial#");
    model->setHeaderData(2, Qt::Horizontal, "System Name");
    model->setHeaderData(3, Qt::Horizontal, "Modem#");
    grid_->setModel(model);
    grid_->hideColumn(0);
    grid_->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid_->setSelectionMode(QAbstractItemView::SingleSelection);
    grid_->horizontalHeader()->setStretchLastSection(true);
    grid_->verticalHeader()->hide();
    if (model->rowCount() > 0) grid_->selectRow(0);
    auto* select = new QPushButton("Select");
    select->setDefault(true);
    connect(select, &QPushButton::clicked, this, &CSystemsDlg::Select);
    connect(grid_, &QTableView::doubleClicked, this, &CSystemsDlg::Select);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(grid_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(select);
    layout->addLayout(buttons);
    resize(460, 260);
}

CSystemsDlg::~CSystemsDlg() {
    // The model's query goes before its connection.
    delete grid_->model();
}

void CSystemsDlg::Select() {
    // The row the user selected in the grid; an empty table selects nothing but closes.
    const QModelIndex current = grid_->currentIndex();
    if (current.isValid()) {
        const int sysId = grid_->model()->index(current.row(), 0).data().toInt();
        std::optional<vm418::CSystemRset> row;
        if (vm418::readSystem(connectionText_, sysId, row) == 0) chosen_ = row;
    }
    accept();
}

namespace {
constexpr int kRates[] = {110,   300,   600,   1200,  2400,  4800,   9600,   14400,
                          19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000};
constexpr int kInitKept = 79;

// Selects the entry whose item data equals `value`.
void SelectData(QComboBox* box, int value) {
    const int i = box->findData(value);
    if (i >= 0) box->setCurrentIndex(i);
}
}  // namespace

CSerialSettingsDlg::CSerialSettingsDlg(const std::string& port, const LineSettings& line,
                                       const std::string& init, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle("Serial port settings");
    portBox = new QComboBox;
    portBox->setEditable(true);
    portBox->setInsertPolicy(QComboBox::NoInsert);
    portBox->lineEdit()->setMaxLength(static_cast<int>(kPortNameMax));
    portBox->addItems({"COM1", "COM2", "COM3", "COM4"});
    for (int i = 0; i < portBox->count(); ++i)
        portBox->setItemData(
            i, QString::fromStdString(ResolvePortName(portBox->itemText(i).toStdString())),
            Qt::ToolTipRole);
    for (const auto& [name, what] : suite::SerialDevices()) {
        portBox->addItem(name);
        portBox->setItemData(portBox->count() - 1, what, Qt::ToolTipRole);
    }
    portBox->lineEdit()->setPlaceholderText(
        "COM1, /dev/ttyUSB0, rfc2217://HOST:PORT or tcp://HOST:PORT");
    // The first entry that starts with the current name; a name no entry starts with
    // ("COM10", "ttyS0") stays as it is.
    const QString current = QString::fromStdString(port);
    portBox->setEditText(current);
    for (int i = 0; i < portBox->count(); ++i)
        if (!current.isEmpty() && portBox->itemText(i).startsWith(current)) {
            portBox->setCurrentIndex(i);
            break;
        }
    baudBox = new QComboBox;
    for (int rate : kRates)
        baudBox->addItem(QString::number(rate), rate);
    SelectData(baudBox, static_cast<int>(line.BaudRate));
    parityBox = new QComboBox;
    const std::pair<const char*, int> parities[] = {
        {"None", 0}, {"Even", 2}, {"Odd", 1}, {"Mark", 3}, {"Space", 4}};
    for (const auto& [text, code] : parities)
        parityBox->addItem(text, code);
    SelectData(parityBox, line.Parity);
    dataBitsBox = new QComboBox;
    for (int bits = 4; bits <= 8; ++bits)
        dataBitsBox->addItem(QString::number(bits), bits);
    SelectData(dataBitsBox, line.ByteSize);
    stopBitsBox = new QComboBox;
    stopBitsBox->addItem("1", 0);
    stopBitsBox->addItem("1.5", 1);
    stopBitsBox->addItem("2", 2);
    SelectData(stopBitsBox, line.StopBits);
    flowBox = new QComboBox;
    flowBox->addItems(
        {"Hardware ( RTS/CTS )", "Hardware ( DTR/DSR )", "Software  ( Xoff/Xon )", "None"});
    initialFlow_ = FlowChoice(line);
    flowBox->setCurrentIndex(initialFlow_);
    init_ = new QLineEdit(QString::fromStdString(init));
    init_->setMaxLength(kInitKept);

    auto* grid = new QGridLayout;
    const std::pair<const char*, QWidget*> rows[] = {
        {"Port", portBox},          {"Baud", baudBox},          {"Parity", parityBox},
        {"Data Bits", dataBitsBox}, {"Stop Bits", stopBitsBox}, {"Flow control", flowBox}};
    int r = 0;
    for (const auto& [label, box] : rows) {
        grid->addWidget(new QLabel(label), r, 0);
        grid->addWidget(box, r++, 1);
    }
    grid->addWidget(new QLabel("Initialization parameters"), r++, 0, 1, 2);
    grid->addWidget(init_, r++, 0, 1, 2);
    portInfo_ = new QLabel;
    portInfo_->setWordWrap(true);
    // Room for the longest text (a converter's, on two lines) from the start: the dialog
    // does not grow as the port is typed, so the text would run under the buttons.
    portInfo_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    portInfo_->setMinimumHeight(2 * portInfo_->fontMetrics().lineSpacing());
    grid->addWidget(portInfo_, r++, 0, 1, 2);
    connect(portBox, &QComboBox::editTextChanged, this, &CSerialSettingsDlg::ShowPortInfo);
    ShowPortInfo();
    problem_ = new QLabel;
    problem_->setStyleSheet("color: #b00000");
    problem_->hide();
    grid->addWidget(problem_, r++, 0, 1, 2);
    connect(portBox, &QComboBox::editTextChanged, problem_, &QLabel::hide);
    auto* buttons = new QDialogButtonBox;
    buttons->addButton("Ok", QDialogButtonBox::AcceptRole);
    buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &CSerialSettingsDlg::Ok);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(buttons);
}

QString CSerialSettingsDlg::PortProblem() const {
    const QString name = portBox->currentText().trimmed();
    if (name.isEmpty()) return QStringLiteral("Give the port's name, for example COM1");
    if (std::any_of(name.begin(), name.end(), [](QChar c) { return c.isSpace(); }))
        return QStringLiteral("The port name \"%1\" holds a blank; a port name has none").arg(name);
    if (IsNetworkPortName(name.toStdString())) {
        std::string error;
        if (!ParseNetworkPortName(name.toStdString(), &error)) return QString::fromStdString(error);
    }
    return {};
}

QString CSerialSettingsDlg::PortInfo() const {
    const std::string name = portBox->currentText().trimmed().toStdString();
    if (name.empty()) return {};
    const std::string target = ResolvePortName(name);
    std::string error;
    const auto address = ParseNetworkPortName(target, &error);
    if (address && address->kind == NetworkPortName::Rfc2217)
        return "A converter on the network (RFC 2217): these line settings are set on it";
    if (address)
        return "A converter on the network (raw TCP): the line runs with the converter's own "
               "settings";
    const int listed = portBox->findText(QString::fromStdString(name));
    const QString what =
        listed >= 0 ? portBox->itemData(listed, Qt::ToolTipRole).toString() : QString();
    if (target != name) return QString::fromStdString(name + " is " + target);
    return what;
}

void CSerialSettingsDlg::ShowPortInfo() {
    portInfo_->setText(PortInfo());
}

void CSerialSettingsDlg::Ok() {
    if (const QString problem = PortProblem(); !problem.isEmpty()) {
        problem_->setText(problem);
        problem_->show();
        portBox->setFocus();
        return;
    }
    accept();
}

void CSerialSettingsDlg::TakeChoices(std::string& port, LineSettings& line) const {
    if (PortProblem().isEmpty()) port = portBox->currentText().trimmed().toStdString();
    line.BaudRate = static_cast<uint32_t>(baudBox->currentData().toInt());
    line.Parity = static_cast<uint8_t>(parityBox->currentData().toInt());
    line.fParity = line.Parity != 0;
    line.StopBits = static_cast<uint8_t>(stopBitsBox->currentData().toInt());
    line.ByteSize = static_cast<uint8_t>(dataBitsBox->currentText().toInt());
    if (flowBox->currentIndex() != initialFlow_) ApplyFlowChoice(line, flowBox->currentIndex());
}

CTimePeriodDlg::CTimePeriodDlg(QDate from, QDate to, QWidget* parent)
    : QDialog(parent), from_(from), to_(to) {
    setWindowTitle("Select days");
    fromEdit = new QDateEdit(from);
    toEdit = new QDateEdit(to);
    fromEdit->setCalendarPopup(true);
    toEdit->setCalendarPopup(true);
    auto* ok = new QPushButton("OK");
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(new QLabel("From"));
    layout->addWidget(fromEdit);
    layout->addWidget(new QLabel("To"));
    layout->addWidget(toEdit);
    layout->addWidget(ok);
    connect(ok, &QPushButton::clicked, this, [this] {
        from_ = fromEdit->date();
        to_ = toEdit->date();
        accept();
    });
}

CDatePickDlg::CDatePickDlg(vm418::StationRecords* records, QWidget* parent)
    : QDialog(parent), records_(records) {
    setWindowTitle("Select date");
    list = new QListWidget;
    // Newest first, each row with its key: of two blocks stored in the same second, the
    // row chosen is the block loaded.
    if (records_ && records_->listStoredParameters(blocks_) == 0)
        for (const vm418::StoredParameters& b : blocks_)
            list->addItem(vm418::formatDbDate(b.DateTime));
    auto* buttons = new QDialogButtonBox;
    buttons->addButton("OK", QDialogButtonBox::AcceptRole);
    buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &CDatePickDlg::Ok);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list);
    layout->addWidget(buttons);
}

void CDatePickDlg::Ok() {
    // A line the user selected; the list's current line alone (the first, once it has the
    // focus) is no choice.
    const QList<QListWidgetItem*> selected = list->selectedItems();
    const int row = selected.isEmpty() ? -1 : list->row(selected.front());
    if (records_ && row >= 0 && row < static_cast<int>(blocks_.size()))
        loaded_ = records_->loadStoredParameters(blocks_[row].SeqNum) == 0;
    accept();
}

}  // namespace station
