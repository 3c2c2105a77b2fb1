#include "station_dialogs.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QVBoxLayout>

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

}  // namespace station
