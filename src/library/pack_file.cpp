#include "library/pack_file.h"

#include "json/json_decoder.h"
#include "logging/log.h"

namespace strombel::library {
namespace {

platform::Error invalid(std::string_view message, PackErrorCode code = PackErrorInvalid) {
    return platform::Error::make(kPackErrorDomain, code, message);
}

/// Reads an optional string member: missing is fine, another type is not.
bool optionalString(const json::Value& object, std::string_view key, std::string& into) {
    const json::Value* member = object.find(key);
    if (!member || member->isNull()) return true;
    if (!member->isString()) return false;
    into = member->asString();
    return true;
}

}  // namespace

bool isPlainFileName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name) {
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    }
    return true;
}

platform::Result<PackDescription> readPackDescription(std::string_view text) {
    auto decoded = json::objectFromJSONString(text);
    if (!decoded.ok()) {
        return platform::Error::make(kPackErrorDomain, PackErrorNotJson, "the pack file is not JSON", {},
                                     std::make_shared<const platform::Error>(decoded.error()));
    }
    const json::Value& root = decoded.value();
    if (!root.isObject()) return invalid("the pack file is not a JSON object");

    PackDescription pack;
    const json::Value& id = root["id"];
    if (!id.isString() || id.asStringView().empty()) return invalid("the pack has no \"id\" string");
    pack.id = id.asString();
    // The user's own samples form a pack of this id; no pack file may pose as it.
    if (pack.id == "usersamples") return invalid("the pack id \"usersamples\" is reserved");
    if (!optionalString(root, "name", pack.name)) return invalid("the pack's \"name\" is not a string");
    if (pack.name.empty()) pack.name = pack.id;
    const json::Value& bundled = root["bundled"];
    if (bundled.isString()) {
        std::string value = bundled.asString();
        for (char& c : value) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        pack.bundled = value == "yes";
    }

    const json::Value* banks = root.find("banks");
    if (banks && !banks->isNull() && !banks->isArray()) return invalid("the pack's \"banks\" is not an array");
    if (banks && banks->isArray()) {
        for (const json::Value& bankValue : banks->items()) {
            if (!bankValue.isObject()) return invalid("a bank of the pack is not an object");
            PackBank bank;
            if (!optionalString(bankValue, "name", bank.name)) return invalid("a bank's \"name\" is not a string");
            if (bank.name.empty()) bank.name = pack.name;
            const json::Value* sounds = bankValue.find("sounds");
            if (sounds && !sounds->isNull() && !sounds->isArray()) {
                return invalid("a bank's \"sounds\" is not an array");
            }
            if (sounds && sounds->isArray()) {
                for (const json::Value& soundValue : sounds->items()) {
                    if (!soundValue.isObject()) return invalid("a sound of the pack is not an object");
                    const json::Value& file = soundValue["file"];
                    if (!file.isString()) return invalid("a sound has no \"file\" string");
                    PackSound sound;
                    sound.file = file.asString();
                    if (!isPlainFileName(sound.file)) {
                        return invalid("a sound's \"file\" is not a plain file name: " + sound.file,
                                       PackErrorUnsafeFileName);
                    }
                    if (!optionalString(soundValue, "name", sound.name)) {
                        return invalid("a sound's \"name\" is not a string");
                    }
                    bank.sounds.push_back(std::move(sound));
                }
            }
            if (bank.sounds.size() > 12) {
                STROMBEL_LOG_WARN("bank '{}' of pack {} lists {} sounds; the pads take the first twelve", bank.name,
                                  pack.id, bank.sounds.size());
                bank.sounds.resize(12);
            }
            pack.banks.push_back(std::move(bank));
        }
    }
    return pack;
}

}  // namespace strombel::library
