// Trace lines of the station link. Off unless VM418_LINK_TRACE is set in the environment
// (lines then go to standard error) or a program installs its own sink.
#pragma once

#include <functional>
#include <string>

namespace station {

void SetTraceSink(std::function<void(const std::string&)> sink);
void Trace(const std::string& line);
// A line the user must see (a converter that does not carry the line settings): standard
// error, and the trace sink when one is installed.
void Warning(const std::string& line);
void TraceF(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace station
