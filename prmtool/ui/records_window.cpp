#include "records_window.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPrintDialog>
#include <QVBoxLayout>

#include "record_printer.h"

namespace prm {

using Button = RecordsController::Button;

TForm5::TForm5(Link& link, QWidget* parent) : QDialog(parent), controller_(link) {
    setWindowTitle(QStringLiteral("History and Alarms"));
    setWindowState(windowState() | Qt::WindowMaximized);
    auto* top = new QHBoxLayout(this);

    auto* history = new QGroupBox(QStringLiteral("History"), this);
    auto* historyLayout = new QVBoxLayout(history);
    log_ = new QPlainTextEdit(history);
    log_->setReadOnly(true);
    QFont mono(QStringLiteral("Courier New"));
    mono.setStyleHint(QFont::TypeWriter);
    mono.setBold(true);
    log_->setFont(mono);
    log_->setLineWrapMode(QPlainTextEdit::NoWrap);
    historyLayout->addWidget(log_);
    auto* mainMenu = new QPushButton(QStringLiteral("Main Menu"), history);
    historyLayout->addWidget(mainMenu);
    connect(mainMenu, &QPushButton::clicked, &controller_, &RecordsController::mainMenu);
    top->addWidget(history, 3);

    auto* side = new QVBoxLayout;
    for (RecordKind kind : {RecordKind::Alarms, RecordKind::Dose}) {
        const bool alarms = kind == RecordKind::Alarms;
        auto* group =
            new QGroupBox(alarms ? QStringLiteral("ALARMS") : QStringLiteral("DOSE"), this);
        auto* layout = new QVBoxLayout(group);
        const int first = alarms ? 0 : 4;
        for (int i = first; i < first + 4; ++i) {
            buttons_[i] = new QPushButton(group);
            layout->addWidget(buttons_[i]);
            connect(buttons_[i], &QPushButton::clicked, this,
                    [this, i] { controller_.click(static_cast<Button>(i)); });
            if (i == first + 2) {  // the file name box follows "Recording ON"
                fileNames_[static_cast<int>(kind)] =
                    new QLineEdit(controller_.fileName(kind), group);
                layout->addWidget(fileNames_[static_cast<int>(kind)]);
                connect(fileNames_[static_cast<int>(kind)], &QLineEdit::textChanged, this,
                        [this, kind](const QString& t) { controller_.setFileName(kind, t); });
            }
        }
        side->addWidget(group);
    }
    side->addStretch(1);
    top->addLayout(side, 1);

    controller_.setPrinterProvider([this](RecordKind k) { return choosePrinter(k); });
    connect(&controller_, &RecordsController::changed, this, &TForm5::render);
    connect(&controller_.log(), &ScreenLog::changed, this, &TForm5::render);
    connect(&controller_, &RecordsController::closeRequested, this, &QDialog::accept);
    render();
}

void TForm5::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    if (activated_) return;
    activated_ = true;
    controller_.activate();
    buttons_[static_cast<int>(Button::ReadAlarms)]->setFocus();
}

std::unique_ptr<RecordPrinter> TForm5::choosePrinter(RecordKind) {
    auto printer = QtRecordPrinter::makePrinter();
    QPrintDialog dialog(printer.get(), this);
    if (dialog.exec() != QDialog::Accepted) return nullptr;
    return std::make_unique<QtRecordPrinter>(std::move(printer));
}

void TForm5::render() {
    for (int i = 0; i < RecordsController::kButtonCount; ++i) {
        buttons_[i]->setText(controller_.buttonCaption(static_cast<Button>(i)));
        buttons_[i]->setEnabled(controller_.buttonEnabled(static_cast<Button>(i)));
    }
    const QString text = controller_.log().lines().join('\n');
    if (log_->toPlainText() != text) {
        log_->setPlainText(text);
        log_->moveCursor(QTextCursor::End);
    }
}

}  // namespace prm
