#pragma once

#include <QObject>
#include <QSerialPort>
#include <QString>

#include "port_map.h"
#include "serial_port_lock.h"

namespace prm {

// The serial port service of the tool: one HM-210 at 2400 bit/s, 8N1, DTR and RTS off, no
// flow control. Lives on the GUI thread; dataAvailable is the data-available event.
class PortService : public QObject {
    Q_OBJECT
  public:
    static constexpr int kBaudRate = 2400;
    static constexpr int kBufferSize = 4096;
    static constexpr int kFirstPort = 1;
    static constexpr int kLastPort = 6;

    explicit PortService(PortMap map = PortMap(), QObject* parent = nullptr);
    ~PortService() override;

    // 1..6; an open port is closed and reopened on the new number.
    void setPortNumber(int comNumber);
    int portNumber() const { return comNumber_; }
    // Uses a device path directly instead of a COM number (command-line tools).
    void setDevice(const QString& device);
    const PortMap& portMap() const { return map_; }
    QString comName() const;
    QString deviceName() const;
    // "COM3 (/dev/ttyUSB0)", or the device alone when it was given by path.
    QString portLabel() const;

    // Refused with "port in use by process N" while another program holds the device's
    // lock file, and with "port in use by another program" while one holds a flock on it.
    bool open();
    void close();
    bool isOpen() const { return port_.isOpen(); }
    // The last error message (empty after a successful open).
    QString lastError() const { return lastError_; }

    // Writes the bytes up to (not including) the first 0.
    qint64 writeString(const char* text);
    qint64 writeBlock(const void* data, int length);
    // Takes up to max received bytes; what is left stays in the port's buffer.
    QByteArray read(qint64 max);
    qint64 bytesAvailable() const { return port_.isOpen() ? port_.bytesAvailable() : 0; }

  signals:
    // Bytes wait in the port's buffer; read() takes them.
    void dataAvailable();
    // The port could not be opened or was lost while open; the message names the device.
    void portError(const QString& message);
    void portOpened(const QString& device);
    // The open port went away (adapter pulled, far side gone): what runs on it has ended.
    void portLost(const QString& message);

  private:
    void onErrorOccurred(QSerialPort::SerialPortError error);
    QString describeOpenFailure(QSerialPort::SerialPortError error) const;
    // Takes a flock on a descriptor of the device's own before the port touches the line
    // (so that a refusal leaves the holder's line settings alone): "" or why the device
    // cannot be had.
    QString lockDevice(const QString& device);
    void unlockDevice();

    PortMap map_;
    // One program per port: the lock file of the device (PRMTOOL_LOCK_DIR names another
    // lock folder), held while the port is open.
    suite::SerialPortLock lock_;
    // The descriptor that holds our flock on the device while the port is open, which keeps
    // out programs that lock ports that way.
    int deviceLock_ = -1;
    QSerialPort port_;
    int comNumber_ = kFirstPort;
    QString explicitName_;  // as the user gave it: "COM5" or a device path
    QString explicitDevice_;
    QString lastError_;
};

}  // namespace prm
