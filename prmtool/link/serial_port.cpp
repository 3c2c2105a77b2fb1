#include "serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <cerrno>
#include <cstring>

Q_LOGGING_CATEGORY(lcPort, "prmtool.port", QtWarningMsg)

namespace prm {

namespace {

constexpr char kLockFolderVariable[] = "PRMTOOL_LOCK_DIR";

// QSerialPort keeps a lock file of its own: "LCK.." and the path below /dev with '/' as '_',
// in the first usable of the usual lock folders, holding the process id on its first line.
// For a device right under /dev in the usual folder that is the very file of the lock
// convention, which then cannot be taken twice by one program.
QString qtLockFile(const QString& device) {
    static const char* const kFolders[] = {"/var/lock",         "/etc/locks", "/var/spool/locks",
                                           "/var/spool/uucp",   "/tmp",       "/var/tmp",
                                           "/var/lock/lockdev", "/run/lock"};
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const char* folder : kFolders) {
        const QFileInfo info(QString::fromLatin1(folder));
        const QString path = info.filePath() + QStringLiteral("/LCK..") + name;
        if (info.isReadable() && (QFileInfo::exists(path) || info.isWritable())) return path;
    }
    return {};
}

bool sameFile(const QString& a, const QString& b) {
    const QFileInfo fa(a), fb(b);
    return QFileInfo(fa.absolutePath()).canonicalFilePath() ==
               QFileInfo(fb.absolutePath()).canonicalFilePath() &&
           fa.fileName() == fb.fileName();
}

}  // namespace

PortService::PortService(PortMap map, QObject* parent)
    : QObject(parent), map_(std::move(map)), lock_(kLockFolderVariable) {
    connect(&port_, &QSerialPort::readyRead, this, &PortService::dataAvailable);
    connect(&port_, &QSerialPort::errorOccurred, this, &PortService::onErrorOccurred);
}

PortService::~PortService() {
    close();
}

QString PortService::comName() const {
    return explicitName_.isEmpty() ? QStringLiteral("COM%1").arg(comNumber_) : explicitName_;
}

QString PortService::portLabel() const {
    const QString device = deviceName();
    return comName() == device ? device : QStringLiteral("%1 (%2)").arg(comName(), device);
}

QString PortService::deviceName() const {
    return explicitDevice_.isEmpty() ? map_.deviceForNumber(comNumber_) : explicitDevice_;
}

void PortService::setPortNumber(int comNumber) {
    if (comNumber < kFirstPort || comNumber > kLastPort) return;
    const bool wasOpen = port_.isOpen();
    if (wasOpen) close();
    comNumber_ = comNumber;
    explicitName_.clear();
    explicitDevice_.clear();
    if (wasOpen) open();
}

void PortService::setDevice(const QString& device) {
    const bool wasOpen = port_.isOpen();
    if (wasOpen) close();
    explicitName_ = device;
    explicitDevice_ = map_.resolve(device);
    if (wasOpen) open();
}

QString PortService::describeOpenFailure(QSerialPort::SerialPortError error) const {
    if (error == QSerialPort::DeviceNotFoundError)
        return QStringLiteral("the device does not exist");
    return port_.errorString();
}

QString PortService::lockDevice(const QString& device) {
    const int fd =
        ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        const QString reason = QString::fromLocal8Bit(std::strerror(err));
        switch (err) {
            case ENOENT:
            case ENODEV:
                return QStringLiteral("the device does not exist");
            case EACCES:
                return reason + QStringLiteral(
                                    " (to use serial ports, add your user to the 'dialout' group)");
            case EBUSY:  // held in exclusive mode
                return reason + QStringLiteral(" (port in use by another program)");
            default:
                return reason;
        }
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        return QStringLiteral("port in use by another program");
    }
    deviceLock_ = fd;
    return {};
}

void PortService::unlockDevice() {
    if (deviceLock_ >= 0) ::close(deviceLock_);
    deviceLock_ = -1;
}

bool PortService::open() {
    if (port_.isOpen()) return true;
    const QString device = deviceName();
    port_.setPortName(device);
    port_.setBaudRate(kBaudRate);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    port_.setReadBufferSize(kBufferSize);
    // A running program's lock keeps the port, whoever that program runs as; a lock left by
    // a program that has ended is removed.
    if (const std::string inUse = lock_.Acquire(device.toStdString()); !inUse.empty()) {
        lastError_ =
            QStringLiteral("Cannot open %1: %2").arg(portLabel(), QString::fromStdString(inUse));
        qCInfo(lcPort).noquote() << lastError_;
        emit portError(lastError_);
        return false;
    }
    if (!lock_.path().empty() &&
        sameFile(QString::fromStdString(lock_.path()), qtLockFile(device))) {
        // The port's own lock is this file: it takes it over at once, with our process id.
        lock_.Release();
    }
    if (const QString refused = lockDevice(device); !refused.isEmpty()) {
        lock_.Release();
        lastError_ = QStringLiteral("Cannot open %1: %2").arg(portLabel(), refused);
        qCInfo(lcPort).noquote() << lastError_;
        emit portError(lastError_);
        return false;
    }
    if (!port_.open(QIODevice::ReadWrite)) {
        unlockDevice();
        lock_.Release();
        lastError_ = QStringLiteral("Cannot open %1: %2")
                         .arg(portLabel(), describeOpenFailure(port_.error()));
        port_.clearError();
        qCInfo(lcPort).noquote() << lastError_;
        emit portError(lastError_);
        return false;
    }
    // A pseudo-terminal has no modem lines; failing to clear them there is no error.
    if (!port_.setDataTerminalReady(false) || !port_.setRequestToSend(false)) {
        qCDebug(lcPort) << "DTR/RTS not settable on" << device;
        port_.clearError();
    }
    lastError_.clear();
    qCInfo(lcPort).noquote() << "opened" << comName() << device;
    emit portOpened(device);
    return true;
}

void PortService::close() {
    // The port leaves exclusive mode as it closes.
    if (port_.isOpen()) port_.close();
    unlockDevice();
    lock_.Release();
}

qint64 PortService::writeString(const char* text) {
    return writeBlock(text, static_cast<int>(qstrlen(text)));
}

qint64 PortService::writeBlock(const void* data, int length) {
    if (!port_.isOpen()) return -1;
    return port_.write(static_cast<const char*>(data), length);
}

QByteArray PortService::read(qint64 max) {
    if (!port_.isOpen() || max <= 0) return {};
    return port_.read(max);
}

void PortService::onErrorOccurred(QSerialPort::SerialPortError error) {
    // Open failures are reported by open(); here only a port lost while open matters: a
    // USB adapter pulled out gives a resource error, a line whose far side went away (a
    // stopped simulator, a hung-up terminal) read errors without an errno of their own.
    const bool lost = error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
                      error == QSerialPort::WriteError;
    if (!lost || !port_.isOpen()) return;
    QString reason = port_.errorString();
    if (reason.isEmpty() || reason == QLatin1String("Unknown error")) {
        reason = QStringLiteral("the line hung up");
    }
    port_.clearError();
    close();
    lastError_ = QStringLiteral("%1 was lost: %2. Reconnect the monitor and open the port again.")
                     .arg(portLabel(), reason);
    qCWarning(lcPort).noquote() << lastError_;
    emit portError(lastError_);
    emit portLost(lastError_);
}

}  // namespace prm
