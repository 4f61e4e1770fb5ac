#include "kestranestate.h"

#include "json.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace ksim {

namespace {

const Bytes kDefaultUuid = {0x4B, 0x53, 0x49, 0x4D, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
constexpr const char *kConfigName = "device.cfg";
constexpr const char *kFlashName = "flash.bin";
constexpr const char *kFilesName = "files";

const char *imageName(ImageState image)
{
    switch (image) {
    case ImageState::Erased:
        return "erased";
    case ImageState::Written:
        return "written";
    case ImageState::Final:
        return "final";
    }
    return "final";
}

bool parseImage(const std::string &text, ImageState &image)
{
    for (ImageState candidate : {ImageState::Erased, ImageState::Written, ImageState::Final}) {
        if (text == imageName(candidate)) {
            image = candidate;
            return true;
        }
    }
    return false;
}

bool readWhole(const fs::path &path, Bytes &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool writeWhole(const fs::path &path, const std::uint8_t *data, std::size_t size, std::ios::openmode mode)
{
    std::ofstream out(path, std::ios::binary | mode);
    if (!out)
        return false;
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    out.flush();
    return static_cast<bool>(out);
}

} // namespace

bool parseMode(const std::string &text, KestraneMode &mode)
{
    const std::string word = toLower(trim(text));
    if (word == "app")
        mode = KestraneMode::App;
    else if (word == "boot")
        mode = KestraneMode::Boot;
    else
        return false;
    return true;
}

const char *modeName(KestraneMode mode)
{
    return mode == KestraneMode::App ? "app" : "boot";
}

bool KestraneState::open(const KestraneSettings &settings, std::string &error)
{
    dir_ = settings.stateDir;
    uuid_ = kDefaultUuid;
    std::optional<KestraneMode> storedMode;
    if (!dir_.empty()) {
        std::error_code code;
        fs::create_directories(fs::path(dir_) / kFilesName, code);
        if (code) {
            error = "cannot create state folder " + dir_ + ": " + code.message();
            return false;
        }
        bool modeSeen = false;
        if (!load(error, modeSeen))
            return false;
        if (modeSeen)
            storedMode = mode_;
    }
    // Only a folder that already held a device keeps its mode; a new one takes the command line's. A new
    // device also comes with its application in place (image final), so that starting it in the bootloader
    // and launching the application works without flashing first.
    if (!storedMode)
        mode_ = settings.mode.value_or(KestraneMode::App);
    if (settings.boardId)
        boardId_ = *settings.boardId;
    if (settings.flashSize)
        flashSize_ = *settings.flashSize;
    if (settings.uuid)
        uuid_ = *settings.uuid;

    const std::size_t previousSize = flash_.size();
    flash_.resize(flashSize_, 0xFF);
    if (!dir_.empty()) {
        const fs::path flashPath = fs::path(dir_) / kFlashName;
        if (previousSize != flashSize_ || !fs::exists(flashPath)) {
            if (!writeWhole(flashPath, flash_.data(), flash_.size(), std::ios::trunc)) {
                error = "cannot write " + flashPath.string();
                return false;
            }
        }
        saveConfig();
    }
    return true;
}

bool KestraneState::load(std::string &error, bool &modeSeen)
{
    const fs::path base(dir_);
    std::ifstream config(base / kConfigName);
    if (config) {
        std::string line;
        int number = 0;
        while (std::getline(config, line)) {
            ++number;
            line = trim(line);
            if (line.empty() || line[0] == '#')
                continue;
            const auto equals = line.find('=');
            const std::string key = trim(line.substr(0, equals));
            const std::string value = equals == std::string::npos ? std::string() : trim(line.substr(equals + 1));
            std::uint64_t number64 = 0;
            bool ok = true;
            if (key == "mode") {
                ok = parseMode(value, mode_);
                modeSeen = ok;
            } else if (key == "board-id") {
                ok = parseNumber(value, number64) && number64 <= 0xFFFFFFFF;
                boardId_ = static_cast<std::uint32_t>(number64);
            } else if (key == "flash-size") {
                ok = parseNumber(value, number64) && number64 >= kFlashPage && number64 <= kMaxFlashSize
                    && number64 % kFlashPage == 0;
                flashSize_ = static_cast<std::uint32_t>(number64);
            } else if (key == "uuid") {
                ok = parseHex(value, uuid_) && uuid_.size() == 12;
            } else if (key == "image") {
                ok = parseImage(value, image_);
            }
            if (!ok) {
                error = (base / kConfigName).string() + ":" + std::to_string(number) + ": bad line '" + line + "'";
                return false;
            }
        }
    }

    const fs::path flashPath = base / kFlashName;
    if (fs::exists(flashPath) && !readWhole(flashPath, flash_)) {
        error = "cannot read " + flashPath.string();
        return false;
    }

    std::error_code code;
    for (const fs::directory_entry &entry : fs::directory_iterator(base / kFilesName, code)) {
        std::string name;
        // Names the device could not have been given (not Latin-1) are not its files.
        if (!entry.is_regular_file() || !utf8ToLatin1(entry.path().filename().string(), name))
            continue;
        Bytes content;
        if (!readWhole(entry.path(), content)) {
            error = "cannot read " + entry.path().string();
            return false;
        }
        files_[name] = std::move(content);
    }
    if (code) {
        error = "cannot list " + (base / kFilesName).string() + ": " + code.message();
        return false;
    }
    return true;
}

void KestraneState::failed(const std::string &what)
{
    if (onError)
        onError("state: " + what + " failed; the change lives in memory only");
}

void KestraneState::saveConfig()
{
    if (dir_.empty())
        return;
    const fs::path base(dir_);
    const std::string text = "# kestrane-sim device state; rewritten on every change\nmode="
        + std::string(modeName(mode_)) + "\nboard-id=0x" + hexValue(boardId_, 8) + "\nflash-size="
        + std::to_string(flashSize_) + "\nuuid=" + toHex(uuid_) + "\nimage=" + imageName(image_) + "\n";
    // Written aside and renamed, so that a simulator killed halfway leaves the old state, not half a file.
    const fs::path temporary = base / (std::string(kConfigName) + ".tmp");
    std::error_code code;
    if (!writeWhole(temporary, reinterpret_cast<const std::uint8_t *>(text.data()), text.size(), std::ios::trunc))
        return failed("writing " + temporary.string());
    fs::rename(temporary, base / kConfigName, code);
    if (code)
        failed("renaming " + temporary.string());
}

void KestraneState::setMode(KestraneMode mode)
{
    mode_ = mode;
    saveConfig();
}

void KestraneState::setImage(ImageState image)
{
    if (image_ == image)
        return;
    image_ = image;
    saveConfig();
}

std::string KestraneState::filePath(const std::string &name) const
{
    return (fs::path(dir_) / kFilesName / latin1ToUtf8(name)).string();
}

std::size_t KestraneState::storedBytes() const
{
    std::size_t total = 0;
    for (const auto &file : files_)
        total += file.second.size();
    return total;
}

void KestraneState::createFile(const std::string &name)
{
    files_[name].clear();
    if (!dir_.empty() && !writeWhole(filePath(name), nullptr, 0, std::ios::trunc))
        failed("creating " + filePath(name));
}

void KestraneState::appendFile(const std::string &name, const Bytes &data)
{
    Bytes &content = files_[name];
    content.insert(content.end(), data.begin(), data.end());
    if (!dir_.empty() && !writeWhole(filePath(name), data.data(), data.size(), std::ios::app))
        failed("appending to " + filePath(name));
}

void KestraneState::removeFile(const std::string &name)
{
    // The path first: name may be the map's own key, gone once the entry is erased.
    const std::string path = filePath(name);
    files_.erase(name);
    std::error_code code;
    if (!dir_.empty() && !fs::remove(path, code) && code)
        failed("removing " + path);
}

void KestraneState::removeAllFiles()
{
    while (!files_.empty())
        removeFile(files_.begin()->first);
}

void KestraneState::eraseFlash(std::uint32_t offset, std::uint32_t size)
{
    for (std::uint32_t i = 0; i < size && offset + i < flash_.size(); ++i)
        flash_[offset + i] = 0xFF;
    saveFlash(offset, size);
}

void KestraneState::writeFlash(std::uint32_t offset, const Bytes &data)
{
    for (std::size_t i = 0; i < data.size() && offset + i < flash_.size(); ++i)
        flash_[offset + i] = data[i];
    saveFlash(offset, static_cast<std::uint32_t>(data.size()));
}

void KestraneState::saveFlash(std::uint32_t offset, std::uint32_t size)
{
    if (dir_.empty() || offset >= flash_.size())
        return;
    if (size > flash_.size() - offset)
        size = static_cast<std::uint32_t>(flash_.size() - offset);
    const std::string path = (fs::path(dir_) / kFlashName).string();
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    if (out) {
        out.seekp(offset);
        out.write(reinterpret_cast<const char *>(flash_.data() + offset), size);
        out.flush();
    }
    if (!out)
        failed("writing " + path);
}

} // namespace ksim
