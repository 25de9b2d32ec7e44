#pragma once

// What the upload client's tests share: a sandbox with a bundle for the crash
// probe's identifier, a main loop on a manual clock pumped by hand, a private
// network thread, a cpp-httplib crash server on 127.0.0.1 and an alert and a
// delegate that write down what they were told.

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crash/crash_upload_manager.h"
#include "crash_test_support.h"
#include "http/network_thread.h"
#include "platform/clock.h"
#include "platform/main_bundle.h"
#include "platform/main_loop.h"
#include "platform/notification_center.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"

namespace strombel::crash::testing {

/// One request the crash server was sent.
struct ReceivedUpload {
    std::string method;
    std::string path;  // with the query
    httplib::Headers headers;
    std::string field;             // the form field's name ("xmlstring" or "xml")
    std::string fieldFileName;     // its file name, if any
    std::string fieldContentType;  // its content type, if any
    std::string document;          // the field's text (the server reads the form by its boundary)
    std::string header(const std::string& name) const {
        auto found = headers.find(name);
        return found == headers.end() ? std::string() : found->second;
    }
};

/// The crash server: every POST is written down and answered by `answer`
/// (200 "thanks" unless a test says otherwise). A handler may wait at the gate
/// until the test opens it.
class CrashServer {
public:
    using Answer = std::function<void(const httplib::Request&, httplib::Response&)>;

    CrashServer() {
        auto handler = [this](const httplib::Request& request, httplib::Response& response) {
            ReceivedUpload upload;
            upload.method = request.method;
            upload.path = request.target;
            upload.headers = request.headers;
            for (const char* name : {"xmlstring", "xml"}) {
                if (!request.has_file(name)) continue;
                httplib::MultipartFormData field = request.get_file_value(name);
                upload.field = name;
                upload.fieldFileName = field.filename;
                upload.fieldContentType = field.content_type;
                upload.document = field.content;
            }
            Answer answer;
            {
                std::lock_guard lock(mutex_);
                uploads_.push_back(upload);
                answer = answer_;
            }
            if (answer) {
                answer(request, response);
            } else {
                response.set_content("thanks", "text/plain");
            }
        };
        server_.Post(".*", handler);
        // One request per connection: a stop does not wait for an idle kept-alive one.
        server_.set_keep_alive_max_count(1);
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~CrashServer() {
        openGate();
        server_.stop();
        thread_.join();
    }

    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    void setAnswer(Answer answer) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(answer);
    }
    std::vector<ReceivedUpload> uploads() const {
        std::lock_guard lock(mutex_);
        return uploads_;
    }
    size_t uploadCount() const {
        std::lock_guard lock(mutex_);
        return uploads_.size();
    }
    /// For answers: waits until the test opens the gate (or the server stops).
    void waitAtGate() {
        std::unique_lock lock(mutex_);
        ++waiting_;
        gateChanged_.wait(lock, [this] { return gateOpen_; });
    }
    int waitingAtGate() const {
        std::lock_guard lock(mutex_);
        return waiting_;
    }
    void openGate() {
        std::lock_guard lock(mutex_);
        gateOpen_ = true;
        gateChanged_.notify_all();
    }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable gateChanged_;
    bool gateOpen_ = false;
    int waiting_ = 0;
    Answer answer_;
    std::vector<ReceivedUpload> uploads_;
};

/// Alerts as the user would see them, answered by the test.
class RecordingAlert : public CrashUploadAlertPresenter {
public:
    struct Shown {
        std::string title;
        std::string message;
        std::vector<std::string> buttons;
        std::function<void(int64_t)> answer;
    };
    void showAlert(const std::string& title, const std::string& message, const std::vector<std::string>& buttons,
                   std::function<void(int64_t)> answer) override {
        shown.push_back({title, message, buttons, std::move(answer)});
    }
    /// Presses the button at `index` of the latest alert.
    void press(int64_t index) {
        auto answer = std::move(shown.back().answer);
        answer(index);
    }
    std::vector<Shown> shown;
};

/// The delegate's messages as short lines ("will send", "failed 2", ...).
class RecordingDelegate : public CrashUploadManagerDelegate {
public:
    std::optional<std::string> applicationLogForCrashUploadManager(CrashUploadManager&) override { return applicationLog; }
    void crashManagerWillShowSubmitCrashReportAlert(CrashUploadManager&) override { events.push_back("will show alert"); }
    void crashManagerWillCancelSendingCrashReport(CrashUploadManager&) override { events.push_back("will cancel"); }
    void crashManagerWillSendCrashReportsAlways(CrashUploadManager&) override { events.push_back("will send always"); }
    void crashManagerWillSendCrashReport(CrashUploadManager&) override { events.push_back("will send"); }
    void crashManagerDidFailWithError(CrashUploadManager&, const platform::Error& error) override {
        events.push_back("failed " + error.domain + " " + std::to_string(error.code));
        ++ends;
    }
    void crashManagerDidFinishSendingCrashReport(CrashUploadManager&) override {
        events.push_back("finished");
        ++ends;
    }
    std::optional<std::string> applicationLog;
    std::vector<std::string> events;
    int ends = 0;
};

/// A sandbox whose bundle is the probe's ("org.strombel.crashprobe" 1.0,
/// executable "crash_probe", shown as "Probe"), with the shipped
/// "CrashUpload.bundle" unless told otherwise; the shared sandbox while it lives.
class UploadSandbox {
public:
    explicit UploadSandbox(bool withResourceBundle = true) {
        std::filesystem::create_directories(bundle());
        std::ofstream(bundle() / "Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>CFBundleIdentifier</key><string>org.strombel.crashprobe</string>"
               "<key>CFBundleVersion</key><string>1.0</string>"
               "<key>CFBundleExecutable</key><string>crash_probe</string>"
               "<key>CFBundleDisplayName</key><string>Probe</string></dict></plist>\n";
        if (withResourceBundle) {
            std::filesystem::create_directories(bundle() / "CrashUpload.bundle");
            std::filesystem::copy_file(std::filesystem::path(CRASH_UPLOAD_BUNDLE_DIR) / "CrashUpload.strings",
                                       bundle() / "CrashUpload.bundle" / "CrashUpload.strings");
        }
        platform::Sandbox::setShared(std::make_unique<platform::Sandbox>(probe.root(), bundle()));
        mainBundle = std::make_unique<platform::MainBundle>(bundle());
    }
    ~UploadSandbox() { platform::Sandbox::setShared(nullptr); }

    std::filesystem::path bundle() const { return probe.root() / "Strombel.app"; }
    std::filesystem::path crashes() const { return probe.root() / "Library/Caches/crashes"; }

    ProbeSandbox probe;
    std::unique_ptr<platform::MainBundle> mainBundle;
};

/// The regular files of `folder` (not recursing), by name.
inline std::vector<std::string> fileNames(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace strombel::crash::testing
