#include "command_table.h"

#include <vector>

#include "program_options.h"

namespace prm {

namespace {

struct Option {
    const char* name;
    const char* value;  // its name in the usage; nullptr: a switch
    const char* help;
};

struct Command {
    const char* words;     // "records read"
    const char* operands;  // "alarms|dose", "NAME=VALUE...", "" for none
    const char* choices;   // the operand's allowed values, "|" between; nullptr: any
    int minOperands;
    int maxOperands;  // -1: any number
    const char* summary;
    std::vector<Option> options;
};

const Option kTimeout{"--timeout", "S", "give up after S seconds without the records (20)"};
const Option kPng{"--png", "F", "also draw the spectrum into the PNG file F"};
const Option kTime{"--time", "S", "the measuring time in seconds (10)"};

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"settings read",
         "",
         nullptr,
         0,
         0,
         "Print the monitor's user (or default) settings.",
         {{"--default", nullptr, "the default settings instead"}}},
        {"settings write",
         "NAME=VALUE...",
         nullptr,
         1,
         -1,
         "Change user settings as the editor does, write them and read them back.",
         {}},
        {"records read",
         "alarms|dose",
         "alarms|dose",
         1,
         1,
         "Read (and print) the records.",
         {{"--file", "F", "write the record file F"},
          {"--pdf", "F", "print into the PDF file F"},
          kTimeout}},
        {"records clear", "alarms|dose", "alarms|dose", 1, 1, "Clear a record area.", {kTimeout}},
        {"test",
         "NAME",
         "uart|buzzer|vibrator|gamma-led|neutron-led|mode|temperature|battery|dac|counters|rtc|"
         "lcd|status|ram|eeprom|send-rtc",
         1,
         1,
         "Run a self-test of the test console.",
         {{"--repeat", "N", "repeat it N times"},
          {"--for", "S", "run the button test for S seconds (3)"},
          {"--yes", nullptr, "the EEPROM test may delete the records"}}},
        {"battery record",
         "",
         nullptr,
         0,
         0,
         "Record battery reports into a file.",
         {{"--file", "F", "the recording's file"}, {"--count", "N", "record N reports"}}},
        {"spectrum scan",
         "gamma|neutron",
         "gamma|neutron",
         1,
         1,
         "A threshold-scan spectrum.",
         {kTime, kPng}},
        {"spectrum adc", "", nullptr, 0, 0, "The gamma ADC spectrum.", {kTime, kPng}},
        {"spectrum offline",
         "enable-spectrum|enable-histogram|get|histogram",
         "enable-spectrum|enable-histogram|get|histogram",
         1,
         1,
         "Enable the off-line spectrum or histogram, or read it back.",
         {kTime, kPng}},
        {"ports",
         "",
         nullptr,
         0,
         0,
         "COM1 to COM6 with the device each stands for (PRMTOOL_COMn, else the port map\n"
         "file), then the machine's serial devices with what each is. --map and --unmap\n"
         "change the port map file first; no port is opened.",
         {{"--json", nullptr, "print one JSON object"},
          {"--map", "COMn=DEVICE", "keep DEVICE as COMn in the port map file"},
          {"--unmap", "COMn", "take COMn out of the file: /dev/ttyS<n-1> again"}}},
    };
    return table;
}

constexpr char kExitCodes[] =
    "Exit codes: 0 success, 1 failure (refused, port or line), 2 wrong usage.\n"
    "See prmctl(1).\n";

QString usageLine(const Command& c) {
    QString line = QStringLiteral("usage: prmctl [OPTIONS] ") + c.words;
    if (*c.operands) line += ' ' + QLatin1String(c.operands);
    for (const Option& o : c.options)
        line += QStringLiteral(" [%1%2]").arg(QLatin1String(o.name),
                                              o.value ? ' ' + QLatin1String(o.value) : QString());
    return line + '\n';
}

QString commandHelp(const Command& c) {
    QString text = usageLine(c) + QLatin1String(c.summary) + "\n\n";
    std::vector<Option> all = c.options;
    all.push_back({"--help", nullptr, "print this help"});
    all.push_back({"--version", nullptr, "print the version"});
    for (const Option& o : all) {
        QString left = QLatin1String(o.name);
        if (o.value) left += ' ' + QLatin1String(o.value);
        text += "  " + left.leftJustified(17) + ' ' + QLatin1String(o.help) + '\n';
    }
    return text + kExitCodes;
}

int usageError(const QString& where, const QString& why, const QString& usage, QTextStream& err) {
    const QString program = where.isEmpty() ? QStringLiteral("prmctl") : "prmctl " + where;
    err << program << ": " << why << '\n'
        << usage << "Try '" << program << " --help' for its options.\n";
    err.flush();
    return kExitUsage;
}

}  // namespace

int refuseCommandLine(const char* words, const QString& why, QTextStream& err) {
    for (const Command& c : commands())
        if (qstrcmp(c.words, words) == 0)
            return usageError(QLatin1String(words), why, usageLine(c), err);
    return usageError(QLatin1String(words), why, QString(), err);
}

QString commandsUsage() {
    QString text;
    for (const Command& c : commands())
        text += usageLine(c).mid(7);  // without "usage: "
    return text;
}

int checkCommandLine(const QStringList& args, QTextStream& out, QTextStream& err) {
    const bool help = args.contains("--help") || args.contains("-h");
    if (args.contains("--version")) {
        suite::printVersion("prmctl");
        return kExitOk;
    }
    const Command* command = nullptr;
    for (const Command& c : commands()) {
        const QStringList words = QString::fromLatin1(c.words).split(' ');
        if (args.mid(0, words.size()) == words) command = &c;
    }
    if (!command) {
        // A group ("records") or nothing known: its commands' usage.
        const QString group = args.value(0).startsWith('-') ? QString() : args.value(0);
        QString usage;
        for (const Command& c : commands())
            if (QString::fromLatin1(c.words).section(' ', 0, 0) == group) usage += usageLine(c);
        if (help && !usage.isEmpty()) {
            out << usage << "Try 'prmctl " << group << " COMMAND --help' for a command's options.\n"
                << kExitCodes;
            return kExitOk;
        }
        if (usage.isEmpty())
            return usageError(QString(),
                              group.isEmpty() ? QStringLiteral("a command is needed")
                                              : "unknown command \"" + group + '"',
                              QString(), err);
        const QString word = args.value(1);
        return usageError(group,
                          word.isEmpty()         ? QStringLiteral("a command is needed")
                          : word.startsWith('-') ? "unknown option " + word
                                                 : "unknown command \"" + word + '"',
                          usage, err);
    }
    if (help) {
        out << commandHelp(*command);
        return kExitOk;
    }
    const QString where = QLatin1String(command->words);
    const QString usage = usageLine(*command);
    const int first = int(where.count(' ')) + 1;
    QStringList operands;
    for (qsizetype i = first; i < args.size(); ++i) {
        const QString& a = args[i];
        if (!a.startsWith("--")) {
            if (command->maxOperands >= 0 && operands.size() >= command->maxOperands)
                return usageError(where, "unexpected word \"" + a + '"', usage, err);
            if (command->choices && !QString::fromLatin1(command->choices).split('|').contains(a))
                return usageError(where,
                                  '"' + a + "\" is not one of " + QLatin1String(command->choices),
                                  usage, err);
            operands << a;
            continue;
        }
        const Option* option = nullptr;
        for (const Option& o : command->options)
            if (a == QLatin1String(o.name)) option = &o;
        if (!option) return usageError(where, "unknown option " + a, usage, err);
        if (option->value && (i + 1 >= args.size() || args[i + 1].startsWith("--")))
            return usageError(where, a + " needs a value (" + QLatin1String(option->value) + ')',
                              usage, err);
        if (option->value) ++i;
    }
    if (operands.size() < command->minOperands)
        return usageError(where, QLatin1String(command->operands) + " is needed", usage, err);
    return -1;
}

}  // namespace prm
