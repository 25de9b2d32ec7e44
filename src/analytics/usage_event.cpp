#include "analytics/usage_event.h"

#include <fmt/format.h>

#include <algorithm>

#include "analytics/usage_global_variable_storage.h"
#include "analytics/usage_persistent_state.h"
#include "analytics/usage_protocol_data.h"
#include "analytics/usage_util.h"

namespace strombel::analytics {

namespace {

bool isObjectOf(const ArchiveValue& value, const char* className) {
    const ArchiveValue::Object* object = value.get<ArchiveValue::Object>();
    return object && object->className == className;
}

// Parameters are archived as a map from text to text, integer or real.
ArchiveValue archivedParameters(const json::Value& parameters) {
    ArchiveValue::Dictionary entries;
    for (const json::Member& member : parameters.members()) {
        const json::Value& value = member.value;
        ArchiveValue item;
        if (value.isString()) item = ArchiveValue(value.asString());
        else if (value.kind() == json::Kind::Int || value.kind() == json::Kind::UInt) item = ArchiveValue(value.asInt64());
        else if (value.isNumber()) item = ArchiveValue(value.asDouble());
        else continue;
        entries.emplace(member.key.asString(), std::move(item));
    }
    return ArchiveValue(std::move(entries));
}

json::Value parametersFromArchive(const ArchiveValue* archived) {
    std::vector<std::pair<std::string, json::Value>> members;
    if (const auto* entries = archived ? archived->get<ArchiveValue::Dictionary>() : nullptr) {
        for (const auto& [key, item] : *entries) {
            if (const auto* text = item.get<std::string>()) members.emplace_back(key, json::Value(*text));
            else if (const auto* integer = item.get<int64_t>()) members.emplace_back(key, json::Value(static_cast<long long>(*integer)));
            else if (const auto* real = item.get<double>()) members.emplace_back(key, json::Value(*real));
        }
    }
    return json::Value::object(std::move(members));
}

}  // namespace

std::string parameterText(const json::Value& value) {
    if (value.isDouble()) {
        // The platform's number text: integers without a fraction, others in full.
        double real = value.asDouble();
        if (real == static_cast<double>(static_cast<int64_t>(real)) && std::abs(real) < 1e15) {
            return fmt::format("{}", static_cast<int64_t>(real));
        }
        return fmt::format("{}", real);
    }
    return describe(value);
}

// ---- UsageEvent ----

UsageEvent::UsageEvent(const std::string& eventName, bool isTimed, const json::Value& more, UsageDate now)
    : name(eventName), started(now), timed(isTimed) {
    updateParameters(more);
    updateID();
}

void UsageEvent::updateID() { eventLogId = UsageAutoIncrement::instance().nextCountFor(2); }

void UsageEvent::updateParameters(const json::Value& more) {
    if (!more.isObject() || more.empty()) return;
    json::ObjectBuilder merged(parameters);
    for (const json::Member& member : more.members()) {
        if (!member.value.isString() && !member.value.isNumber()) continue;
        merged.set(member.key.asStringView(), member.value);
    }
    if (merged.size() > static_cast<size_t>(usage_limits::kParametersPerEvent)) return;
    parameters = std::move(merged).build();
}

int64_t UsageEvent::startOffsetFromSessionStart(UsageDate sessionStart) const {
    return UsageProtocolData::timeIntervalFrom(sessionStart, started);
}

int64_t UsageEvent::duration() const {
    if (!timed || !ended) return 0;
    return UsageProtocolData::timeIntervalFrom(started, ended);
}

void UsageEvent::dataRelativeToSessionStart(UsageDate sessionStart, Bytes& data) const {
    UsageProtocolData::appendUshort(eventLogId, data);
    UsageProtocolData::appendString(name, data);
    auto members = parameters.members();
    size_t count = std::min(members.size(), UsageProtocolData::kMaximumListCount);
    UsageProtocolData::appendUshort(static_cast<int64_t>(count), data);
    for (size_t i = 0; i < count; ++i) {
        UsageProtocolData::appendString(members[i].key.asStringView(), data);
        UsageProtocolData::appendString(parameterText(members[i].value), data);
    }
    UsageProtocolData::appendLong(startOffsetFromSessionStart(sessionStart), data);
    UsageProtocolData::appendLong(duration(), data);
}

ArchiveValue UsageEvent::archived() const {
    ArchiveValue::Object object{"UsageEvent", {}};
    object.fields.emplace("name", ArchiveValue(name));
    object.fields.emplace("started", ArchiveValue(ArchiveDate{started}));
    object.fields.emplace("ended", ArchiveValue::ofOptionalDate(ended));
    object.fields.emplace("timed", ArchiveValue(timed));
    object.fields.emplace("parameters", archivedParameters(parameters));
    object.fields.emplace("automaticallyEnded", ArchiveValue(automaticallyEnded));
    object.fields.emplace("eventLogId", ArchiveValue(eventLogId));
    return ArchiveValue(std::move(object));
}

std::optional<UsageEvent> UsageEvent::fromArchive(const ArchiveValue& value) {
    if (!isObjectOf(value, "UsageEvent")) return std::nullopt;
    UsageEvent event;
    event.name = value.text("name");
    event.started = value.date("started").value_or(0);
    event.ended = value.date("ended");
    event.timed = value.flag("timed");
    event.parameters = parametersFromArchive(value.field("parameters"));
    event.automaticallyEnded = value.flag("automaticallyEnded");
    event.eventLogId = static_cast<int32_t>(value.integer("eventLogId"));
    return event;
}

// ---- UsageError ----

UsageError UsageError::errorWithString(const std::optional<std::string>& errorString,
                                       const std::optional<std::string>& message,
                                       const std::optional<std::string>& exceptionString, int32_t errorType,
                                       Bytes reportData, UsageDate now) {
    UsageError error;
    error.errorID = UsageAutoIncrement::instance().nextCountFor(1);
    error.date = now;
    error.errorString = errorString;
    error.errorMessage = message;
    error.exceptionString = exceptionString;
    error.errorType = errorType;
    error.reportData = std::move(reportData);
    return error;
}

std::string UsageError::description() const {
    return fmt::format("errorLogId[{}] errorTime[{}] errorId[{}] errorMessage[{}] exception[{}] type[{}]", errorID,
                       describeDate(date), errorString.value_or("(null)"), errorMessage.value_or("(null)"),
                       exceptionString.value_or("(null)"), errorType);
}

void UsageError::appendToData(Bytes& data) const {
    UsageProtocolData::appendUshort(errorID, data);
    UsageProtocolData::appendTimestamp(date, data);
    UsageProtocolData::appendString(errorString.value_or(""), data);
    UsageProtocolData::appendString(errorMessage.value_or(""), data);
    UsageProtocolData::appendString(exceptionString.value_or(""), data);
    UsageProtocolData::appendByte(errorType, data);
    UsageProtocolData::appendByte(reportData.empty() ? 0 : 1, data);
    if (!reportData.empty()) UsageProtocolData::appendLargeData(reportData, data);
}

ArchiveValue UsageError::archived() const {
    ArchiveValue::Object object{"UsageError", {}};
    object.fields.emplace("errorID", ArchiveValue(errorID));
    object.fields.emplace("date", ArchiveValue(ArchiveDate{date}));
    object.fields.emplace("errorString", ArchiveValue::ofOptional(errorString));
    object.fields.emplace("errorMessage", ArchiveValue::ofOptional(errorMessage));
    object.fields.emplace("exceptionString", ArchiveValue::ofOptional(exceptionString));
    object.fields.emplace("errorType", ArchiveValue(errorType));
    object.fields.emplace("reportData", ArchiveValue(reportData));
    return ArchiveValue(std::move(object));
}

std::optional<UsageError> UsageError::fromArchive(const ArchiveValue& value) {
    if (!isObjectOf(value, "UsageError")) return std::nullopt;
    UsageError error;
    error.errorID = static_cast<int32_t>(value.integer("errorID"));
    error.date = value.date("date").value_or(0);
    error.errorString = value.optionalText("errorString");
    error.errorMessage = value.optionalText("errorMessage");
    error.exceptionString = value.optionalText("exceptionString");
    error.errorType = static_cast<int32_t>(value.integer("errorType"));
    error.reportData = value.bytes("reportData");
    return error;
}

}  // namespace strombel::analytics
