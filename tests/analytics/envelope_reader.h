#pragma once

// An independent reader of the upload envelope, written from the record layout,
// for the tests to check what the client posted.

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace strombel::analytics::testing {

class ByteReader {
public:
    explicit ByteReader(const std::string& bytes) : bytes_(bytes) {}
    uint64_t number(int size) {
        need(static_cast<size_t>(size));
        uint64_t value = 0;
        for (int i = 0; i < size; ++i) value = value << 8 | static_cast<uint8_t>(bytes_[at_++]);
        return value;
    }
    uint8_t u8() { return static_cast<uint8_t>(number(1)); }
    uint16_t u16() { return static_cast<uint16_t>(number(2)); }
    int32_t i32() { return static_cast<int32_t>(number(4)); }
    int64_t i64() { return static_cast<int64_t>(number(8)); }
    double f64() {
        uint64_t bits = number(8);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    float f32() {
        uint32_t bits = static_cast<uint32_t>(number(4));
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    std::string bytes(size_t count) {
        need(count);
        std::string out = bytes_.substr(at_, count);
        at_ += count;
        return out;
    }
    std::string str() { return bytes(u16()); }
    size_t at() const { return at_; }
    size_t size() const { return bytes_.size(); }

private:
    void need(size_t count) const {
        if (bytes_.size() - at_ < count) throw std::runtime_error("the envelope ends early");
    }
    const std::string& bytes_;
    size_t at_ = 0;
};

struct EventRecord {
    uint16_t id = 0;
    std::string name;
    std::map<std::string, std::string> parameters;
    int64_t offset = 0;
    int64_t duration = 0;
};

struct ErrorRecord {
    uint16_t id = 0;
    int64_t time = 0;
    std::string errorString, message, exception;
    uint8_t type = 0;
    std::string report;
};

struct SessionRecord {
    uint16_t version = 0;
    std::string appVersion;
    int64_t start = 0, length = 0, pause = 0;
    std::map<std::string, std::pair<std::string, uint8_t>> parameters;
    std::string locale, timeZone, userID;
    uint8_t networkStatus = 0;
    double latitude = 0, longitude = 0;
    float accuracy = 0;
    int32_t pageViews = 0;
    uint8_t gender = 0;
    bool hasBirthDate = false;
    int64_t birthDate = 0;
    std::map<std::string, int32_t> eventCounts;
    std::vector<EventRecord> events;
    bool eventLogComplete = false;
    int32_t totalErrors = 0;
    std::vector<ErrorRecord> errors;
};

struct Envelope {
    uint16_t words[3] = {};
    uint16_t platform = 0, agentVersion = 0;
    int64_t written = 0;
    std::string apiKey, appVersion;
    std::map<uint16_t, std::string> identifiers;
    bool sentBefore = false, adTracking = false;
    int64_t firstUse = 0, sessionStart = 0;
    std::map<std::string, std::pair<std::string, uint8_t>> deviceProperties;
    std::map<std::string, std::vector<std::string>> launchOptions;
    std::vector<std::pair<std::string, std::map<std::string, std::string>>> origins;
    std::vector<SessionRecord> sessions;
    std::map<std::string, std::string> cookies;
    uint32_t checksum = 0;
    uint32_t computedChecksum = 0;
};

inline SessionRecord readSession(ByteReader& in) {
    SessionRecord s;
    s.version = in.u16();
    s.appVersion = in.str();
    s.start = in.i64();
    s.length = in.i64();
    s.pause = in.i64();
    for (uint16_t n = in.u16(); n > 0; --n) {
        std::string key = in.str();
        std::string value = in.str();
        s.parameters[key] = {value, in.u8()};
    }
    s.locale = in.str();
    s.timeZone = in.str();
    s.networkStatus = in.u8();
    s.userID = in.str();
    if (in.u8() != 1) throw std::runtime_error("location flag");
    s.latitude = in.f64();
    s.longitude = in.f64();
    s.accuracy = in.f32();
    s.pageViews = in.i32();
    in.u8();
    in.u8();
    s.gender = in.u8();
    s.hasBirthDate = in.u8() != 0;
    if (s.hasBirthDate) s.birthDate = in.i64();
    for (uint16_t m = in.u16(); m > 0; --m) {
        std::string name = in.str();
        s.eventCounts[name] = in.i32();
    }
    for (uint16_t k = in.u16(); k > 0; --k) {
        EventRecord e;
        e.id = in.u16();
        e.name = in.str();
        for (uint16_t n = in.u16(); n > 0; --n) {
            std::string key = in.str();
            e.parameters[key] = in.str();
        }
        e.offset = in.i64();
        e.duration = in.i64();
        s.events.push_back(e);
    }
    s.eventLogComplete = in.u8() != 0;
    s.totalErrors = in.i32();
    for (uint16_t e = in.u16(); e > 0; --e) {
        ErrorRecord r;
        r.id = in.u16();
        r.time = in.i64();
        r.errorString = in.str();
        r.message = in.str();
        r.exception = in.str();
        r.type = in.u8();
        if (in.u8() == 1) r.report = in.bytes(static_cast<size_t>(in.number(4)));
        s.errors.push_back(r);
    }
    if (in.u16() != 0 || in.u16() != 0) throw std::runtime_error("the two empty lists");
    return s;
}

inline Envelope readEnvelope(const std::string& bytes) {
    Envelope env;
    ByteReader in(bytes);
    for (uint16_t& word : env.words) word = in.u16();
    in.i64();
    in.u16();
    env.platform = in.u16();
    env.agentVersion = in.u16();
    env.written = in.i64();
    env.apiKey = in.str();
    env.appVersion = in.str();
    for (uint16_t n = in.u16(); n > 0; --n) {
        uint16_t kind = in.u16();
        env.identifiers[kind] = kind == 4 ? in.bytes(in.u16()) : in.str();
    }
    in.u8();
    env.sentBefore = in.u8() != 0;
    env.adTracking = in.u8() != 0;
    env.firstUse = in.i64();
    env.sessionStart = in.i64();
    for (uint16_t n = in.u16(); n > 0; --n) {
        std::string key = in.str();
        std::string value = in.str();
        env.deviceProperties[key] = {value, in.u8()};
    }
    if (in.u16() != 0 || in.u8() != 0) throw std::runtime_error("the empty list and flag");
    for (uint16_t n = in.u16(); n > 0; --n) {
        std::string key = in.str();
        std::vector<std::string>& items = env.launchOptions[key];
        for (uint16_t m = in.u16(); m > 0; --m) items.push_back(in.str());
    }
    for (uint16_t n = in.u16(); n > 0; --n) {
        std::string name = in.str();
        std::map<std::string, std::string> parameters;
        for (uint16_t m = in.u16(); m > 0; --m) {
            std::string key = in.str();
            parameters[key] = in.str();
        }
        env.origins.emplace_back(name, parameters);
    }
    for (uint16_t n = in.u16(); n > 0; --n) env.sessions.push_back(readSession(in));
    for (uint16_t n = in.u16(); n > 0; --n) {
        std::string key = in.bytes(in.u16());
        env.cookies[key] = in.bytes(in.u16());
    }
    size_t before = in.at();
    env.checksum = static_cast<uint32_t>(in.number(4));
    if (in.at() != in.size()) throw std::runtime_error("bytes after the checksum");
    env.computedChecksum = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(before)));
    return env;
}

}  // namespace strombel::analytics::testing
