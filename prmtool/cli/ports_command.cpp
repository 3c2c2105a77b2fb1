#include "ports_command.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <vector>

#include "command_table.h"
#include "port_map.h"
#include "serial_devices.h"
#include "serial_port.h"

namespace prm {

namespace {

struct Change {
    int comNumber;
    bool map;        // else the mapping is taken out
    QString device;  // what the name is mapped to
};

void list(const PortMap& map, bool json, QTextStream& out) {
    QJsonArray names, devices;
    for (int n = PortService::kFirstPort; n <= PortService::kLastPort; ++n) {
        const QString name = QStringLiteral("COM%1").arg(n);
        const QString device = map.deviceForNumber(n);
        const QString variable = PortMap::overridingVariable(n);
        if (json) {
            QJsonObject entry{{"name", name}, {"device", device}};
            if (!variable.isEmpty()) entry["environment"] = variable;
            names.append(entry);
        } else {
            out << name.leftJustified(6) << ' ' << device;
            if (!variable.isEmpty()) out << "  (set by " << variable << ')';
            out << '\n';
        }
    }
    for (const auto& [device, what] : suite::SerialDevices()) {
        if (json)
            devices.append(QJsonObject{{"device", device}, {"what", what}});
        else
            out << device << "  (" << what << ")\n";
    }
    if (json)
        out << QJsonDocument(QJsonObject{{"names", names}, {"devices", devices}})
                   .toJson(QJsonDocument::Compact)
            << '\n';
}

}  // namespace

int runPortsCommand(const QStringList& args, QTextStream& out, QTextStream& err) {
    // Every change is read before any is made, so that a wrong one leaves the file as it was.
    const QString range =
        QStringLiteral("COM%1 to COM%2").arg(PortService::kFirstPort).arg(PortService::kLastPort);
    std::vector<Change> changes;
    bool json = false;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& option = args[i];
        if (option == "--json") {
            json = true;
            continue;
        }
        const QString value = args.value(++i);
        const bool map = option == "--map";
        const QString name = map ? value.section('=', 0, 0) : value;
        const int n = PortMap::comNumberOf(name);
        if (n < PortService::kFirstPort || n > PortService::kLastPort ||
            (map && !value.contains('=')))
            return refuseCommandLine(
                "ports",
                map ? option + " needs COMn=DEVICE with COMn from " + range + ", not '" + value +
                          '\''
                    : option + " needs a name from " + range + ", not '" + value + '\'',
                err);
        changes.push_back({n, map, map ? value.section('=', 1) : QString()});
    }

    for (const Change& c : changes)
        if (const QString why = c.map ? PortMap::checkDevice(c.device) : QString();
            !why.isEmpty()) {
            err << "prmctl ports: " << why << ", nothing changed\n";
            return kExitFailure;
        }

    const PortMap map;
    for (const Change& c : changes) {
        const QString name = QStringLiteral("COM%1").arg(c.comNumber);
        const QString why = c.map ? map.setMapping(c.comNumber, c.device)
                                  : map.removeMapping(c.comNumber);
        if (!why.isEmpty()) {
            err << "prmctl ports: " << name << ": " << why << '\n';
            return kExitFailure;
        }
        if (!json) {
            if (!c.map)
                out << name << " is " << PortMap::defaultDevice(c.comNumber)
                    << " (the default), not in " << map.iniPath() << '\n';
            else
                out << name << " is " << c.device.trimmed() << ", kept in " << map.iniPath()
                    << '\n';
            if (const QString variable = PortMap::overridingVariable(c.comNumber);
                !variable.isEmpty())
                out << variable << " overrides it while it is set\n";
        }
    }
    list(map, json, out);
    return kExitOk;
}

}  // namespace prm
