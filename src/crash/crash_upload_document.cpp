// The crash upload client's document and request: every stored report that
// decodes becomes one <crash> element of an XML document, posted as a
// multipart form; the answer decides whether the reports go.

#include <fmt/format.h>

#include "crash/crash_file_io.h"
#include "crash/crash_log.h"
#include "crash/crash_log_text_formatter.h"
#include "crash/crash_upload_connection.h"
#include "crash/crash_upload_manager.h"
#include "http/http_request.h"
#include "json/utf8.h"
#include "platform/host_time.h"
#include "platform/main_bundle.h"
#include "platform/main_loop.h"
#include "platform/property_list.h"

namespace strombel::crash {

#define CRASH_UPLOAD_DEBUG(...) debug(__func__, __LINE__, fmt::format(__VA_ARGS__))

namespace {

constexpr const char* kBoundary = "----FOO";
constexpr double kTimeoutSeconds = 15.0;

// A value as XML text: characters XML does not allow (most control characters,
// surrogates, U+FFFE and U+FFFF) and bytes that are not UTF-8 become U+FFFD;
// with `escape`, markup characters become entities.
std::string xmlText(std::string_view text, bool escape) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = p + text.size();
    while (p < end) {
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                json::utf8::append(out, json::utf8::kReplacementCharacter);
            } else if (escape && c == '<') {
                out += "&lt;";
            } else if (escape && c == '>') {
                out += "&gt;";
            } else if (escape && c == '&') {
                out += "&amp;";
            } else if (escape && c == '"') {
                out += "&quot;";
            } else if (escape && c == '\'') {
                out += "&apos;";
            } else {
                out.push_back(static_cast<char>(c));
            }
            continue;
        }
        const unsigned char* next = nullptr;
        uint32_t codePoint = 0;
        json::utf8::ReadResult result = json::utf8::readScalar(p, end, &next, &codePoint, true);
        bool allowed = result == json::utf8::Valid && codePoint != 0xFFFE && codePoint != 0xFFFF;
        json::utf8::append(out, allowed ? codePoint : json::utf8::kReplacementCharacter);
        p = result == json::utf8::Exhausted ? end : next;
    }
    return out;
}

// A CDATA section's text: no "]]>" can end it early.
std::string cdataText(std::string_view text) {
    std::string clean = xmlText(text, false);
    std::string out;
    out.reserve(clean.size());
    size_t from = 0;
    for (size_t at; (at = clean.find("]]>", from)) != std::string::npos; from = at + 3) {
        out.append(clean, from, at - from);
        out += "]]]]><![CDATA[>";
    }
    out.append(clean, from, std::string::npos);
    return out;
}

}  // namespace

std::string CrashUploadManager::extractAppUUIDs(const CrashLog& report) const {
    std::string uuids;
    for (const CrashUploadAppUUID& image : CrashUploadTextFormatter::arrayOfAppUUIDsForCrashReport(report)) {
        if (image.uuid.empty() || image.arch.empty()) continue;
        uuids += "<uuid type=\"" + xmlText(image.type, true) + "\" arch=\"" + xmlText(image.arch, true) + "\">" +
                 xmlText(image.uuid, true) + "</uuid>";
    }
    return uuids;
}

std::string CrashUploadManager::reportElement(const std::filesystem::path& path, const CrashLog& report) {
    std::string userID, userName, userEmail, applicationLog;
    platform::Result<platform::PropertyValue::Dictionary> meta =
        detail::readPropertyList(path.string() + ".meta", kCrashUploadMaximumFileSize);
    if (meta.ok()) {
        auto text = [&](const char* key) {
            auto found = meta.value().find(key);
            const std::string* value = found == meta.value().end() ? nullptr : found->second.get<std::string>();
            return value ? *value : std::string();
        };
        userID = text("CrashUploadMetaUserID");
        userName = text("CrashUploadMetaUserName");
        userEmail = text("CrashUploadMetaUserEmail");
        applicationLog = text("CrashUploadMetaApplicationLog");
    } else {
        CRASH_UPLOAD_DEBUG("ERROR: Reading crash meta data. {}", meta.error().description());
    }
    std::string installString = appAnonID();
    std::string log = CrashUploadTextFormatter::stringValueForCrashReport(report, installString);

    std::string element;
    element.reserve(log.size() + 1024);
    element += "<crash><applicationname>" + xmlText(bundle_.executable().value_or(""), true) + "</applicationname>";
    element += "<uuids>" + extractAppUUIDs(report) + "</uuids>";
    element += "<bundleidentifier>" + xmlText(report.applicationInfo().applicationIdentifier(), true) +
               "</bundleidentifier>";
    element += "<systemversion>" + xmlText(report.systemInfo().operatingSystemVersion(), true) + "</systemversion>";
    element += "<platform>" + xmlText(devicePlatform(), true) + "</platform>";
    element += "<senderversion>" + xmlText(bundle_.version().value_or(""), true) + "</senderversion>";
    element += "<version>" + xmlText(report.applicationInfo().applicationVersion(), true) + "</version>";
    element += "<uuid>" + (report.uuidRef() ? uuidString(*report.uuidRef()) : std::string()) + "</uuid>";
    element += "<log><![CDATA[" + cdataText(log) + "]]></log>";
    element += "<userid>" + xmlText(userID, true) + "</userid>";
    element += "<username>" + xmlText(userName, true) + "</username>";
    element += "<contact>" + xmlText(userEmail, true) + "</contact>";
    element += "<installstring>" + xmlText(installString, true) + "</installstring>";
    element += "<description><![CDATA[" + cdataText(applicationLog) + "]]></description></crash>";
    return element;
}

void CrashUploadManager::sendCrashReports() {
    if (crashFiles_.empty()) {
        saveSettings();
        sendingInProgress_ = false;
        return;
    }
    std::string elements;
    std::vector<std::filesystem::path> kept;
    for (const std::filesystem::path& path : crashFiles_) {
        platform::Result<std::vector<uint8_t>> bytes = detail::readFileUpTo(path, kCrashUploadMaximumFileSize);
        if (bytes.ok() && !bytes.value().empty()) {
            platform::Result<CrashLog> report = CrashLog::initWithData(bytes.value());
            if (report.ok()) {
                elements += reportElement(path, report.value());
                approvedCrashReports_[path.string()] = true;
                kept.push_back(path);
                continue;
            }
            CRASH_UPLOAD_DEBUG("WARNING: Could not parse crash report");
        }
        deleteReport(path);
    }
    // The deleted reports leave the list, so that none of them is counted again.
    crashFiles_ = std::move(kept);
    saveSettings();
    if (elements.empty()) {
        sendingInProgress_ = false;
        return;
    }
    CRASH_UPLOAD_DEBUG("INFO: Sending crash reports:\n{}", elements);
    postXML("<crashes>" + elements + "</crashes>");
}

void CrashUploadManager::postXML(const std::string& xml) {
    std::string url = appIdentifier_.empty()
                          ? submissionURL_
                          : fmt::format("{}api/2/apps/{}/crashes?sdk={}&sdk_version={}&feedbackEnabled=no",
                                        submissionURL_, encodeAppIdentifier(), "CrashUpload", "3.0.0");
    statusCode_ = 200;
    responseData_.clear();
    if (url.empty()) {
        CRASH_UPLOAD_DEBUG("INFO: Sending crash reports could not start!");
        sendingInProgress_ = false;
        return;
    }

    std::string body = fmt::format("--{}\r\n", kBoundary);
    if (appIdentifier_.empty()) {
        body += "Content-Disposition: form-data; name=\"xmlstring\"\r\n\r\n";
    } else {
        body += "Content-Disposition: form-data; name=\"xml\"; filename=\"crash.xml\"\r\n";
        body += "Content-Type: text/xml\r\n\r\n";
    }
    body += xml;
    body += fmt::format("\r\n--{}--\r\n", kBoundary);

    urlConnection_ = std::make_unique<Connection>(
        *this, std::move(url), *services_.network);
    http::HttpRequest& request = urlConnection_->request();
    request.setRequestMethod("POST");
    request.setDownloadCache(nullptr);
    request.setTimeout(kTimeoutSeconds);
    request.setResendsOnRedirect(true);
    request.setMaximumBodySize(kCrashUploadMaximumFileSize);
    request.addRequestHeader("User-Agent", "CrashUpload/iOS");
    request.addRequestHeader("Accept-Encoding", "gzip");
    request.addRequestHeader("Content-type", fmt::format("multipart/form-data; boundary={}", kBoundary));
    request.setPostBody(std::string_view(body));
    request.startAsynchronous();

    if (delegate_) delegate_->crashManagerWillSendCrashReport(*this);
    CRASH_UPLOAD_DEBUG("INFO: Sending crash reports started.");
}

void CrashUploadManager::connectionDidReceiveResponse(int statusCode) { statusCode_ = statusCode; }

void CrashUploadManager::connectionDidReceiveData(const std::vector<uint8_t>& data) {
    responseData_.insert(responseData_.end(), data.begin(), data.end());
}

void CrashUploadManager::connectionDidFailWithError(const platform::Error& error) {
    if (delegate_) delegate_->crashManagerDidFailWithError(*this, error);
    CRASH_UPLOAD_DEBUG("ERROR: {}", error.description());
    endUpload();
}

void CrashUploadManager::connectionDidFinishLoading() {
    std::optional<platform::Error> error;
    if (statusCode_ >= 200 && statusCode_ < 400 && !responseData_.empty()) {
        cleanCrashReports();
        if (!appIdentifier_.empty()) {
            platform::Result<platform::PropertyValue> answer =
                platform::PropertyList::read(responseData_.data(), responseData_.size());
            std::optional<std::string> shown = answer ? platform::PropertyList::toXml(*answer) : std::nullopt;
            const std::string why = answer ? "" : answer.error().message();
            CRASH_UPLOAD_DEBUG("INFO: Received API response: {}", shown ? *shown : "(not a property list: " + why + ")");
        } else {
            CRASH_UPLOAD_DEBUG("Received API response: {}", std::string(responseData_.begin(), responseData_.end()));
        }
        if (delegate_) delegate_->crashManagerDidFinishSendingCrashReport(*this);
    } else if (statusCode_ == 400 && !appIdentifier_.empty()) {
        cleanCrashReports();
        error = platform::Error::make(kCrashUploadErrorDomain, 1,
                                      "The server rejected receiving crash reports for this app version!");
    } else if (!responseData_.empty()) {
        error = platform::Error::make(kCrashUploadErrorDomain, 3, fmt::format("Sending failed with status code: {}", statusCode_));
    } else {
        error = platform::Error::make(kCrashUploadErrorDomain, 2, "Sending failed with an empty response!");
    }
    if (error) {
        if (delegate_) delegate_->crashManagerDidFailWithError(*this, *error);
        CRASH_UPLOAD_DEBUG("ERROR: {}", error->description());
    }
    endUpload();
}

void CrashUploadManager::endUpload() {
    sendingInProgress_ = false;
    responseData_.clear();
    // Called from inside the request's own message, which allows its end.
    urlConnection_.reset();
}

}  // namespace strombel::crash
