#include "analytics/keyed_archive.h"

#include <cstring>

#include "analytics/usage_checksum.h"

namespace strombel::analytics {

namespace {

constexpr char kMagic[4] = {'U', 'K', 'A', '1'};

enum Tag : uint8_t {
    kNil = 0,
    kFalse = 1,
    kTrue = 2,
    kInteger = 3,
    kReal = 4,
    kText = 5,
    kBytes = 6,
    kDate = 7,
    kArray = 8,
    kDictionary = 9,
    kObject = 10,
};

void putU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void putU64(std::vector<uint8_t>& out, uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void putDouble(std::vector<uint8_t>& out, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    putU64(out, bits);
}

void putText(std::vector<uint8_t>& out, const std::string& text) {
    putU32(out, static_cast<uint32_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

void putFields(std::vector<uint8_t>& out, const ArchiveValue::Dictionary& fields);

void put(std::vector<uint8_t>& out, const ArchiveValue& value) {
    std::visit(
        [&](const auto& held) {
            using T = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                out.push_back(kNil);
            } else if constexpr (std::is_same_v<T, bool>) {
                out.push_back(held ? kTrue : kFalse);
            } else if constexpr (std::is_same_v<T, int64_t>) {
                out.push_back(kInteger);
                putU64(out, static_cast<uint64_t>(held));
            } else if constexpr (std::is_same_v<T, double>) {
                out.push_back(kReal);
                putDouble(out, held);
            } else if constexpr (std::is_same_v<T, std::string>) {
                out.push_back(kText);
                putText(out, held);
            } else if constexpr (std::is_same_v<T, ArchiveValue::Bytes>) {
                out.push_back(kBytes);
                putU32(out, static_cast<uint32_t>(held.size()));
                out.insert(out.end(), held.begin(), held.end());
            } else if constexpr (std::is_same_v<T, ArchiveDate>) {
                out.push_back(kDate);
                putDouble(out, held.seconds);
            } else if constexpr (std::is_same_v<T, ArchiveValue::Array>) {
                out.push_back(kArray);
                putU32(out, static_cast<uint32_t>(held.size()));
                for (const ArchiveValue& item : held) put(out, item);
            } else if constexpr (std::is_same_v<T, ArchiveValue::Dictionary>) {
                out.push_back(kDictionary);
                putFields(out, held);
            } else {
                out.push_back(kObject);
                putText(out, held.className);
                putFields(out, held.fields);
            }
        },
        value.storage());
}

void putFields(std::vector<uint8_t>& out, const ArchiveValue::Dictionary& fields) {
    putU32(out, static_cast<uint32_t>(fields.size()));
    for (const auto& [key, item] : fields) {
        putText(out, key);
        put(out, item);
    }
}

// Reads one archive; every step checks the bytes left first.
class Reader {
public:
    explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool value(ArchiveValue& out, int depth) {
        if (depth > KeyedArchive::kMaximumDepth) return fail("nested too deeply");
        uint8_t tag;
        if (!byte(tag)) return false;
        switch (tag) {
            case kNil: out = ArchiveValue(); return true;
            case kFalse: out = ArchiveValue(false); return true;
            case kTrue: out = ArchiveValue(true); return true;
            case kInteger: {
                uint64_t raw;
                if (!u64(raw)) return false;
                out = ArchiveValue(static_cast<int64_t>(raw));
                return true;
            }
            case kReal:
            case kDate: {
                uint64_t raw;
                if (!u64(raw)) return false;
                double real;
                std::memcpy(&real, &raw, sizeof real);
                out = tag == kReal ? ArchiveValue(real) : ArchiveValue(ArchiveDate{real});
                return true;
            }
            case kText: {
                std::string text;
                if (!textOf(text)) return false;
                out = ArchiveValue(std::move(text));
                return true;
            }
            case kBytes: {
                uint32_t length;
                if (!u32(length) || !have(length)) return false;
                ArchiveValue::Bytes block(bytes_.begin() + at_, bytes_.begin() + at_ + length);
                at_ += length;
                out = ArchiveValue(std::move(block));
                return true;
            }
            case kArray: {
                uint32_t count;
                // Every item takes at least one byte. The list grows as items are
                // read: a count is only a claim until its items are there.
                if (!u32(count) || !have(count)) return false;
                ArchiveValue::Array items;
                for (uint32_t i = 0; i < count; ++i) {
                    if (!value(items.emplace_back(), depth + 1)) return false;
                }
                out = ArchiveValue(std::move(items));
                return true;
            }
            case kDictionary: {
                ArchiveValue::Dictionary fields;
                if (!fieldsOf(fields, depth)) return false;
                out = ArchiveValue(std::move(fields));
                return true;
            }
            case kObject: {
                ArchiveValue::Object object;
                if (!textOf(object.className) || !fieldsOf(object.fields, depth)) return false;
                out = ArchiveValue(std::move(object));
                return true;
            }
            default:
                return fail("unknown value tag");
        }
    }

    bool atEnd() const { return at_ == bytes_.size(); }
    const std::string& error() const { return error_; }

private:
    bool fail(const char* reason) {
        if (error_.empty()) error_ = reason;
        return false;
    }
    bool have(size_t count) { return bytes_.size() - at_ >= count ? true : fail("a length runs past the end"); }
    bool byte(uint8_t& out) {
        if (!have(1)) return false;
        out = bytes_[at_++];
        return true;
    }
    bool u32(uint32_t& out) {
        if (!have(4)) return false;
        out = 0;
        for (int i = 0; i < 4; ++i) out = out << 8 | bytes_[at_++];
        return true;
    }
    bool u64(uint64_t& out) {
        if (!have(8)) return false;
        out = 0;
        for (int i = 0; i < 8; ++i) out = out << 8 | bytes_[at_++];
        return true;
    }
    bool textOf(std::string& out) {
        uint32_t length;
        if (!u32(length) || !have(length)) return false;
        out.assign(reinterpret_cast<const char*>(bytes_.data()) + at_, length);
        at_ += length;
        return true;
    }
    bool fieldsOf(ArchiveValue::Dictionary& out, int depth) {
        uint32_t count;
        // Every field takes at least five bytes: a key length and a tag.
        if (!u32(count) || !have(static_cast<size_t>(count) * 5)) return false;
        for (uint32_t i = 0; i < count; ++i) {
            std::string key;
            ArchiveValue item;
            if (!textOf(key) || !value(item, depth + 1)) return false;
            if (!out.emplace(std::move(key), std::move(item)).second) return fail("a key comes twice");
        }
        return true;
    }

    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
    std::string error_;
};

}  // namespace

const ArchiveValue* ArchiveValue::field(const std::string& key) const {
    const Dictionary* fields = nullptr;
    if (const Object* object = get<Object>()) fields = &object->fields;
    if (const Dictionary* dictionary = get<Dictionary>()) fields = dictionary;
    if (!fields) return nullptr;
    auto found = fields->find(key);
    return found == fields->end() ? nullptr : &found->second;
}

std::string ArchiveValue::text(const std::string& key, const std::string& fallback) const {
    const ArchiveValue* found = field(key);
    const std::string* text = found ? found->get<std::string>() : nullptr;
    return text ? *text : fallback;
}

int64_t ArchiveValue::integer(const std::string& key, int64_t fallback) const {
    const ArchiveValue* found = field(key);
    if (!found) return fallback;
    if (const int64_t* value = found->get<int64_t>()) return *value;
    if (const bool* value = found->get<bool>()) return *value ? 1 : 0;
    return fallback;
}

double ArchiveValue::real(const std::string& key, double fallback) const {
    const ArchiveValue* found = field(key);
    if (!found) return fallback;
    if (const double* value = found->get<double>()) return *value;
    if (const int64_t* value = found->get<int64_t>()) return static_cast<double>(*value);
    return fallback;
}

bool ArchiveValue::flag(const std::string& key, bool fallback) const {
    const ArchiveValue* found = field(key);
    if (!found) return fallback;
    if (const bool* value = found->get<bool>()) return *value;
    if (const int64_t* value = found->get<int64_t>()) return *value != 0;
    return fallback;
}

std::optional<double> ArchiveValue::date(const std::string& key) const {
    const ArchiveValue* found = field(key);
    const ArchiveDate* date = found ? found->get<ArchiveDate>() : nullptr;
    if (!date) return std::nullopt;
    return date->seconds;
}

ArchiveValue::Bytes ArchiveValue::bytes(const std::string& key) const {
    const ArchiveValue* found = field(key);
    const Bytes* block = found ? found->get<Bytes>() : nullptr;
    return block ? *block : Bytes{};
}

std::optional<std::string> ArchiveValue::optionalText(const std::string& key) const {
    const ArchiveValue* found = field(key);
    const std::string* text = found ? found->get<std::string>() : nullptr;
    if (!text) return std::nullopt;
    return *text;
}

ArchiveValue ArchiveValue::ofOptional(const std::optional<std::string>& text) {
    return text ? ArchiveValue(*text) : ArchiveValue();
}

ArchiveValue ArchiveValue::ofOptionalDate(const std::optional<double>& seconds) {
    return seconds ? ArchiveValue(ArchiveDate{*seconds}) : ArchiveValue();
}

std::vector<uint8_t> KeyedArchive::encode(const ArchiveValue& value) {
    std::vector<uint8_t> out(std::begin(kMagic), std::end(kMagic));
    put(out, value);
    putU32(out, usageCrc32(out));
    return out;
}

platform::Result<ArchiveValue> KeyedArchive::decode(std::span<const uint8_t> bytes) {
    auto failed = [](const std::string& reason) { return platform::Error::make(kKeyedArchiveErrorDomain, 1, reason); };
    if (bytes.size() < sizeof kMagic + 1 + 4) return failed("too short to be an archive");
    if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return failed("not an archive");
    std::span<const uint8_t> body = bytes.first(bytes.size() - 4);
    uint32_t stored = 0;
    for (size_t i = bytes.size() - 4; i < bytes.size(); ++i) stored = stored << 8 | bytes[i];
    if (usageCrc32(body) != stored) return failed("the checksum does not match");
    Reader reader(body.subspan(sizeof kMagic));
    ArchiveValue value;
    if (!reader.value(value, 0)) return failed(reader.error());
    if (!reader.atEnd()) return failed("bytes follow the value");
    return value;
}

}  // namespace strombel::analytics
