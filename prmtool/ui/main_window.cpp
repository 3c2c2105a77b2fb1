#include "main_window.h"

#include <QApplication>
#include <QEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "port_window.h"
#include "program_icon.h"
#include "records_window.h"
#include "settings_window.h"
#include "suite_version.h"
#include "testconsole_window.h"

namespace prm {

namespace {

constexpr int kDesignWidth = 808;
constexpr int kDesignHeight = 608;
const QRect kPictureRect(22, 47, 427, 442);
const char* const kPictureFile = "HM-210.bmp";

QLabel* addLabel(QWidget* parent, QLayout* layout, const QString& text, int pointSize) {
    auto* label = new QLabel(text, parent);
    label->setFont(QFont(QStringLiteral("Arial Black"), pointSize, QFont::Bold));
    label->setAlignment(Qt::AlignHCenter);
    layout->addWidget(label);
    return label;
}

// Shown when "HM-210.bmp" is missing: a neutral frame that names the picture.
QPixmap placeholderPicture(const QSize& size) {
    QPixmap pixmap(size);
    pixmap.fill(QColor(0xEE, 0xEE, 0xEE));
    QPainter p(&pixmap);
    p.setPen(QPen(QColor(0x99, 0x99, 0x99), 2, Qt::DashLine));
    p.drawRect(pixmap.rect().adjusted(1, 1, -2, -2));
    p.setPen(QColor(0x66, 0x66, 0x66));
    p.drawText(pixmap.rect(), Qt::AlignCenter, QStringLiteral("HM-210\n(picture not found)"));
    return pixmap;
}

}  // namespace

TForm1::TForm1(Link& link, QWidget* parent) : QMainWindow(parent), link_(link) {
    setWindowTitle(QStringLiteral("Monitor HM-210"));
    setWindowIcon(suite::programIcon(QStringLiteral("prmtool")));
    auto* central = new QWidget(this);
    setCentralWidget(central);
    resize(kDesignWidth, kDesignHeight);

    // The menu: five top-level items, no sub-menus.
    QMenuBar* bar = menuBar();
    connect(bar->addAction(QStringLiteral("COMx")), &QAction::triggered, this,
            &TForm1::openPortWindow);
    connect(bar->addAction(QStringLiteral("Tests")), &QAction::triggered, this, &TForm1::openTests);
    connect(bar->addAction(QStringLiteral("Setting")), &QAction::triggered, this,
            &TForm1::openSettings);
    connect(bar->addAction(QStringLiteral("History")), &QAction::triggered, this,
            &TForm1::openHistory);
    connect(bar->addAction(QStringLiteral("Exit")), &QAction::triggered, this, &QWidget::close);
    auto* aboutButton = new QToolButton(bar);
    aboutButton->setObjectName(QStringLiteral("about"));
    aboutButton->setText(QStringLiteral("About"));
    aboutButton->setAutoRaise(true);
    connect(aboutButton, &QToolButton::clicked, this, &TForm1::about);
    bar->setCornerWidget(aboutButton, Qt::TopRightCorner);

    // The picture at its place on the left, the labels in a column beside it.
    auto* row = new QHBoxLayout(central);
    row->setContentsMargins(kPictureRect.left(), kPictureRect.top(), 22, 22);
    pictureLabel_ = new QLabel(central);
    pictureLabel_->setFixedSize(kPictureRect.size());
    row->addWidget(pictureLabel_, 0, Qt::AlignTop);
    loadPicture();
    auto* column = new QVBoxLayout;
    row->addLayout(column, 1);
    addLabel(central, column, QStringLiteral("MONITOR 210 "), 32);
    addLabel(central, column, QStringLiteral("Version 1V7"), 19);
    column->addStretch(1);
    addLabel(central, column, QStringLiteral("Remote Control Software"), 19);
    addLabel(central, column, QStringLiteral("For HM-210"), 19);
    addLabel(central, column, QStringLiteral("Personal Radiation Monitor"), 19);
    column->addStretch(1);
    addLabel(central, column, QStringLiteral("Norvale"), 32);
    column->addStretch(2);

    portLabel_ = new QLabel(this);
    statusBar()->addWidget(portLabel_, 1);
    // Queued: a port can fail inside a reply handler, and the box must not open in there.
    connect(&link_, &Link::notice, this, &TForm1::onNotice, Qt::QueuedConnection);
    connect(&link_.port(), &PortService::portOpened, this, &TForm1::showPortStatus);
    showPortStatus();
}

void TForm1::loadPicture() {
    const QString programDir = QCoreApplication::applicationDirPath();
    const QString besideProgram = programDir + '/' + kPictureFile;
    // Installed: <prefix>/bin/prmtool and <prefix>/share/prmtool/HM-210.bmp.
    const QString installed = programDir + "/../share/prmtool/" + kPictureFile;
    for (const QString& path : {QString::fromLatin1(kPictureFile), besideProgram, installed}) {
        if (QFileInfo::exists(path) && picture_.load(path)) {
            pictureLoaded_ = true;
            break;
        }
    }
    if (!pictureLoaded_) picture_ = placeholderPicture(kPictureRect.size());
    pictureLabel_->setPixmap(picture_);
}

QString TForm1::portStatus() const {
    return portLabel_->text();
}

void TForm1::showPortStatus() {
    PortService& port = link_.port();
    portLabel_->setText(port.isOpen() ? QStringLiteral("%1 open").arg(port.portLabel())
                                      : port.lastError());
}

void TForm1::onNotice(const QString& message) {
    showPortStatus();
    if (!link_.port().lastError().isEmpty()) portLabel_->setText(message);
    // Each distinct trouble is told once in a box; the status bar keeps showing it.
    if (message == lastReportedError_) return;
    lastReportedError_ = message;
    QWidget* parent = QApplication::activeModalWidget() ? QApplication::activeModalWidget() : this;
    QMessageBox::warning(parent, QStringLiteral("Monitor HM-210"), message);
}

bool TForm1::event(QEvent* e) {
    const bool handled = QMainWindow::event(e);
    // A window system may activate this window while a screen is still opening above it
    // (its first read runs before it is modal): the activation steps would empty the ring
    // and reset the state under it. They run when the screen has closed instead.
    if (e->type() == QEvent::WindowActivate && !screenOpen_) activateLink();
    return handled;
}

void TForm1::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    // Without a window manager nothing activates the window: the port opens all the same.
    if (!activated_) QTimer::singleShot(0, this, &TForm1::activateLink);
}

template <typename Screen>
void TForm1::runScreen(Screen& window) {
    // One screen at a time; the activation steps follow its close, as the window's own
    // activation would (which a window system without a manager does not report).
    screenOpen_ = true;
    window.exec();
    screenOpen_ = false;
    activateLink();
}

void TForm1::activateLink() {
    if (activating_) return;  // the tick delay below lets a new activation in
    activating_ = true;
    activated_ = true;
    link_.resetRing();
    {
        auto guard = link_.lock();
        link_.state().settingsLoaded = false;
    }
    link_.ensureWorker();
    if (link_.port().open()) lastReportedError_.clear();
    showPortStatus();
    Link::tickDelay(kSettleTicks);
    {
        auto guard = link_.lock();
        link_.state().state = 0;
        link_.state().activeScreen = kScreenMain;
    }
    activating_ = false;
}

void TForm1::openPortWindow() {
    if (screenOpen_) return;
    TForm3 window(link_.port(), this);
    runScreen(window);
    showPortStatus();
}

void TForm1::openSettings() {
    if (screenOpen_) return;
    TForm4 window(link_, this);
    settingsWindow = &window;
    runScreen(window);
}

void TForm1::openTests() {
    if (screenOpen_) return;
    TForm2 window(link_, this);
    testsWindow = &window;
    runScreen(window);
}

void TForm1::openHistory() {
    if (screenOpen_) return;
    TForm5 window(link_, this);
    recordsWindow = &window;
    runScreen(window);
}

void TForm1::about() {
    QMessageBox::about(this, QStringLiteral("About prmtool"),
                       QStringLiteral("prmtool %1\n\nService and set-up tool of the HM-210 "
                                      "personal radiation monitor")
                           .arg(QStringLiteral(SUITE_VERSION)));
}

}  // namespace prm
