#include "library/util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/host_time.h"
#include "platform/regular_file.h"

namespace strombel::library {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string trimmed(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && isSpace(text[begin])) ++begin;
    while (end > begin && isSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

double Util::guardBounds(double value, double min, double max) {
    if (value < min) return min;
    if (value > max) return max;
    return value;
}

int32_t Util::deviceType(const std::string& machine) {
    static const std::pair<const char*, int32_t> kTypes[] = {
        {"iPad1,1", 6},   {"iPad2,1", 8},   {"iPad3,1", 9}, {"iPhone1,1", 0}, {"iPhone2,1", 2},
        {"iPhone3,1", 4}, {"iPhone4,1", 7}, {"iPod1,1", 1}, {"iPod2,1", 3},   {"iPod3,1", 5},
    };
    for (const auto& [name, type] : kTypes) {
        if (machine == name) return type;
    }
    return 10;
}

int32_t Util::deviceType() { return deviceType(platform::devicePlatform()); }

Color Util::colorForHex(const std::string& hex) {
    std::string text = trimmed(hex);
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (text.size() <= 5) return Color{};
    if (text.front() == '#') text.erase(0, 1);
    if (text.size() != 6) return Color{};
    float components[3];
    for (int i = 0; i < 3; ++i) {
        int high = hexDigit(text[2 * i]), low = hexDigit(text[2 * i + 1]);
        // A pair that is not hexadecimal reads as 0.
        int value = high < 0 || low < 0 ? 0 : high * 16 + low;
        components[i] = static_cast<float>(value) / 255.0f;
    }
    return Color{components[0], components[1], components[2], 1.0f};
}

std::optional<std::string> Util::convertToPlainText(const std::optional<std::string>& html) {
    if (!html) return std::nullopt;
    std::string text;
    for (char c : *html) {
        if (c != '\n') text.push_back(c);
    }
    for (size_t open = text.find('<'); open != std::string::npos; open = text.find('<', open)) {
        size_t close = text.find('>', open);
        if (close == std::string::npos) break;
        std::string tag;
        for (size_t i = open + 1; i < close; ++i) {
            if (text[i] != ' ') tag.push_back(text[i]);
        }
        std::string replacement;
        if (tag == "/p") {
            replacement = "\n\n";
        } else if (tag == "br" || tag == "br/" || tag == "/br") {
            replacement = "\n";
        }
        text.replace(open, close - open + 1, replacement);
        open += replacement.size();
    }
    replaceAll(text, "\n\n\n", "\n\n");
    return trimmed(text);
}

std::optional<std::string> Util::loadTemplate(const std::filesystem::path& bundle, const std::string& name,
                                              const std::vector<std::pair<std::string, std::string>>& values) {
    const std::filesystem::path path = bundle / name;
    std::string text, error;
    // Opened without waiting (a named pipe would wait for a writer for ever); a
    // folder or anything else that is not a file is no template.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        error = std::strerror(errno);
    } else if (!S_ISREG(info.st_mode)) {
        error = platform::notARegularFile(path).value_or(path.string() + " is not a regular file");
    } else {
        char block[16384];
        for (ssize_t got; (got = ::read(fd, block, sizeof block)) != 0;) {
            if (got > 0) {
                text.append(block, size_t(got));
            } else if (errno != EINTR) {
                error = std::strerror(errno);
                break;
            }
        }
    }
    if (fd >= 0) ::close(fd);
    if (!error.empty()) {
        std::fprintf(stderr, "cant read contents of template file %s. Error: %s\n", name.c_str(), error.c_str());
        return std::nullopt;
    }
    for (const auto& [key, value] : values) replaceAll(text, "[" + key + "]", value);
    return text;
}

}  // namespace strombel::library
