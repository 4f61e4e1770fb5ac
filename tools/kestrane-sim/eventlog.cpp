#include "eventlog.h"

#include "scheduler.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

namespace ksim {

EventLog::~EventLog()
{
    if (file_)
        std::fclose(file_);
}

bool EventLog::open(const std::string &path, std::string &error)
{
    file_ = std::fopen(path.c_str(), "w");
    if (!file_) {
        error = "cannot open log file " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void EventLog::write(char kind, const std::string &text)
{
    if (!file_)
        return;
    std::fprintf(file_, "%" PRId64 " %c %s\n", static_cast<std::int64_t>(monotonicMicros()), kind, text.c_str());
    std::fflush(file_);
}

} // namespace ksim
