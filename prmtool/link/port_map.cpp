#include "port_map.h"

#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>

namespace prm {

namespace {
QByteArray envName(int comNumber) {
    return "PRMTOOL_COM" + QByteArray::number(comNumber);
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
    QSettings ini(iniPath_, QSettings::IniFormat);
    const QString fromIni =
        ini.value(QStringLiteral("Ports/COM%1").arg(comNumber)).toString().trimmed();
    if (!fromIni.isEmpty()) return fromIni;
    return QStringLiteral("/dev/ttyS%1").arg(comNumber - 1);
}

QString PortMap::resolve(const QString& name) const {
    static const QRegularExpression comName(QStringLiteral("^COM([1-9][0-9]?)$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const auto match = comName.match(name.trimmed());
    if (match.hasMatch()) return deviceForNumber(match.captured(1).toInt());
    return name;
}

void PortMap::setProcessOverride(int comNumber, const QString& device) {
    qputenv(envName(comNumber).constData(), device.toLocal8Bit());
}

}  // namespace prm
