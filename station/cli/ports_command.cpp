// vm418ctl ports [--json]: what a port name of a system stands for on this machine. COM1 to
// COM6 with the device each resolves to (VM418_COMn, else the port map's [Ports] section,
// else /dev/ttyS(n-1)), then every serial device the system reports, with what it is.
#include "ports_command.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <string>

#include "serial.h"
#include "serial_devices.h"

namespace station::cli {

namespace {

constexpr int kComNames = 6;

int RunPorts(const Invocation& call) {
    const bool json = call.args.has(QStringLiteral("--json"));
    QJsonArray names, devices;
    for (int n = 1; n <= kComNames; ++n) {
        const QString name = QStringLiteral("COM%1").arg(n);
        const QString device = QString::fromStdString(ResolvePortName(name.toStdString()));
        if (json)
            names.append(QJsonObject{{"name", name}, {"device", device}});
        else
            std::printf("%-6s %s\n", qPrintable(name), qPrintable(device));
    }
    for (const auto& [device, what] : suite::SerialDevices()) {
        if (json)
            devices.append(QJsonObject{{"device", device}, {"what", what}});
        else
            std::printf("%s  (%s)\n", qPrintable(device), qPrintable(what));
    }
    if (json)
        std::printf("%s\n", QJsonDocument(QJsonObject{{"names", names}, {"devices", devices}})
                                .toJson(QJsonDocument::Compact)
                                .constData());
    return kExitOk;
}

}  // namespace

const CommandSpec kPortsCommand{
    "ports",
    "[--json]",
    "COM1 to COM6 with the device each stands for (VM418_COMn, else the port map), then the\n"
    "machine's serial devices with what each is. A converter's tcp://HOST:PORT or\n"
    "rfc2217://HOST:PORT is a port name of its own.",
    0,
    {kJsonOption},
    RunPorts};

}  // namespace station::cli
