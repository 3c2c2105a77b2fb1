// The command-line answers every program of the suite gives alike: --help on standard output
// with exit code 0, --version as "NAME VERSION" with exit code 0, and a usage error on
// standard error with exit code 2.
#pragma once

#include <QCommandLineParser>
#include <QStringList>

namespace suite {

inline constexpr int kExitUsage = 2;

// Prints "program version" on standard output.
void printVersion(const char* program);

// Parses `arguments` (the program's name first) with `parser`, which holds the program's
// options with addHelpOption() and addVersionOption(). Returns the exit code when the program
// is done (0 after --help or --version, 2 after a usage error), else -1.
// A window program calls it once before its window system starts, so that these answers
// need no display, with `windowSystemFollows` set: an option of the window system itself
// (-platform, -style, ...) is then left for the second call, on the application's arguments.
int parseCommandLine(QCommandLineParser& parser, const QStringList& arguments, const char* program,
                     bool windowSystemFollows = false);

// argv as a list, for the call before the application exists.
QStringList argumentList(int argc, char** argv);

}  // namespace suite
