#include "appfirmware.h"

#include "json.h"
#include "md5.h"

#include <algorithm>

namespace ksim {

namespace {

// Limits of the device's small file system; the file count keeps the list reply within one ISO-TP message
// (at most 48 names of 32 Latin-1 characters, each at most 64 bytes of UTF-8 plus quotes and a comma).
constexpr std::size_t kMaxNameLength = 32;
constexpr std::size_t kMaxFiles = 48;
constexpr std::size_t kStorageBytes = 4 * 1024 * 1024;
constexpr std::size_t kMaxPayload = 4095;
const std::string kConfigFile = "active.cfg";
const std::string kInfo = R"({"sdk":"1.22.2","fw":"2.4.0","mpy":6,"ver":"kestrane-2.4.0"})";

// The request numbering the firmware uses in its refusals, shared with the program's commands.
int commandNumber(std::uint8_t code)
{
    switch (code) {
    case 0x10:
    case 0x11:
        return 1;
    case 0x20:
        return 2;
    case 0x21:
        return 3;
    case 0x22:
        return 4;
    case 0x23:
        return 5;
    case 0x30:
        return 6;
    case 0x31:
        return 7;
    case 0x32:
        return 8;
    case 0x33:
        return 9;
    default:
        return -1;
    }
}

Bytes textBytes(std::uint8_t code, const std::string &text)
{
    Bytes bytes(text.size() + 1);
    bytes[0] = code;
    std::copy(text.begin(), text.end(), bytes.begin() + 1);
    return bytes;
}

FirmwareReply answer(Bytes bytes)
{
    FirmwareReply reply;
    reply.reply = std::move(bytes);
    return reply;
}

FirmwareReply refuse(const Bytes &request, const std::string &error)
{
    return answer(AppFirmware::refusal(request, error));
}

bool validName(const std::string &name)
{
    if (name.empty() || name.size() > kMaxNameLength || name == "." || name == "..")
        return false;
    for (char c : name) {
        // Control characters are refused too: FAT refuses them, and they would bloat the list reply.
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20)
            return false;
    }
    return true;
}

} // namespace

AppFirmware::AppFirmware(KestraneState &state)
    : state_(state)
{ }

Bytes AppFirmware::refusal(const Bytes &request, const std::string &error)
{
    const int command = request.empty() ? -1 : commandNumber(request[0]);
    return textBytes(0x7F, "{\"cmd\":" + std::to_string(command) + ",\"error\":" + jsonString(error) + "}");
}

Bytes AppFirmware::garble(const Bytes &request, const Bytes &reply)
{
    switch (request.empty() ? 0 : request[0]) {
    case 0x10:
        return textBytes(0x50, "{\"sdk\":");
    case 0x11:
        return textBytes(0x51, "[\"");
    case 0x33:
        return textBytes(0x73, "[");
    case 0x20:
        return Bytes {0x60, 'O', 'K', 0x00};
    case 0x22:
        return Bytes {0x62};
    case 0x32: {
        Bytes flipped = reply;
        for (std::size_t i = 1; i < flipped.size(); ++i)
            flipped[i] ^= 0xFF;
        return flipped;
    }
    default:
        // A refusal whose JSON breaks off: the program cannot even tell which request failed.
        return textBytes(0x7F, "{\"cmd\":");
    }
}

FirmwareReply AppFirmware::handle(const Bytes &request)
{
    switch (request[0]) {
    case 0x10:
        return answer(textBytes(0x50, kInfo));
    case 0x11:
        return list();
    case 0x20:
        return select(request);
    case 0x21:
        return write(request);
    case 0x22:
        return remove(request);
    case 0x23:
        state_.removeAllFiles();
        selected_.reset();
        return answer(Bytes {0x63});
    case 0x30: {
        FirmwareReply reply;
        reply.after = AfterReply::Restart;
        return reply;
    }
    case 0x31: {
        FirmwareReply reply;
        reply.after = AfterReply::EnterBootloader;
        return reply;
    }
    case 0x32:
        return digest();
    case 0x33:
        return configuration();
    default:
        return refuse(request, "unknown request");
    }
}

FirmwareReply AppFirmware::list() const
{
    std::string json = "[";
    for (const auto &file : state_.files()) {
        if (json.size() > 1)
            json += ',';
        json += jsonString(file.first);
    }
    return answer(textBytes(0x51, json + "]"));
}

FirmwareReply AppFirmware::select(const Bytes &request)
{
    const std::string name(request.begin() + 1, request.end());
    if (!validName(name))
        return refuse(request, "invalid name");
    if (state_.files().count(name) == 0 && state_.files().size() >= kMaxFiles)
        return refuse(request, "too many files");
    state_.createFile(name);
    selected_ = name;
    return answer(Bytes {0x60, 'O', 'K'});
}

FirmwareReply AppFirmware::write(const Bytes &request)
{
    if (!selected_ || state_.files().count(*selected_) == 0)
        return refuse(request, "no file selected");
    const std::size_t size = request.size() - 1;
    if (state_.storedBytes() + size > kStorageBytes)
        return refuse(request, "storage full");
    state_.appendFile(*selected_, Bytes(request.begin() + 1, request.end()));
    return answer(Bytes {0x61});
}

FirmwareReply AppFirmware::remove(const Bytes &request)
{
    const std::string given(request.begin() + 1, request.end());
    // The name comes as UTF-8 while select sent Latin-1: the stored name is found either way.
    std::string name = given;
    if (state_.files().count(name) == 0) {
        std::string latin1;
        if (!utf8ToLatin1(given, latin1) || state_.files().count(latin1) == 0)
            return refuse(request, "file not found");
        name = latin1;
    }
    state_.removeFile(name);
    if (selected_ == name)
        selected_.reset();
    return answer(textBytes(0x62, name));
}

FirmwareReply AppFirmware::digest() const
{
    if (!selected_ || state_.files().count(*selected_) == 0)
        return refuse(Bytes {0x32}, "no file selected");
    const Bytes &content = state_.files().at(*selected_);
    const Md5Digest hash = md5(content.data(), content.size());
    Bytes reply {0x72};
    reply.insert(reply.end(), hash.begin(), hash.end());
    return answer(reply);
}

FirmwareReply AppFirmware::configuration() const
{
    const auto found = state_.files().find(kConfigFile);
    // Anything but a JSON array that fits one reply means "no active configuration".
    if (found == state_.files().end() || found->second.size() + 1 > kMaxPayload || !isJsonArray(found->second))
        return answer(Bytes {0x73});
    Bytes reply {0x73};
    reply.insert(reply.end(), found->second.begin(), found->second.end());
    return answer(reply);
}

} // namespace ksim
