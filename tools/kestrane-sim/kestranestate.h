#pragma once

#include "hex.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace ksim {

enum class KestraneMode { App, Boot };

// Whether the bootloader's application area holds something to start: erased (nothing written since the
// last erase), written (written but not finalised) or final (a finalised image).
enum class ImageState { Erased, Written, Final };

// What the command line says about the device; explicit values win over a state folder's.
struct KestraneSettings
{
    std::string stateDir; // empty: the state lives in memory for the run
    std::optional<KestraneMode> mode;
    std::optional<std::uint32_t> boardId;
    std::optional<std::uint32_t> flashSize;
    std::optional<Bytes> uuid;
    std::uint32_t eraseMillis = 50;
};

constexpr std::uint32_t kDefaultBoardId = 0x4B455331;
constexpr std::uint32_t kDefaultFlashSize = 262144;
constexpr std::uint32_t kFlashPage = 1024;
constexpr std::uint32_t kMaxFlashSize = 16 * 1024 * 1024;

// The device's non-volatile memory: its mode, identity, stored files and the bootloader's flash. Every
// change is written through to the state folder at once, so that a restarted simulator, or the other
// firmware after a mode switch, finds it as a real device would after a power cycle.
class KestraneState
{
public:
    bool open(const KestraneSettings &settings, std::string &error);

    // Told about every failed write to the state folder; the run goes on with the state in memory.
    std::function<void(const std::string &)> onError;

    KestraneMode mode() const { return mode_; }
    void setMode(KestraneMode mode);
    std::uint32_t boardId() const { return boardId_; }
    std::uint32_t flashSize() const { return flashSize_; }
    const Bytes &uuid() const { return uuid_; }

    // Stored files by name; names are the Latin-1 bytes the program sent.
    const std::map<std::string, Bytes> &files() const { return files_; }
    std::size_t storedBytes() const;
    void createFile(const std::string &name);
    void appendFile(const std::string &name, const Bytes &data);
    void removeFile(const std::string &name);
    void removeAllFiles();

    const Bytes &flash() const { return flash_; }
    void eraseFlash(std::uint32_t offset, std::uint32_t size);
    void writeFlash(std::uint32_t offset, const Bytes &data);
    ImageState image() const { return image_; }
    void setImage(ImageState image);

private:
    bool load(std::string &error, bool &modeSeen);
    void saveConfig();
    void saveFlash(std::uint32_t offset, std::uint32_t size);
    std::string filePath(const std::string &name) const;
    void failed(const std::string &what);

    std::string dir_;
    KestraneMode mode_ = KestraneMode::App;
    std::uint32_t boardId_ = kDefaultBoardId;
    std::uint32_t flashSize_ = kDefaultFlashSize;
    Bytes uuid_;
    ImageState image_ = ImageState::Final;
    std::map<std::string, Bytes> files_;
    Bytes flash_;
};

// Parses "app" or "boot".
bool parseMode(const std::string &text, KestraneMode &mode);
const char *modeName(KestraneMode mode);

} // namespace ksim
