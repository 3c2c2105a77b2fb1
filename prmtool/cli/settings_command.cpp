#include "settings_command.h"

#include <QEventLoop>
#include <QTimer>
#include <algorithm>

#include "settings.h"

namespace prm {

namespace {

using Option = SettingsController::Option;

// A read or write that has neither finished nor failed by then has lost its data.
constexpr int kReadTimeoutMs = 5000;
constexpr int kWriteTimeoutMs = 4000;

const char* const kDoseUnitNames[] = {"Gy/hr", "R/hr", "Sv/hr"};

struct OptionName {
    const char* name;
    Option option;
};
const OptionName kOptionNames[] = {
    {"vibrator", Option::Vibrator},
    {"buzzer", Option::Buzzer},
    {"key_beep", Option::KeyBeep},
    {"backlight", Option::Backlight},
};

struct FieldName {
    const char* name;
    Field field;
    bool writable;
};
const FieldName kFieldNames[] = {
    {"contrast_coarse", Field::ContrastCoarse, true},
    {"contrast_fine", Field::ContrastFine, true},
    {"lcd_temperature", Field::LcdTemperature, false},
    {"gamma_discriminator", Field::GammaDiscr, true},
    {"neutron_discriminator", Field::NeutronDiscr, true},
    {"gamma_alarm", Field::GammaAlarm, true},
    {"neutron_alarm", Field::NeutronAlarm, true},
    {"danger_gamma", Field::DangerGamma, true},
    {"danger_neutron", Field::DangerNeutron, true},
    {"serial_number", Field::SerialNumber, true},
    {"software_version", Field::SoftwareVersion, false},
    {"temperature", Field::Temperature, false},
    {"battery", Field::Battery, false},
    {"clock", Field::Clock, false},
};

QString allNames() {
    QStringList names;
    for (const auto& o : kOptionNames)
        names << o.name;
    names << "dose_units";
    for (const auto& f : kFieldNames)
        names << f.name;
    return names.join(", ");
}

void printSettings(const SettingsController& ctl, QTextStream& out) {
    for (const auto& o : kOptionNames) {
        out << o.name << ": " << (ctl.option(o.option) ? "ON" : "OFF") << '\n';
    }
    out << "dose_units: " << kDoseUnitNames[ctl.doseUnitItem()] << '\n';
    for (const auto& f : kFieldNames) {
        out << f.name << ": " << ctl.fieldText(f.field).trimmed() << '\n';
    }
    out.flush();
}

// Runs the event loop until the controller reports the end of the exchange.
bool waitFor(SettingsController& ctl, bool write, int timeoutMs, QString* error) {
    QEventLoop loop;
    bool ok = false;
    QObject scope;
    if (write) {
        QObject::connect(&ctl, &SettingsController::settingsWritten, &scope, [&] {
            ok = true;
            loop.quit();
        });
    } else {
        QObject::connect(&ctl, &SettingsController::settingsRead, &scope, [&] {
            ok = true;
            loop.quit();
        });
    }
    QObject::connect(&ctl, &SettingsController::errorShown, &scope, [&](const QString& text) {
        *error = text;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &scope, [&] {
        *error = write ? QStringLiteral("No status from HM-210 after the settings block")
                       : QStringLiteral("No or short data from HM-210");
        loop.quit();
    });
    loop.exec();
    return ok;
}

bool parseOnOff(const QString& v, bool* on) {
    const QString s = v.trimmed().toLower();
    if (s == "on" || s == "1") {
        *on = true;
        return true;
    }
    if (s == "off" || s == "0") {
        *on = false;
        return true;
    }
    return false;
}

// Applies one NAME=VALUE to the editor. Returns an empty text or the reason for refusal.
QString applyAssignment(SettingsController& ctl, const QString& name, const QString& value) {
    for (const auto& o : kOptionNames) {
        if (name != o.name) continue;
        bool on = false;
        if (!parseOnOff(value, &on)) return QStringLiteral("expected ON or OFF");
        if (ctl.option(o.option) != on) ctl.toggleOption(o.option);
        return {};
    }
    if (name == "dose_units") {
        for (int i = 0; i < 3; ++i) {
            if (value.compare(kDoseUnitNames[i], Qt::CaseInsensitive) == 0) {
                ctl.chooseDoseUnit(i);
                return {};
            }
        }
        return QStringLiteral("expected Gy/hr, R/hr or Sv/hr");
    }
    for (const auto& f : kFieldNames) {
        if (name != f.name) continue;
        if (!f.writable) return QStringLiteral("the field is read-only");
        if (f.field == Field::ContrastCoarse || f.field == Field::ContrastFine) {
            const bool coarse = f.field == Field::ContrastCoarse;
            const int lo = coarse ? SettingsController::kCoarseMin : SettingsController::kFineMin;
            const int hi = coarse ? SettingsController::kCoarseMax : SettingsController::kFineMax;
            const auto v = parseInteger(value);
            if (!v || *v < lo || *v > hi)
                return QStringLiteral("expected %1 to %2").arg(lo).arg(hi);
        }
        QString refusal;
        QObject scope;
        QObject::connect(&ctl, &SettingsController::validationMessage, &scope,
                         [&](const QString& text) { refusal = text; });
        // A value given on the command line is complete: an empty one is judged at once.
        ctl.setFieldText(f.field, value);
        ctl.leaveField(f.field);
        return refusal;
    }
    return QStringLiteral("unknown setting (known: %1)").arg(allNames());
}

int readSettings(SettingsController& ctl, bool defaults, QTextStream& err) {
    QString error;
    if (defaults) {
        ctl.displayDefaultSettings();
    } else {
        ctl.displayUserSettings();
    }
    if (!waitFor(ctl, false, kReadTimeoutMs, &error)) {
        err << "prmctl: " << error << '\n';
        return 1;
    }
    return 0;
}

}  // namespace

int runSettingsCommand(Link& link, const QStringList& args, QTextStream& out, QTextStream& err) {
    const QString verb = args.value(0);
    SettingsController ctl(link);
    QObject::connect(&ctl, &SettingsController::validationMessage, &ctl, [&](const QString& t) {
        err << "MESSAGE: " << t << '\n';
        err.flush();
    });
    ctl.activate(false);

    if (verb == "read") {
        const bool defaults = args.value(1) == "--default";
        if (args.size() > (defaults ? 2 : 1)) {
            err << "prmctl: settings read takes only --default\n";
            return 2;
        }
        if (const int rc = readSettings(ctl, defaults, err)) return rc;
        printSettings(ctl, out);
        return 0;
    }
    if (verb != "write" || args.size() < 2) {
        err << "prmctl: expected 'settings read [--default]' or 'settings write NAME=VALUE ...'\n";
        return 2;
    }

    // Check the assignments' form before anything goes on the line.
    QList<QPair<QString, QString>> assignments;
    for (const QString& a : args.mid(1)) {
        const qsizetype eq = a.indexOf('=');
        if (eq <= 0) {
            err << "prmctl: '" << a << "' is not NAME=VALUE\n";
            return 2;
        }
        assignments.append({a.left(eq), a.mid(eq + 1)});
    }
    if (const int rc = readSettings(ctl, false, err)) return rc;

    for (const auto& [name, value] : assignments) {
        const QString refusal = applyAssignment(ctl, name, value);
        if (!refusal.isEmpty()) {
            err << "prmctl: " << name << '=' << value << " refused: " << refusal
                << "; nothing was written\n";
            return 1;
        }
    }
    QString error;
    ctl.saveUserSettings();
    if (!waitFor(ctl, true, kWriteTimeoutMs, &error)) {
        err << "prmctl: " << error << '\n';
        return 1;
    }
    const auto written = ctl.lastWriteBlock();
    if (const int rc = readSettings(ctl, false, err)) return rc;
    // The first twelve bytes have the same layout in both blocks; the serial number goes
    // out binary and comes back as four characters.
    bool confirmed = false;
    {
        auto guard = link.lock();
        const auto& back = link.state().replyData;
        confirmed = std::equal(written.begin(), written.begin() + 12, back.begin());
    }
    const long serial = static_cast<uint16_t>(written[12] | (written[13] << 8));
    confirmed = confirmed && parseInteger(ctl.fieldText(Field::SerialNumber)) == serial;
    printSettings(ctl, out);
    if (!confirmed) {
        err << "prmctl: HM-210 did not keep the settings written\n";
        return 1;
    }
    out << "written and confirmed\n";
    return 0;
}

}  // namespace prm
