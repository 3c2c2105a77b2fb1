#include "program_options.h"

#include <cstdio>

#include "suite_version.h"

namespace suite {

namespace {

// The options QGuiApplication and QApplication take for themselves and remove from the
// arguments (with one dash or two).
bool isWindowSystemOption(const QString& argument) {
    static const QStringList kNames = {"platform",
                                       "platformpluginpath",
                                       "platformtheme",
                                       "plugin",
                                       "display",
                                       "geometry",
                                       "qwindowgeometry",
                                       "qwindowicon",
                                       "qwindowtitle",
                                       "title",
                                       "style",
                                       "stylesheet",
                                       "reverse",
                                       "session",
                                       "widgetcount",
                                       "name",
                                       "nograb",
                                       "dograb",
                                       "sync",
                                       "qmljsdebugger"};
    QString name = argument;
    if (name.startsWith("--")) name.remove(0, 1);
    if (!name.startsWith('-')) return false;
    name = name.mid(1).section('=', 0, 0);
    return kNames.contains(name);
}

}  // namespace

void printVersion(const char* program) {
    std::printf("%s %s\n", program, SUITE_VERSION);
    std::fflush(stdout);
}

int parseCommandLine(QCommandLineParser& parser, const QStringList& arguments, const char* program,
                     bool windowSystemFollows) {
    if (!parser.parse(arguments)) {
        if (windowSystemFollows) {
            for (const QString& argument : arguments)
                if (isWindowSystemOption(argument)) return -1;
        }
        std::fprintf(stderr, "%s: %s\nTry '%s --help' for the options.\n", program,
                     qPrintable(parser.errorText()), program);
        return kExitUsage;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        printVersion(program);
        return 0;
    }
    // With the toolkit's own options as well, which the application knows: the parser prints
    // them and ends the program.
    if (parser.isSet(QStringLiteral("help-all"))) {
        if (windowSystemFollows) return -1;
        parser.process(arguments);
    }
    if (parser.isSet(QStringLiteral("help"))) {
        // Before the application exists the parser cannot know the program's name.
        const QString text =
            parser.helpText().replace(QStringLiteral("<executable_name>"), program);
        std::fputs(qPrintable(text), stdout);
        std::fflush(stdout);
        return 0;
    }
    return -1;
}

QStringList argumentList(int argc, char** argv) {
    QStringList list;
    for (int i = 0; i < argc; ++i)
        list << QString::fromLocal8Bit(argv[i]);
    return list;
}

}  // namespace suite
