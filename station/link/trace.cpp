#include "trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace station {

namespace {
std::mutex traceMutex;
bool programSink = false;  // a program installed its own sink (not standard error)
std::function<void(const std::string&)>& SinkRef() {
    static std::function<void(const std::string&)> sink = [] {
        std::function<void(const std::string&)> s;
        if (std::getenv("VM418_LINK_TRACE") != nullptr)
            s = [](const std::string& line) { std::fputs(line.c_str(), stderr); };
        return s;
    }();
    return sink;
}
}  // namespace

void SetTraceSink(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(traceMutex);
    SinkRef() = std::move(sink);
    programSink = static_cast<bool>(SinkRef());
}

void Trace(const std::string& line) {
    std::lock_guard lock(traceMutex);
    if (SinkRef()) SinkRef()(line);
}

void Warning(const std::string& line) {
    std::lock_guard lock(traceMutex);
    if (programSink) SinkRef()(line);
    std::fputs(("Warning: " + line).c_str(), stderr);
}

void TraceF(const char* format, ...) {
    {
        std::lock_guard lock(traceMutex);
        if (!SinkRef()) return;
    }
    char buf[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    Trace(buf);
}

}  // namespace station
