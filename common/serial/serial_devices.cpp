#include "serial_devices.h"

#include <QSerialPortInfo>
#include <QStringList>
#include <filesystem>
#include <map>
#include <string>

namespace suite {

std::vector<std::pair<QString, QString>> SerialDevices() {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> byId;  // device -> stable name
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/dev/serial/by-id", ec)) {
        const fs::path target = fs::canonical(e.path(), ec);
        if (!ec) byId[target.string()] = e.path().string();
    }
    std::vector<std::pair<QString, QString>> out;
    for (const QSerialPortInfo& p : QSerialPortInfo::availablePorts()) {
        const std::string device = p.systemLocation().toStdString();
        const auto stable = byId.find(device);
        QStringList what;
        for (const QString& s : {p.description(), p.manufacturer()})
            if (!s.isEmpty() && !what.contains(s)) what << s;
        if (!p.serialNumber().isEmpty()) what << "serial number " + p.serialNumber();
        if (stable != byId.end()) what << p.systemLocation();
        out.emplace_back(QString::fromStdString(stable != byId.end() ? stable->second : device),
                         what.isEmpty() ? p.systemLocation() : what.join(", "));
    }
    return out;
}

}  // namespace suite
