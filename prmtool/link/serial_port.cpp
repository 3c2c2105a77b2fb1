#include "serial_port.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcPort, "prmtool.port", QtWarningMsg)

namespace prm {

PortService::PortService(PortMap map, QObject* parent) : QObject(parent), map_(std::move(map)) {
    connect(&port_, &QSerialPort::readyRead, this, &PortService::dataAvailable);
    connect(&port_, &QSerialPort::errorOccurred, this, &PortService::onErrorOccurred);
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
    switch (error) {
        case QSerialPort::DeviceNotFoundError:
            return QStringLiteral("the device does not exist");
        case QSerialPort::PermissionError:
            return QStringLiteral(
                "permission denied or the port is in use (to use serial ports, add your user "
                "to the 'dialout' group)");
        default:
            return port_.errorString();
    }
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
    if (!port_.open(QIODevice::ReadWrite)) {
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
    if (port_.isOpen()) port_.close();
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
}

}  // namespace prm
