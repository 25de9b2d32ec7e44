#pragma once

// The console logger: one line per message on standard error, with a date and
// time stamp, the process name, the process id and the thread, optionally
// coloured by flag, context or tag.

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "logging/logger.h"

namespace strombel::logging {

/// A colour as red, green and blue fractions from 0 to 1.
struct Color {
    double red = 0;
    double green = 0;
    double blue = 0;

    static Color fromRGB(uint8_t red, uint8_t green, uint8_t blue) {
        return Color{red / 255.0, green / 255.0, blue / 255.0};
    }
};

/// What escape sequences the terminal understands.
enum class TerminalColorMode {
    None,          // no colour codes at all
    Standard16,    // the 16 standard escape colours
    Standard256,   // the 256-colour escapes
    RgbEscapes,    // escapes that carry RGB values ("XcodeColors")
};

/// The mode for a terminal described by the "TERM" and "XcodeColors" environment
/// values (either may be null).
TerminalColorMode detectTerminalColorMode(const char* term, const char* xcodeColors);

/// One colour rule of the console logger.
class TTYLoggerColorProfile {
public:
    TTYLoggerColorProfile(std::optional<Color> foreground, std::optional<Color> background, int32_t mask,
                          int32_t context, TerminalColorMode mode);

    int32_t mask;
    int32_t context;
    uint8_t fg_r = 0, fg_g = 0, fg_b = 0;
    uint8_t bg_r = 0, bg_g = 0, bg_b = 0;
    uint64_t fgCodeIndex = 0;
    std::string fgCodeRaw;
    uint64_t bgCodeIndex = 0;
    std::string bgCodeRaw;
    std::array<char, 24> fgCode{};
    size_t fgCodeLen = 0;
    std::array<char, 24> bgCode{};
    size_t bgCodeLen = 0;
    std::array<char, 8> resetCode{};
    size_t resetCodeLen = 0;

    std::string description() const;
};

/// The console logger ("strombel.logging.ttyLogger"). Colours start disabled.
class TTYLogger final : public AbstractLogger {
public:
    /// The one instance of the program: standard error, colour mode from the
    /// environment, read the first time this is called.
    static std::shared_ptr<TTYLogger> sharedInstance();

    /// A private instance writing to `fd` (tests, tools).
    TTYLogger(int fd, TerminalColorMode mode, std::string appName, pid_t processID);

    void logMessage(const LogMessage& message) override;

    /// Waits on the logging queue and this logger's queue (see `logFormatter`).
    bool colorsEnabled();
    /// Returns at once; enabling colours with no flag profile loads the defaults.
    void setColorsEnabled(bool enabled);

    // The colour setters and clearers run directly on this logger's queue and are
    // otherwise queued through the logging queue; they never wait.
    void setForegroundColor(std::optional<Color> foreground, std::optional<Color> background, int32_t flagMask,
                            int32_t context = 0);
    void setForegroundColor(std::optional<Color> foreground, std::optional<Color> background, LogTag tag);
    void clearColorsForFlag(int32_t flagMask, int32_t context = 0);
    void clearColorsForTag(const LogTag& tag);
    void clearColorsForAllFlags();
    void clearColorsForAllTags();
    void clearAllColors();
    /// Errors in (214, 57, 30), warnings in (204, 121, 32), no backgrounds.
    void loadDefaultColorProfiles();

    TerminalColorMode colorMode() const { return mode_; }

    /// The row of the mode's colour table nearest to `color` (0 when the table is empty).
    static uint64_t codeIndexForColor(Color color, TerminalColorMode mode);

private:
    const TTYLoggerColorProfile* profileFor(const LogMessage& message) const;
    void storeFlagProfile(TTYLoggerColorProfile profile);
    // Writes the "yyyy-MM-dd HH:mm:ss:SSS" stamp into `buffer`; returns its length.
    size_t formatTimestamp(const LogMessage& message, std::array<char, 24>& buffer);

    const int fd_;
    const TerminalColorMode mode_;
    const std::string app_;
    const std::string pid_;
    bool colorsEnabled_ = false;
    std::vector<TTYLoggerColorProfile> colorProfilesArray_;
    std::map<const void*, std::pair<LogTag, TTYLoggerColorProfile>> colorProfilesDict_;
    // The calendar fields of the last second written, reused within that second.
    std::time_t cachedSecond_ = -1;
    std::array<char, 24> cachedPrefix_{};
    size_t cachedPrefixLength_ = 0;
};

}  // namespace strombel::logging
