#include "records_command.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include "record_printer.h"
#include "records.h"

namespace prm {

namespace {

using Button = RecordsController::Button;

// A monitor out of its dock is asked again and again; the command gives up after this.
constexpr int kDefaultTimeoutS = 20;

void usage(QTextStream& err) {
    err << "usage: prmctl records read alarms|dose [--file F] [--pdf F] [--timeout S]\n"
           "       prmctl records clear alarms|dose [--timeout S]\n";
}

}  // namespace

int runRecordsCommand(Link& link, const QStringList& args, QTextStream& out, QTextStream& err) {
    const QString verb = args.value(0);
    const QString what = args.value(1);
    if ((verb != "read" && verb != "clear") || (what != "alarms" && what != "dose")) {
        usage(err);
        return 2;
    }
    const bool alarms = what == "alarms";
    const RecordKind kind = alarms ? RecordKind::Alarms : RecordKind::Dose;
    QString file;
    QString pdf;
    int timeoutS = kDefaultTimeoutS;
    for (int i = 2; i < args.size(); ++i) {
        const QString opt = args[i];
        if (i + 1 >= args.size()) {
            usage(err);
            return 2;
        }
        const QString value = args[++i];
        if (opt == "--file" && verb == "read") {
            file = value;
        } else if (opt == "--pdf" && verb == "read") {
            pdf = value;
        } else if (opt == "--timeout") {
            timeoutS = value.toInt();
        } else {
            usage(err);
            return 2;
        }
    }

    if (!pdf.isEmpty()) {
        // The printer would draw into nothing: a PDF that cannot be written is refused first.
        QFile probe(pdf);
        const bool existed = probe.exists();
        if (!probe.open(QIODevice::WriteOnly | QIODevice::Append)) {
            err << "prmctl: cannot write " << pdf << ": " << probe.errorString() << '\n';
            return 1;
        }
        probe.close();
        if (!existed) probe.remove();
    }

    RecordsController ctl(link);
    ctl.activate();
    QObject::connect(&ctl.log(), &ScreenLog::lineAdded, &ctl, [&](const QString& line) {
        out << line << '\n';
        out.flush();
    });
    if (!pdf.isEmpty()) {
        ctl.setPrinterProvider([pdf](RecordKind) -> std::unique_ptr<RecordPrinter> {
            return std::make_unique<QtRecordPrinter>(QtRecordPrinter::makePdfPrinter(pdf));
        });
    }
    // Recording is on for both kinds when the screen opens: keep it only when asked.
    if (file.isEmpty()) {
        ctl.click(alarms ? Button::RecordingAlarms : Button::RecordingDose);
    } else {
        ctl.setFileName(kind, file);
    }

    QStringList lines;
    QObject::connect(&ctl.log(), &ScreenLog::lineAdded, &ctl,
                     [&](const QString& line) { lines << line; });
    QEventLoop loop;
    bool finished = false;
    QObject::connect(&ctl, &RecordsController::transferFinished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    QTimer::singleShot(timeoutS * 1000, &loop, &QEventLoop::quit);

    Button button;
    if (verb == "clear") {
        button = alarms ? Button::ClearAlarms : Button::ClearDose;
    } else if (!pdf.isEmpty()) {
        button = alarms ? Button::PrintAlarms : Button::PrintDose;
    } else {
        button = alarms ? Button::ReadAlarms : Button::ReadDose;
    }
    ctl.click(button);
    if (!ctl.transferRunning() && !finished) {
        // Refused before anything went out (a record file that cannot be created).
        err << "prmctl: " << lines.value(lines.size() - 1) << '\n';
        return 1;
    }
    if (!finished) loop.exec();
    if (!finished) {
        err << "prmctl: no complete transfer within " << timeoutS << " s";
        for (qsizetype i = lines.size() - 1; i >= 0; --i) {
            if (!lines[i].isEmpty() && !lines[i].startsWith("START")) {
                err << " (" << lines[i] << ')';
                break;
            }
        }
        err << '\n';
        ctl.mainMenu();  // the file of the read cut short stays incomplete
        return 1;
    }
    const QString success = verb == "clear" ? "EEPROM Initialized OK" : "Tranfer OK";
    if (lines.contains(success)) {
        if (!pdf.isEmpty() && QFileInfo(pdf).size() == 0) {
            err << "prmctl: cannot write " << pdf << '\n';
            return 1;
        }
        return 0;
    }
    // The failure's own text: the last line before the end text, if any.
    const QString reason = lines.size() >= 2 ? lines[lines.size() - 2] : lines.value(0);
    err << "prmctl: " << reason << '\n';
    return 1;
}

}  // namespace prm
