#include "bootloader.h"

#include "devicefaults.h"

namespace ksim {

namespace {

// Response codes in the manner of UDS: the program only knows 78 (busy) and 12 (no unique id); the others
// are this bootloader's own.
constexpr std::uint8_t kNotSupported = 0x11;
constexpr std::uint8_t kBadLength = 0x13;
constexpr std::uint8_t kWrongState = 0x22;
constexpr std::uint8_t kSequenceError = 0x24;
constexpr std::uint8_t kOutOfRange = 0x31;
constexpr std::uint8_t kProgramFailed = 0x72;
constexpr std::uint8_t kPending = 0x78;
constexpr std::uint8_t kEraseAll = 0xFF;
// Programming 1 KiB of flash takes a few milliseconds on the real part.
constexpr Micros kWriteTime = 3000;

constexpr std::uint8_t kFlagBusy = 0x01;
constexpr std::uint8_t kFlagError = 0x02;
constexpr std::uint8_t kFlagImage = 0x04; // a finalised application is present; the program does not look

void putLittle(Bytes &bytes, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

FirmwareReply answer(Bytes bytes)
{
    FirmwareReply reply;
    reply.reply = std::move(bytes);
    return reply;
}

} // namespace

Bootloader::Bootloader(KestraneState &state, Micros eraseTime)
    : state_(state)
    , eraseTime_(eraseTime)
{ }

void Bootloader::restart()
{
    address_.reset();
    error_ = 0;
    busyUntil_ = 0;
}

FirmwareReply Bootloader::refuse(const Bytes &request, std::uint8_t code)
{
    // Latched until the next operation succeeds, so that a status request after a lost reply tells whether
    // the last operation failed.
    if (code != kPending)
        error_ = code;
    return answer(Bytes {0x7F, request[0], code});
}

Bytes Bootloader::garble(const Bytes &request, const Bytes &reply)
{
    if (startsWith(request, Bytes {0xB1, 0x00, 0xB0}) || startsWith(request, Bytes {0xB1, 0x00, 0xB3}))
        return Bytes(reply.begin(), reply.end() - 1);
    if (request[0] == 0xB1)
        return Bytes(reply.begin(), reply.begin() + (reply.size() < 2 ? reply.size() : 2));
    if (request[0] == 0x34)
        return Bytes {0x74};
    // One-byte acknowledgements turn into a negative reply that lacks its code.
    return Bytes {0x7F, request[0]};
}

std::uint32_t Bootloader::boardId() const
{
    return swapAfter_ && statusReplies_ >= *swapAfter_ ? swapId_ : state_.boardId();
}

FirmwareReply Bootloader::handle(const Bytes &request, Micros now)
{
    // While flash is being erased or programmed only the status is served: it tells when the work is
    // over. Everything else, the other EXEC routines included, is told to ask again later.
    const bool statusRequest = startsWith(request, Bytes {0xB1, 0x00, 0xB0});
    if (now < busyUntil_ && !statusRequest)
        return answer(Bytes {0x7F, request[0], kPending});
    if (request[0] == 0xB1)
        return exec(request, now);
    switch (request[0]) {
    case 0x34:
        return setAddress(request);
    case 0x36:
        return write(request, now);
    case 0x37:
        return finalise(request);
    case 0x10:
    case 0x11:
    case 0x12:
        return leave(request);
    default:
        return refuse(request, kNotSupported);
    }
}

FirmwareReply Bootloader::exec(const Bytes &request, Micros now)
{
    if (request.size() < 3)
        return refuse(request, kBadLength);
    const std::uint16_t routine = static_cast<std::uint16_t>(request[1] << 8 | request[2]);
    Bytes reply {0xF1, request[1], request[2]};
    switch (routine) {
    case 0x00B0:
        return status(now);
    case 0x00B1: {
        const std::string text = "Kestrane bootloader 2.1, board " + hexValue(boardId(), 8);
        reply.insert(reply.end(), text.begin(), text.end());
        reply.push_back(0x00);
        return answer(reply);
    }
    case 0x00B2:
        return erase(request, now);
    case 0x00B3:
        reply.insert(reply.end(), state_.uuid().begin(), state_.uuid().end());
        return answer(reply);
    default:
        return refuse(request, kOutOfRange);
    }
}

FirmwareReply Bootloader::status(Micros now)
{
    std::uint8_t flags = 0;
    if (now < busyUntil_ || forcedBusy_ > 0)
        flags |= kFlagBusy;
    if (forcedBusy_ > 0)
        --forcedBusy_;
    if (error_ != 0)
        flags |= kFlagError;
    if (state_.image() == ImageState::Final)
        flags |= kFlagImage;
    Bytes reply {0xF1, 0x00, 0xB0, flags, error_};
    // The extra word is the next write address (all ones when none is set), handy when reading logs.
    putLittle(reply, address_.value_or(0xFFFFFFFF));
    putLittle(reply, state_.flashSize());
    const std::uint32_t board = boardId();
    ++statusReplies_;
    putLittle(reply, board);
    if (swapAfter_ && statusReplies_ == *swapAfter_ + 1 && onNote)
        onNote("status reply " + std::to_string(statusReplies_) + " reports board " + hexValue(board, 8)
            + ": another board was plugged in (fault)");
    return answer(reply);
}

FirmwareReply Bootloader::erase(const Bytes &request, Micros now)
{
    if (request.size() < 4)
        return refuse(request, kBadLength);
    const std::uint8_t page = request[3];
    if (page == kEraseAll) {
        state_.eraseFlash(0, state_.flashSize());
    } else {
        if (static_cast<std::uint32_t>(page) * kFlashPage >= state_.flashSize())
            return refuse(request, kOutOfRange);
        state_.eraseFlash(page * kFlashPage, kFlashPage);
    }
    state_.setImage(ImageState::Erased);
    error_ = 0;
    FirmwareReply reply;
    reply.pending = Bytes {0x7F, 0xB1, kPending};
    reply.reply = Bytes {0xF1, 0x00, 0xB2};
    reply.delay = eraseTime_;
    busyUntil_ = now + eraseTime_;
    return reply;
}

FirmwareReply Bootloader::setAddress(const Bytes &request)
{
    if (request.size() < 5)
        return refuse(request, kBadLength);
    const std::uint32_t address = static_cast<std::uint32_t>(request[1]) << 24
        | static_cast<std::uint32_t>(request[2]) << 16 | static_cast<std::uint32_t>(request[3]) << 8 | request[4];
    if (address >= state_.flashSize())
        return refuse(request, kOutOfRange);
    address_ = address;
    error_ = 0;
    return answer(Bytes {0x74, 0x00, 0x00});
}

FirmwareReply Bootloader::write(const Bytes &request, Micros now)
{
    if (!address_)
        return refuse(request, kSequenceError);
    const std::size_t size = request.size() - 1;
    // The flash is programmed in double words.
    if (size == 0 || size % 8 != 0)
        return refuse(request, kBadLength);
    if (*address_ + size > state_.flashSize())
        return refuse(request, kOutOfRange);
    const Bytes &flash = state_.flash();
    for (std::size_t i = 0; i < size; ++i) {
        if (flash[*address_ + i] != 0xFF)
            return refuse(request, kProgramFailed);
    }
    state_.writeFlash(*address_, Bytes(request.begin() + 1, request.end()));
    state_.setImage(ImageState::Written);
    *address_ += static_cast<std::uint32_t>(size);
    error_ = 0;
    FirmwareReply reply;
    reply.pending = Bytes {0x7F, 0x36, kPending};
    reply.reply = Bytes {0x76};
    reply.delay = kWriteTime;
    busyUntil_ = now + kWriteTime;
    return reply;
}

FirmwareReply Bootloader::finalise(const Bytes &request)
{
    if (state_.image() == ImageState::Erased)
        return refuse(request, kWrongState);
    state_.setImage(ImageState::Final);
    error_ = 0;
    return answer(Bytes {0x77});
}

FirmwareReply Bootloader::leave(const Bytes &request)
{
    FirmwareReply reply = answer(Bytes {static_cast<std::uint8_t>(request[0] + 0x40)});
    switch (request[0]) {
    case 0x10:
        reply.after = AfterReply::Restart;
        break;
    case 0x11:
        if (state_.image() != ImageState::Final)
            return refuse(request, kWrongState);
        reply.after = AfterReply::EnterApplication;
        break;
    default:
        reply.after = AfterReply::LeaveForRomLoader;
        break;
    }
    return reply;
}

} // namespace ksim
