#include "logging/tty_logger.h"

#include <strings.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "logging/log.h"
#include "logging/text_output.h"

namespace strombel::logging {
namespace {

struct ColorRow {
    std::string foreground;
    std::string background;
    double red, green, blue;  // fractions
};

std::vector<ColorRow> makeTable16() {
    static constexpr struct {
        const char* fg;
        const char* bg;
        int r, g, b;
    } kRows[] = {
        {"30m", "40m", 0, 0, 0},           {"31m", "41m", 194, 54, 33},       {"32m", "42m", 37, 188, 36},
        {"33m", "43m", 173, 173, 39},      {"34m", "44m", 73, 46, 225},       {"35m", "45m", 211, 56, 211},
        {"36m", "46m", 51, 187, 200},      {"37m", "47m", 203, 204, 205},     {"1;30m", "1;40m", 129, 131, 131},
        {"1;31m", "1;41m", 252, 57, 31},   {"1;32m", "1;42m", 49, 231, 34},   {"1;33m", "1;43m", 234, 236, 35},
        {"1;34m", "1;44m", 88, 51, 255},   {"1;35m", "1;45m", 249, 53, 248},  {"1;36m", "1;46m", 20, 240, 240},
        {"1;37m", "1;47m", 233, 235, 235},
    };
    std::vector<ColorRow> table;
    for (const auto& row : kRows) table.push_back({row.fg, row.bg, row.r / 255.0, row.g / 255.0, row.b / 255.0});
    return table;
}

// Terminal colours 16 to 255 with the colours measured for them: the first six
// (the cube's darkest row, black to blue) and the four lightest greys are fixed
// measurements; the rest of the cube takes the common palette's levels, and the
// greys step by 8 up to the lightest, each a little green and blue as measured.
std::vector<ColorRow> makeTable256() {
    static constexpr int kMeasuredFirst[6][3] = {{47, 49, 49}, {60, 42, 144}, {66, 44, 183},
                                                 {73, 46, 222}, {81, 50, 253}, {88, 51, 255}};
    static constexpr int kCubeLevels[] = {0, 95, 135, 175, 215, 255};
    std::vector<ColorRow> table;
    for (int i = 0; i < 240; ++i) {
        int number = 16 + i;
        int r, g, b;
        if (i < 6) {
            r = kMeasuredFirst[i][0];
            g = kMeasuredFirst[i][1];
            b = kMeasuredFirst[i][2];
        } else if (i < 216) {
            r = kCubeLevels[i / 36];
            g = kCubeLevels[(i / 6) % 6];
            b = kCubeLevels[i % 6];
        } else {
            r = 240 - 8 * (239 - i);  // 56 for colour 232 ... 240 for colour 255
            g = b = r + 2;
        }
        table.push_back({fmt::format("38;5;{}m", number), fmt::format("48;5;{}m", number), r / 255.0, g / 255.0,
                         b / 255.0});
    }
    return table;
}

const std::vector<ColorRow>& colorTable(TerminalColorMode mode) {
    static const std::vector<ColorRow> table16 = makeTable16();
    static const std::vector<ColorRow> table256 = makeTable256();
    static const std::vector<ColorRow> none;
    switch (mode) {
        case TerminalColorMode::Standard16: return table16;
        case TerminalColorMode::Standard256: return table256;
        default: return none;
    }
}

uint8_t component(double fraction) { return static_cast<uint8_t>(std::clamp(fraction, 0.0, 1.0) * 255); }

size_t copyCode(std::array<char, 24>& code, std::string_view text) {
    size_t length = std::min(text.size(), code.size() - 1);  // cut at 23 bytes
    std::memcpy(code.data(), text.data(), length);
    code[length] = '\0';
    return length;
}

// Process name of the running program, as the kernel reports it.
std::string currentProcessName() {
    if (const char* name = program_invocation_short_name; name && *name) return name;
    return "strombel";
}

}  // namespace

TerminalColorMode detectTerminalColorMode(const char* term, const char* xcodeColors) {
    if (term) {
        if (strcasestr(term, "color")) {
            return strcasestr(term, "256") ? TerminalColorMode::Standard256 : TerminalColorMode::Standard16;
        }
        return TerminalColorMode::None;
    }
    if (xcodeColors && std::strcmp(xcodeColors, "YES") == 0) return TerminalColorMode::RgbEscapes;
    return TerminalColorMode::None;
}

TTYLoggerColorProfile::TTYLoggerColorProfile(std::optional<Color> foreground, std::optional<Color> background,
                                             int32_t mask_, int32_t context_, TerminalColorMode mode)
    : mask(mask_), context(context_) {
    if (foreground) {
        fg_r = component(foreground->red);
        fg_g = component(foreground->green);
        fg_b = component(foreground->blue);
    }
    if (background) {
        bg_r = component(background->red);
        bg_g = component(background->green);
        bg_b = component(background->blue);
    }
    const std::vector<ColorRow>& table = colorTable(mode);
    if (foreground) {
        if (mode == TerminalColorMode::Standard16 || mode == TerminalColorMode::Standard256) {
            fgCodeIndex = TTYLogger::codeIndexForColor(*foreground, mode);
            fgCodeRaw = table[fgCodeIndex].foreground;
            fgCodeLen = copyCode(fgCode, "\x1b[" + fgCodeRaw);
        } else if (mode == TerminalColorMode::RgbEscapes) {
            fgCodeLen = copyCode(fgCode, fmt::format("\x1b[fg{},{},{};", fg_r, fg_g, fg_b));
        }
    }
    if (background) {
        if (mode == TerminalColorMode::Standard16 || mode == TerminalColorMode::Standard256) {
            bgCodeIndex = TTYLogger::codeIndexForColor(*background, mode);
            bgCodeRaw = table[bgCodeIndex].background;
            bgCodeLen = copyCode(bgCode, "\x1b[" + bgCodeRaw);
        } else if (mode == TerminalColorMode::RgbEscapes) {
            bgCodeLen = copyCode(bgCode, fmt::format("\x1b[bg{},{},{};", bg_r, bg_g, bg_b));
        }
    }
    std::string_view reset;
    if (mode == TerminalColorMode::Standard16 || mode == TerminalColorMode::Standard256) reset = "\x1b[0m";
    if (mode == TerminalColorMode::RgbEscapes) reset = "\x1b[;";
    if (!reset.empty()) std::memcpy(resetCode.data(), reset.data(), reset.size());
    resetCodeLen = reset.size();
}

std::string TTYLoggerColorProfile::description() const {
    return fmt::format("<TTYLoggerColorProfile: {} mask:{} ctxt:{} fg:{},{},{} bg:{},{},{} fgCode:{} bgCode:{}>",
                       static_cast<const void*>(this), mask, context, fg_r, fg_g, fg_b, bg_r, bg_g, bg_b, fgCodeRaw,
                       bgCodeRaw);
}

std::shared_ptr<TTYLogger> TTYLogger::sharedInstance() {
    static const std::shared_ptr<TTYLogger> instance = std::make_shared<TTYLogger>(
        STDERR_FILENO, detectTerminalColorMode(std::getenv("TERM"), std::getenv("XcodeColors")),
        currentProcessName(), ::getpid());
    return instance;
}

TTYLogger::TTYLogger(int fd, TerminalColorMode mode, std::string appName, pid_t processID)
    : AbstractLogger("strombel.logging.ttyLogger"),
      fd_(fd),
      mode_(mode),
      app_(std::move(appName)),
      pid_(fmt::format("{}", processID)) {
    colorProfilesArray_.reserve(8);
}

uint64_t TTYLogger::codeIndexForColor(Color color, TerminalColorMode mode) {
    const std::vector<ColorRow>& table = colorTable(mode);
    double best = 100.0;
    uint64_t bestIndex = 0;
    for (size_t i = 0; i < table.size(); ++i) {
        double distance = std::sqrt(std::pow(table[i].red - color.red, 2) + std::pow(table[i].green - color.green, 2) +
                                    std::pow(table[i].blue - color.blue, 2));
        if (distance < best) {
            best = distance;
            bestIndex = i;
        }
    }
    return bestIndex;
}

bool TTYLogger::colorsEnabled() {
    return readSetting([this] { return colorsEnabled_; });
}

void TTYLogger::setColorsEnabled(bool enabled) {
    changeSetting([this, enabled] {
        colorsEnabled_ = enabled;
        if (colorProfilesArray_.empty()) loadDefaultColorProfiles();
    });
}

void TTYLogger::storeFlagProfile(TTYLoggerColorProfile profile) {
    auto found = std::find_if(colorProfilesArray_.begin(), colorProfilesArray_.end(), [&](const auto& existing) {
        return existing.mask == profile.mask && existing.context == profile.context;
    });
    if (found != colorProfilesArray_.end()) {
        *found = std::move(profile);
    } else {
        colorProfilesArray_.push_back(std::move(profile));
    }
}

void TTYLogger::setForegroundColor(std::optional<Color> foreground, std::optional<Color> background,
                                   int32_t flagMask, int32_t context) {
    changeSettingHereOrQueued([this, foreground, background, flagMask, context] {
        storeFlagProfile(TTYLoggerColorProfile(foreground, background, flagMask, context, mode_));
    });
}

void TTYLogger::setForegroundColor(std::optional<Color> foreground, std::optional<Color> background, LogTag tag) {
    if (!tag) return;
    changeSettingHereOrQueued([this, foreground, background, tag] {
        colorProfilesDict_.insert_or_assign(
            tag.get(), std::pair(tag, TTYLoggerColorProfile(foreground, background, 0, 0, mode_)));
    });
}

void TTYLogger::clearColorsForFlag(int32_t flagMask, int32_t context) {
    changeSettingHereOrQueued([this, flagMask, context] {
        auto found = std::find_if(colorProfilesArray_.begin(), colorProfilesArray_.end(), [&](const auto& existing) {
            return existing.mask == flagMask && existing.context == context;
        });
        if (found != colorProfilesArray_.end()) colorProfilesArray_.erase(found);
    });
}

void TTYLogger::clearColorsForTag(const LogTag& tag) {
    if (!tag) return;
    changeSettingHereOrQueued([this, key = tag.get()] { colorProfilesDict_.erase(key); });
}

void TTYLogger::clearColorsForAllFlags() {
    changeSettingHereOrQueued([this] { colorProfilesArray_.clear(); });
}

void TTYLogger::clearColorsForAllTags() {
    changeSettingHereOrQueued([this] { colorProfilesDict_.clear(); });
}

void TTYLogger::clearAllColors() {
    changeSettingHereOrQueued([this] {
        colorProfilesArray_.clear();
        colorProfilesDict_.clear();
    });
}

void TTYLogger::loadDefaultColorProfiles() {
    setForegroundColor(Color::fromRGB(214, 57, 30), std::nullopt, LogFlagError);
    setForegroundColor(Color::fromRGB(204, 121, 32), std::nullopt, LogFlagWarning);
}

const TTYLoggerColorProfile* TTYLogger::profileFor(const LogMessage& message) const {
    if (!colorsEnabled_) return nullptr;
    if (message.tag()) {
        auto found = colorProfilesDict_.find(message.tag().get());
        if (found != colorProfilesDict_.end()) return &found->second.second;
    }
    for (const TTYLoggerColorProfile& profile : colorProfilesArray_) {
        if ((profile.mask & message.logFlag()) && profile.context == message.logContext()) return &profile;
    }
    return nullptr;
}

size_t TTYLogger::formatTimestamp(const LogMessage& message, std::array<char, 24>& buffer) {
    auto sinceEpoch = message.timestamp().time_since_epoch();
    auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    int milliseconds = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count());
    std::time_t second = static_cast<std::time_t>(seconds.count());
    if (second != cachedSecond_) {
        std::tm local{};
        ::localtime_r(&second, &local);
        auto end = fmt::format_to_n(cachedPrefix_.data(), 19, "{:04d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}",
                                    local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                                    local.tm_sec);
        cachedPrefixLength_ = std::min<size_t>(end.size, 19);
        cachedSecond_ = second;
    }
    size_t length = cachedPrefixLength_;
    std::memcpy(buffer.data(), cachedPrefix_.data(), length);
    buffer[length++] = ':';
    buffer[length++] = static_cast<char>('0' + milliseconds / 100);
    buffer[length++] = static_cast<char>('0' + milliseconds / 10 % 10);
    buffer[length++] = static_cast<char>('0' + milliseconds % 10);
    buffer[length] = '\0';
    return length;
}

void TTYLogger::logMessage(const LogMessage& message) {
    FormattedMessage formatted = formatter() ? formatter()->formatLogMessage(message) : FormattedMessage::messageText();
    const std::string* text = formatted.text(message);
    if (!text) return;
    std::string repaired;
    std::string_view bytes = *text;
    if (!isValidUtf8(bytes)) {
        repaired = withReplacementCharacters(bytes);
        bytes = repaired;
    }

    const TTYLoggerColorProfile* profile = profileFor(message);
    auto piece = [](const void* data, size_t length) { return iovec{const_cast<void*>(data), length}; };
    const bool endsInNewline = !bytes.empty() && bytes.back() == '\n';
    iovec fg = profile ? piece(profile->fgCode.data(), profile->fgCodeLen) : piece(nullptr, 0);
    iovec bg = profile ? piece(profile->bgCode.data(), profile->bgCodeLen) : piece(nullptr, 0);
    iovec reset = profile ? piece(profile->resetCode.data(), profile->resetCodeLen) : piece(nullptr, 0);
    iovec newline = piece("\n", endsInNewline ? 0 : 1);
    iovec body = piece(bytes.data(), bytes.size());

    if (formatted.kind() == FormattedMessage::Kind::Text) {
        std::array<iovec, 5> pieces{fg, bg, body, newline, reset};
        writeAll(fd_, pieces);
        return;
    }
    std::array<char, 24> stamp;
    size_t stampLength = formatTimestamp(message, stamp);
    std::array<char, 9> thread;
    auto threadEnd = fmt::format_to_n(thread.data(), 8, "{:x}", message.machThreadID());
    std::array<iovec, 13> pieces{
        fg,
        bg,
        piece(stamp.data(), stampLength),
        piece(" ", 1),
        piece(app_.data(), app_.size()),
        piece("[", 1),
        piece(pid_.data(), pid_.size()),
        piece(":", 1),
        piece(thread.data(), std::min<size_t>(threadEnd.size, 8)),
        piece("] ", 2),
        body,
        newline,
        reset,
    };
    writeAll(fd_, pieces);
}

}  // namespace strombel::logging
