#include "port_map.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>

namespace prm {

namespace {
QByteArray envName(int comNumber) {
    return "PRMTOOL_COM" + QByteArray::number(comNumber);
}

// A terminal line: a device of the kernel's tty class (serial ports, USB adapters) or the far
// side of a pseudo-terminal (a simulator, a bridge), which sysfs does not list. The
// controlling terminal, the console and the pty master (major 5) are no line of their own.
bool isTerminalLine(dev_t device) {
    constexpr unsigned kPtySlaveFirstMajor = 136, kPtySlaveLastMajor = 143, kTtyAuxMajor = 5;
    const unsigned maj = major(device);
    if (maj >= kPtySlaveFirstMajor && maj <= kPtySlaveLastMajor) return true;
    const QString subsystem =
        QStringLiteral("/sys/dev/char/%1:%2/subsystem").arg(maj).arg(minor(device));
    return maj != kTtyAuxMajor && QFileInfo(subsystem).canonicalFilePath().endsWith("/class/tty");
}

QString iniKey(int comNumber) {
    return QStringLiteral("Ports/COM%1").arg(comNumber);
}

// Writes the file now; "" or why it could not be written.
QString store(QSettings& ini) {
    ini.sync();
    if (ini.status() == QSettings::NoError) return {};
    return QStringLiteral("cannot write the port map %1").arg(ini.fileName()) +
           (ini.status() == QSettings::FormatError ? QStringLiteral(": it is not an INI file")
                                                   : QString());
}
}  // namespace

QString PortMap::defaultIniPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           "/prmtool/ports.ini";
}

PortMap::PortMap(QString iniPath) : iniPath_(std::move(iniPath)) {}

QString PortMap::deviceForNumber(int comNumber) const {
    const QByteArray fromEnv = qgetenv(envName(comNumber).constData());
    if (!fromEnv.isEmpty()) return QString::fromLocal8Bit(fromEnv);
    const QString fromIni = mappingInFile(comNumber);
    if (!fromIni.isEmpty()) return fromIni;
    return defaultDevice(comNumber);
}

QString PortMap::defaultDevice(int comNumber) {
    return QStringLiteral("/dev/ttyS%1").arg(comNumber - 1);
}

QString PortMap::mappingInFile(int comNumber) const {
    QSettings ini(iniPath_, QSettings::IniFormat);
    return ini.value(iniKey(comNumber)).toString().trimmed();
}

QString PortMap::overridingVariable(int comNumber) {
    const QByteArray name = envName(comNumber);
    return qEnvironmentVariableIsEmpty(name.constData()) ? QString() : QString::fromLatin1(name);
}

int PortMap::comNumberOf(const QString& name) {
    static const QRegularExpression comName(QStringLiteral("^COM([1-9][0-9]?)$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const auto match = comName.match(name.trimmed());
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

QString PortMap::resolve(const QString& name) const {
    if (const int n = comNumberOf(name)) return deviceForNumber(n);
    return name;
}

QString PortMap::checkDevice(const QString& device) {
    // A name that is no device would fail later, on opening, far from where it was typed.
    const QString path = device.trimmed();
    struct stat st {};
    if (path.isEmpty()) return QStringLiteral("no device given");
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("%1 does not exist").arg(path);
    if (!S_ISCHR(st.st_mode) || !isTerminalLine(st.st_rdev))
        return QStringLiteral("%1 is not a serial device").arg(path);
    return {};
}

QString PortMap::setMapping(int comNumber, const QString& device) const {
    if (const QString why = checkDevice(device); !why.isEmpty()) return why;
    QSettings ini(iniPath_, QSettings::IniFormat);
    ini.setValue(iniKey(comNumber), device.trimmed());
    return store(ini);
}

QString PortMap::removeMapping(int comNumber) const {
    QSettings ini(iniPath_, QSettings::IniFormat);
    if (!ini.contains(iniKey(comNumber))) return {};
    ini.remove(iniKey(comNumber));
    return store(ini);
}

void PortMap::setProcessOverride(int comNumber, const QString& device) {
    qputenv(envName(comNumber).constData(), device.toLocal8Bit());
}

}  // namespace prm
