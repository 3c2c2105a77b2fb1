#pragma once

#include <QString>
#include <cstdio>

namespace prm {

// A record file or a recording is written under its name with ".incomplete" added and
// takes its own name only when it is complete. An earlier file of that name stays as it
// was, byte for byte, until a whole new one replaces it, and what a run cut short (a lost
// port, a time-out, "Z", a short block) brought is left under the name that says so.
QString incompleteName(const QString& target);

// Creates (or empties) the target's incomplete file for exclusive writing; nullptr with
// errno set when it cannot.
std::FILE* openIncomplete(const QString& target);

// Closes the file and gives it the target's name, replacing the earlier file. Returns an
// empty text, or why it could not (the file then stays incomplete).
QString completeFile(std::FILE*& file, const QString& target);

// Closes a file cut short; it stays incomplete. Returns the log line that says so.
QString keepIncomplete(std::FILE*& file, const QString& target);

}  // namespace prm
