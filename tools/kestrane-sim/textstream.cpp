#include "textstream.h"

#include "eventlog.h"
#include "port.h"
#include "seriallink.h"

#include <cstdio>

namespace ksim {

namespace {
constexpr Micros kTick = 10000;
constexpr std::int64_t kBytesPerSecond = 6000;

// An NMEA 0183 sentence: the body between '$' and '*' followed by its XOR checksum.
std::string sentence(const std::string &body)
{
    unsigned sum = 0;
    for (char c : body)
        sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum & 0xFF);
    return "$" + body + tail;
}
} // namespace

TextStream::TextStream(Port &port, SerialLink &link, Scheduler &scheduler, EventLog &log)
    : port_(port)
    , link_(link)
    , scheduler_(scheduler)
    , log_(log)
{ }

void TextStream::start()
{
    log_.write('#', "streaming NMEA sentences, about " + std::to_string(kBytesPerSecond) + " bytes/s, at every rate");
    scheduler_.after(kTick, [this] { tick(); });
}

std::string TextStream::nextSentence()
{
    char body[128];
    const unsigned s = seconds_;
    const unsigned hh = s / 3600 % 24;
    const unsigned mm = s / 60 % 60;
    const unsigned ss = s % 60;
    switch (sentence_++ % 3) {
    case 0:
        std::snprintf(body, sizeof body, "GPGGA,%02u%02u%02u.00,4807.%03u,N,01131.%03u,E,1,08,0.9,545.4,M,46.9,M,,", hh,
            mm, ss, s % 1000, (s * 7) % 1000);
        break;
    case 1:
        std::snprintf(body, sizeof body, "GPRMC,%02u%02u%02u.00,A,4807.%03u,N,01131.%03u,E,022.4,084.4,230394,003.1,W",
            hh, mm, ss, s % 1000, (s * 7) % 1000);
        break;
    default:
        std::snprintf(
            body, sizeof body, "GPGSV,3,%u,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00", s % 3 + 1);
        ++seconds_;
        break;
    }
    return sentence(body);
}

void TextStream::tick()
{
    scheduler_.after(kTick, [this] { tick(); });
    budget_ += kBytesPerSecond * kTick / 1000000;
    // Nobody listens, or the reader does not keep up: a serial line does not wait for its reader, the
    // lines are lost.
    if (link_.hungUp() || port_.hasPendingOutput()) {
        if (!dropping_ && !link_.hungUp())
            log_.write('#', "stream: the reader does not keep up, lines lost");
        dropping_ = !link_.hungUp();
        budget_ = 0;
        pending_.clear();
        return;
    }
    dropping_ = false;
    std::string out;
    while (budget_ > 0) {
        if (pending_.empty())
            pending_ = nextSentence();
        const std::size_t take
            = static_cast<std::size_t>(budget_) < pending_.size() ? static_cast<std::size_t>(budget_) : pending_.size();
        out += pending_.substr(0, take);
        pending_.erase(0, take);
        budget_ -= static_cast<std::int64_t>(take);
    }
    port_.write(out);
}

} // namespace ksim
