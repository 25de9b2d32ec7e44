#include "midi/note_map_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include <fmt/format.h>

#include "platform/set_aside.h"
#include "platform/whole_file.h"

namespace strombel::midi {
namespace {

constexpr int64_t kMappablePads = 12;

// A reader for exactly the file's shape: one object whose one key holds an
// object of quoted note numbers to pad numbers.
class Reader {
public:
    explicit Reader(const std::string& text) : text_(text) {}

    std::optional<NoteToButtonMap> read() {
        NoteToButtonMap map;
        if (!take('{')) return std::nullopt;
        std::string key;
        if (!readString(key) || key != kNoteToButtonMapKey || !take(':') || !take('{')) return std::nullopt;
        if (!peek('}')) {
            do {
                std::string noteText;
                int64_t pad = 0;
                if (!readString(noteText) || !take(':') || !readInteger(pad)) return std::nullopt;
                int64_t note = 0;
                if (!parseInteger(noteText, note)) return std::nullopt;
                if (note < 0 || note > 127 || pad < 0 || pad >= kMappablePads) return std::nullopt;
                map[static_cast<int32_t>(note)] = pad;
            } while (take(','));
        }
        if (!take('}') || !take('}')) return std::nullopt;
        skipSpace();
        if (at_ != text_.size()) return std::nullopt;
        return map;
    }

private:
    void skipSpace() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\t' || text_[at_] == '\r')) {
            ++at_;
        }
    }
    bool peek(char c) {
        skipSpace();
        return at_ < text_.size() && text_[at_] == c;
    }
    bool take(char c) {
        if (!peek(c)) return false;
        ++at_;
        return true;
    }
    bool readString(std::string& out) {
        if (!take('"')) return false;
        const size_t end = text_.find('"', at_);
        if (end == std::string::npos || end - at_ > 64) return false;
        out = text_.substr(at_, end - at_);
        at_ = end + 1;
        return true;
    }
    static bool parseInteger(const std::string& digits, int64_t& value) {
        if (digits.empty() || digits.size() > 9) return false;
        value = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        return true;
    }
    bool readInteger(int64_t& value) {
        skipSpace();
        const size_t start = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
        return parseInteger(text_.substr(start, at_ - start), value);
    }

    const std::string& text_;
    size_t at_ = 0;
};

}  // namespace

NoteToButtonMap defaultNoteToButtonMap() {
    NoteToButtonMap map;
    for (int32_t pad = 0; pad < kMappablePads; ++pad) map[60 + pad] = pad;
    return map;
}

std::string encodeNoteToButtonMap(const NoteToButtonMap& map) {
    std::string text = fmt::format("{{\"{}\": {{", kNoteToButtonMapKey);
    bool first = true;
    for (const auto& [note, pad] : map) {
        text += fmt::format("{}\"{}\": {}", first ? "" : ", ", note, pad);
        first = false;
    }
    text += "}}\n";
    return text;
}

std::optional<NoteToButtonMap> decodeNoteToButtonMap(const std::string& text) { return Reader(text).read(); }

NoteMapRead readNoteToButtonMapFile(const std::filesystem::path& path) {
    NoteMapRead result;
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        result.outcome = NoteMapRead::Outcome::missing;
        return result;
    }
    if (!std::filesystem::is_regular_file(path, error)) {
        result.outcome = NoteMapRead::Outcome::inaccessible;
        result.error = error ? fmt::format("cannot open {}: {}", path.string(), error.message())
                             : fmt::format("{} is not a file", path.string());
        return result;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        result.outcome = NoteMapRead::Outcome::inaccessible;
        result.error = fmt::format("cannot open {}: {}", path.string(), std::strerror(errno));
        return result;
    }
    std::ostringstream contents;
    contents << in.rdbuf();
    if (in.bad()) {
        result.outcome = NoteMapRead::Outcome::inaccessible;
        result.error = fmt::format("cannot read {}: {}", path.string(), std::strerror(errno));
        return result;
    }
    const std::string text = contents.str();
    if (text.size() > 64 * 1024) {
        result.outcome = NoteMapRead::Outcome::unreadable;
        result.error = "file too large";
        return result;
    }
    if (auto map = decodeNoteToButtonMap(text)) {
        result.outcome = NoteMapRead::Outcome::loaded;
        result.map = std::move(*map);
    } else {
        result.outcome = NoteMapRead::Outcome::unreadable;
        result.error = "not a note map";
    }
    return result;
}

platform::Result<void> writeNoteToButtonMapFile(const std::filesystem::path& path, const NoteToButtonMap& map) {
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    const platform::Result<void> written = platform::writeFileWhole(path, encodeNoteToButtonMap(map));
    if (!written) {
        const platform::Error& error = written.error();
        return platform::posixError(static_cast<int>(error.code), platform::systemReason(error));
    }
    return {};
}

std::optional<std::filesystem::path> setAsideNoteToButtonMapFile(const std::filesystem::path& path) {
    return platform::setFileAside(path, "unreadable");
}

}  // namespace strombel::midi
