// The crash upload client as a user meets it: the probe crashes, the next
// start takes its report over, offers it, posts it to a crash server on
// 127.0.0.1 and deletes it once the server took it.

#include "crash/crash_upload_manager.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <fstream>

#include "crash/crash_log.h"
#include "crash/crash_log_text_formatter.h"
#include "crash_upload_test_support.h"
#include "platform/application_state.h"
#include "platform/property_list.h"

namespace strombel::crash {
namespace {

using namespace testing;
using namespace std::chrono_literals;

constexpr uint64_t kHalfSecond = 500 * platform::kNanosPerMillisecond;
constexpr double kNow = 1700000000.0;  // the wall clock: 2023-11-14 22:13:20 UTC
// kNow in seconds since 2001-01-01, the stored reports' names.
const std::string kReportName = "721692800";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<uint8_t> bytesOf(const std::filesystem::path& path) { return readBytes(path); }

using Dictionary = platform::PropertyValue::Dictionary;

std::vector<uint8_t> propertyList(Dictionary dictionary) {
    return platform::PropertyList::toBinary(platform::PropertyValue(std::move(dictionary))).value();
}

// The dictionary of a property list file (empty when it holds none).
Dictionary dictionaryIn(const std::filesystem::path& path) {
    std::vector<uint8_t> bytes = readBytes(path);
    platform::Result<platform::PropertyValue> list = platform::PropertyList::read(bytes.data(), bytes.size());
    const Dictionary* dictionary = list ? list->get<Dictionary>() : nullptr;
    return dictionary ? *dictionary : Dictionary{};
}

std::string textAt(const Dictionary& dictionary, const std::string& key) {
    auto found = dictionary.find(key);
    const std::string* text = found == dictionary.end() ? nullptr : found->second.get<std::string>();
    return text ? *text : "(none)";
}

void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

class CrashUploadTest : public ::testing::Test {
protected:
    virtual bool withResourceBundle() const { return true; }

    void SetUp() override {
        sandbox = std::make_unique<UploadSandbox>(withResourceBundle());
        defaults = std::make_unique<platform::UserDefaults>(sandbox->probe.root() / "defaults.sqlite");
    }
    void TearDown() override {
        manager.reset();
        server.reset();
    }

    CrashUploadManager& makeManager() {
        CrashUploadServices services;
        services.sandbox = &platform::Sandbox::shared();
        services.defaults = defaults.get();
        services.bundle = sandbox->mainBundle.get();
        services.loop = &loop;
        services.notifications = &center;
        services.network = &network;
        services.wallClock = [] { return kNow; };
        services.console = [this](std::string_view line) { console.emplace_back(line); };
        manager = std::make_unique<CrashUploadManager>(std::move(services));
        manager->setSubmissionURL(server->url("/crashes/crash_v200.php"));
        manager->setDelegate(&delegate);
        manager->setAlertPresenter(&alert);
        manager->setApplicationActiveQuery([this] { return active; });
        manager->setDebugLogEnabled(true);
        return *manager;
    }

    /// A live report of the probe (it keeps running, so nothing of it is pending).
    std::vector<uint8_t> liveReport() {
        std::filesystem::path out = sandbox->probe.root() / "live.crashlg";
        ProbeRun run = sandbox->probe.run({"live", "--out", out.string()});
        EXPECT_TRUE(run.exitedCleanly()) << run.output;
        return bytesOf(out);
    }
    /// A report stored in the crashes folder as a takeover leaves it.
    std::filesystem::path storeReport(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::filesystem::path path = sandbox->crashes() / name;
        writeBytes(path, bytes);
        writeBytes(path.string() + ".meta", propertyList({{"CrashUploadMetaUserName", "Mia"}}));
        return path;
    }

    /// Runs the main loop until `done`, waiting for the network meanwhile.
    bool pumpUntil(const std::function<bool()>& done) {
        auto limit = std::chrono::steady_clock::now() + 30s;
        for (;;) {
            loop.runPending();
            if (done()) return true;
            if (std::chrono::steady_clock::now() > limit) return false;
            std::this_thread::sleep_for(1ms);
        }
    }
    /// The program becomes active, and the client's 0.5 s pass.
    void becomeActive() {
        center.post(platform::kApplicationDidBecomeActiveNotification);
        loop.advance(kHalfSecond);
    }
    bool uploadEnded(int count = 1) {
        return pumpUntil([&] { return delegate.ends >= count; });
    }
    std::vector<std::string> storedFiles() const { return fileNames(sandbox->crashes()); }

    std::unique_ptr<UploadSandbox> sandbox;
    platform::ManualClock clock;
    platform::MainLoop loop{clock};
    http::NetworkThread network{loop};
    platform::NotificationCenter center;
    std::unique_ptr<platform::UserDefaults> defaults;
    std::unique_ptr<CrashServer> server = std::make_unique<CrashServer>();
    RecordingAlert alert;
    RecordingDelegate delegate;
    std::vector<std::string> console;
    bool active = true;
    std::unique_ptr<CrashUploadManager> manager;
};

// ---- End to end ------------------------------------------------------------------------

// Every service the client uses is handed in: one left out is named, and the
// client is not made on the program's own instead.
using CrashUploadDeathTest = CrashUploadTest;
TEST_F(CrashUploadDeathTest, AServiceNotHandedInIsNamed) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        const char* name;
        void (*leaveOut)(CrashUploadServices&);
    } cases[] = {
        {"sandbox", [](CrashUploadServices& s) { s.sandbox = nullptr; }},
        {"defaults", [](CrashUploadServices& s) { s.defaults = nullptr; }},
        {"bundle", [](CrashUploadServices& s) { s.bundle = nullptr; }},
        {"loop", [](CrashUploadServices& s) { s.loop = nullptr; }},
        {"notifications", [](CrashUploadServices& s) { s.notifications = nullptr; }},
        {"network", [](CrashUploadServices& s) { s.network = nullptr; }},
    };
    for (const auto& c : cases) {
        CrashUploadServices services{&platform::Sandbox::shared(), defaults.get(), sandbox->mainBundle.get(), &loop,
                                     &center, &network};
        c.leaveOut(services);
        EXPECT_DEATH(CrashUploadManager{services}, std::string("CrashUploadServices::") + c.name + " was not handed in")
            << c.name;
    }
}

TEST_F(CrashUploadTest, TheProbesCrashIsTakenOverOfferedPostedAndDeleted) {
    ProbeRun run = sandbox->probe.run({"segv"});
    ASSERT_TRUE(run.signalled(SIGSEGV)) << run.output;
    ASSERT_TRUE(std::filesystem::exists(sandbox->probe.reportPath()));
    std::vector<uint8_t> pending = bytesOf(sandbox->probe.reportPath());

    CrashUploadManager& client = makeManager();
    client.setUserName("Mia <drums> & \"bass\"");
    delegate.applicationLog = "pads 1-4 were playing";
    client.startManager();

    // Taken over: the copy and its ".meta", the pending report gone.
    EXPECT_TRUE(client.didCrashInLastSession());
    EXPECT_GE(client.timeintervalCrashInLastSessionOccured(), 0.0);
    EXPECT_LT(client.timeintervalCrashInLastSessionOccured(), 120.0);
    EXPECT_FALSE(std::filesystem::exists(sandbox->probe.reportPath()));
    EXPECT_EQ(storedFiles(), (std::vector<std::string>{kReportName, kReportName + ".meta", "crashupload.settings"}));
    EXPECT_EQ(bytesOf(sandbox->crashes() / kReportName), pending);
    Dictionary meta = dictionaryIn(sandbox->crashes() / (kReportName + ".meta"));
    EXPECT_EQ(textAt(meta, "CrashUploadMetaUserName"), "Mia <drums> & \"bass\"");
    EXPECT_EQ(textAt(meta, "CrashUploadMetaApplicationLog"), "pads 1-4 were playing");
    EXPECT_EQ(textAt(meta, "CrashUploadMetaUserID"), "");

    // Offered half a second later.
    loop.advance(kHalfSecond - 1);
    EXPECT_TRUE(alert.shown.empty());
    loop.advance(1);
    ASSERT_EQ(alert.shown.size(), 1u);
    EXPECT_EQ(alert.shown[0].title, "Probe Unexpectedly Quit");
    EXPECT_TRUE(contains(alert.shown[0].message, "Probe quit unexpectedly")) << alert.shown[0].message;
    EXPECT_TRUE(contains(alert.shown[0].message, "with your name")) << "a user name is set";
    EXPECT_EQ(alert.shown[0].buttons, (std::vector<std::string>{"Don't Send", "Send Report", "Always Send"}));
    EXPECT_EQ(delegate.events, std::vector<std::string>{"will show alert"});

    alert.press(1);
    ASSERT_TRUE(uploadEnded());
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"will show alert", "will send", "finished"}));

    std::vector<ReceivedUpload> uploads = server->uploads();
    ASSERT_EQ(uploads.size(), 1u);
    const ReceivedUpload& upload = uploads[0];
    EXPECT_EQ(upload.method, "POST");
    EXPECT_EQ(upload.path, "/crashes/crash_v200.php");
    EXPECT_EQ(upload.header("User-Agent"), "CrashUpload/iOS");
    EXPECT_EQ(upload.header("Accept-Encoding"), "gzip");
    EXPECT_EQ(upload.header("Content-Type"), "multipart/form-data; boundary=----FOO");
    EXPECT_EQ(upload.field, "xmlstring");
    EXPECT_EQ(upload.fieldFileName, "");
    EXPECT_EQ(upload.fieldContentType, "");

    const std::string& document = upload.document;
    EXPECT_EQ(document.rfind("<crashes><crash><applicationname>crash_probe</applicationname><uuids>", 0), 0u);
    EXPECT_TRUE(contains(document, "<bundleidentifier>org.strombel.crashprobe</bundleidentifier>"));
    EXPECT_TRUE(contains(document, "<version>1.0</version>"));
    EXPECT_TRUE(contains(document, "<senderversion>1.0</senderversion>"));
    EXPECT_TRUE(contains(document, "<platform>" + CrashUploadManager::devicePlatform() + "</platform>"));
    EXPECT_TRUE(contains(document, "<username>Mia &lt;drums&gt; &amp; &quot;bass&quot;</username>")) << "escaped";
    EXPECT_TRUE(contains(document, "<description><![CDATA[pads 1-4 were playing]]></description></crash></crashes>"));
    EXPECT_TRUE(contains(document, "<installstring>" + client.appAnonID() + "</installstring>"));
    auto report = CrashLog::initWithData(pending);
    ASSERT_TRUE(report.ok());
    ASSERT_TRUE(report.value().uuidRef());
    EXPECT_TRUE(contains(document, "<uuid>" + uuidString(*report.value().uuidRef()) + "</uuid>"));
    // The upload log: the crashed thread's frames in the probe's own image go by
    // address (the server names them from the image's UUID, listed in <uuids>);
    // the report itself names them.
    EXPECT_TRUE(contains(document, "<log><![CDATA[Incident Identifier: "));
    EXPECT_TRUE(contains(document, "CrashReporter Key:   " + client.appAnonID()));
    EXPECT_TRUE(contains(document, "Exception Type:  SIGSEGV"));
    const CrashLogThreadInfo* crashed = nullptr;
    for (const CrashLogThreadInfo& thread : report.value().threads()) {
        if (thread.crashed()) crashed = &thread;
    }
    ASSERT_NE(crashed, nullptr);
    std::vector<std::string> names;
    for (const CrashLogStackFrameInfo& frame : crashed->stackFrames()) {
        names.push_back(frame.symbolInfo() ? frame.symbolInfo()->symbolName() : "?");
    }
    EXPECT_TRUE(inOrder(names, {"probe_segv_inner", "probe_segv_middle", "probe_segv_outer"}));
    const CrashLogStackFrameInfo& top = crashed->stackFrames().at(0);
    const CrashLogBinaryImageInfo* probeImage = report.value().imageForAddress(top.instructionPointer());
    ASSERT_NE(probeImage, nullptr);
    EXPECT_TRUE(contains(document, fmt::format("0   crash_probe                          0x{:016x} 0x{:x} + {}\n",
                                               top.instructionPointer(), probeImage->imageBaseAddress(),
                                               top.instructionPointer() - probeImage->imageBaseAddress())))
        << document;
    EXPECT_TRUE(contains(document, "<uuids><uuid type=\"app\" arch=\"" +
                                       CrashUploadTextFormatter::cu_archNameFromImageInfo(*probeImage) + "\">" +
                                       probeImage->imageUUID().value_or("???") + "</uuid>"));

    // The server took it: the files go.
    EXPECT_EQ(storedFiles(), std::vector<std::string>{"crashupload.settings"});
    EXPECT_TRUE(client.crashFiles().empty());
    EXPECT_FALSE(client.isSendingInProgress());
}

// ---- Answers and transport ----------------------------------------------------------------

struct AnswerCase {
    friend void PrintTo(const AnswerCase& test, std::ostream* out) { *out << test.name; }
    const char* name;
    std::function<void(CrashServer&, const httplib::Request&, httplib::Response&)> answer;
    bool identified;
    std::string outcome;  // the delegate's last line
    bool deleted;
};

void answerStatus(httplib::Response& response, int status, const std::string& body) {
    response.status = status;
    if (!body.empty()) response.set_content(body, "text/plain");
}

class CrashUploadAnswerTest : public CrashUploadTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(CrashUploadAnswerTest, TheAnswerDecidesWhetherTheReportsGo) {
    const AnswerCase& test = GetParam();
    CrashServer& crashServer = *server;
    crashServer.setAnswer([&](const httplib::Request& request, httplib::Response& response) {
        test.answer(crashServer, request, response);
    });
    std::filesystem::path stored = storeReport(kReportName, liveReport());
    CrashUploadManager& client = makeManager();
    client.setAutoSubmitCrashReport(true);
    if (test.identified) {
        client.setAppIdentifier("org.strombel/Strombel 1");
        EXPECT_EQ(client.submissionURL(), CrashUploadManager::kHostedServiceURL);
        client.setSubmissionURL(server->url("/"));
    }
    client.startManager();
    loop.advance(kHalfSecond);
    if (std::string(test.name) == "stalled") {
        ASSERT_TRUE(pumpUntil([&] { return server->waitingAtGate() == 1; }));
        loop.advance(15 * platform::kNanosPerSecond);
    }
    ASSERT_TRUE(uploadEnded());
    EXPECT_EQ(delegate.events.back(), test.outcome);
    EXPECT_EQ(std::filesystem::exists(stored), !test.deleted);
    EXPECT_EQ(std::filesystem::exists(stored.string() + ".meta"), !test.deleted);
    EXPECT_FALSE(client.isSendingInProgress());
    EXPECT_TRUE(alert.shown.empty()) << "automatic sending asks nobody";

    ReceivedUpload first = server->uploads().at(0);
    if (test.identified) {
        EXPECT_EQ(first.path, "/api/2/apps/org.strombel%2FStrombel%201/crashes?sdk=CrashUpload&sdk_version=3.0.0&feedbackEnabled=no");
        EXPECT_EQ(first.field, "xml");
        EXPECT_EQ(first.fieldFileName, "crash.xml");
        EXPECT_EQ(first.fieldContentType, "text/xml");
        EXPECT_EQ(first.document.rfind("<crashes><crash>", 0), 0u);
    } else {
        EXPECT_EQ(first.field, "xmlstring");
    }
    if (test.deleted) return;

    // What stays is approved: the next activation sends it again, without asking.
    server->openGate();
    server->setAnswer({});
    client.setAutoSubmitCrashReport(false);
    size_t before = server->uploadCount();
    becomeActive();
    ASSERT_TRUE(uploadEnded(2));
    EXPECT_TRUE(alert.shown.empty());
    EXPECT_EQ(server->uploadCount(), before + 1);
    EXPECT_EQ(delegate.events.back(), "finished");
    EXPECT_FALSE(std::filesystem::exists(stored));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, CrashUploadAnswerTest,
    ::testing::Values(
        AnswerCase{"ok", [](CrashServer&, const httplib::Request&, httplib::Response& r) { answerStatus(r, 200, "ok"); },
                   false, "finished", true},
        AnswerCase{"empty", [](CrashServer&, const httplib::Request&, httplib::Response& r) { answerStatus(r, 200, ""); },
                   false, "failed CrashUploadErrorDomain 2", false},
        AnswerCase{"redirected",
                   [](CrashServer& server, const httplib::Request& request, httplib::Response& r) {
                       if (request.target == "/crashes/crash_v200.php") {
                           r.set_redirect(server.url("/crashes/again"), 302);
                       } else {
                           answerStatus(r, 200, "ok");
                       }
                   },
                   false, "finished", true},
        AnswerCase{"refused anonymous",
                   [](CrashServer&, const httplib::Request&, httplib::Response& r) { answerStatus(r, 400, "no"); },
                   false, "failed CrashUploadErrorDomain 3", false},
        AnswerCase{"refused identified",
                   [](CrashServer&, const httplib::Request&, httplib::Response& r) { answerStatus(r, 400, "no"); },
                   true, "failed CrashUploadErrorDomain 1", true},
        AnswerCase{"identified",
                   [](CrashServer&, const httplib::Request&, httplib::Response& r) {
                       std::vector<uint8_t> plist = propertyList({{"status", "stored"}});
                       r.set_content(std::string(plist.begin(), plist.end()), "application/x-plist");
                   },
                   true, "finished", true},
        AnswerCase{"server error",
                   [](CrashServer&, const httplib::Request&, httplib::Response& r) { answerStatus(r, 500, "oops"); },
                   false, "failed CrashUploadErrorDomain 3", false},
        AnswerCase{"gzip",
                   [](CrashServer&, const httplib::Request&, httplib::Response& r) {
                       // "ok" as gzip: the client asks for it and inflates it.
                       static const unsigned char kGzip[] = {0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                             0x03, 0xcb, 0xcf, 0x06, 0x00, 0x47, 0xdd, 0xdc, 0x79,
                                                             0x02, 0x00, 0x00, 0x00};
                       r.set_header("Content-Encoding", "gzip");
                       r.set_content(std::string(reinterpret_cast<const char*>(kGzip), sizeof kGzip), "text/plain");
                   },
                   false, "finished", true},
        AnswerCase{"cut mid-answer",
                   [](CrashServer&, const httplib::Request&, httplib::Response& r) {
                       r.set_content_provider(100, "text/plain", [](size_t offset, size_t, httplib::DataSink& sink) {
                           if (offset > 0) return false;  // half of it, then the connection goes
                           sink.write("0123456789012345678901234567890123456789012345678", 50);
                           return true;
                       });
                   },
                   false, "failed HttpRequestErrorDomain 1", false},
        AnswerCase{"too large",
                   [](CrashServer&, const httplib::Request&, httplib::Response& r) {
                       answerStatus(r, 200, std::string(kCrashUploadMaximumFileSize + 1, 'x'));
                   },
                   false, "failed HttpRequestErrorDomain 6", false},
        AnswerCase{"stalled",
                   [](CrashServer& server, const httplib::Request&, httplib::Response& r) {
                       server.waitAtGate();
                       answerStatus(r, 200, "late");
                   },
                   false, "failed HttpRequestErrorDomain 2", false}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) {
        std::string name = info.param.name;
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        }
        return name;
    });

TEST_F(CrashUploadTest, ARedirectResendsTheSameRequest) {
    server->setAnswer([this](const httplib::Request& request, httplib::Response& r) {
        if (request.target == "/crashes/crash_v200.php") {
            r.set_redirect(server->url("/crashes/again"), 302);
        } else {
            r.set_content("ok", "text/plain");
        }
    });
    storeReport(kReportName, liveReport());
    CrashUploadManager& client = makeManager();
    client.setAutoSubmitCrashReport(true);
    client.startManager();
    loop.advance(kHalfSecond);
    ASSERT_TRUE(uploadEnded());
    std::vector<ReceivedUpload> uploads = server->uploads();
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_EQ(uploads[1].method, "POST");
    EXPECT_EQ(uploads[1].path, "/crashes/again");
    EXPECT_EQ(uploads[1].field, "xmlstring");
    EXPECT_EQ(uploads[1].document, uploads[0].document);
    EXPECT_EQ(uploads[1].header("Content-Type"), uploads[0].header("Content-Type"));
    EXPECT_EQ(uploads[1].header("User-Agent"), "CrashUpload/iOS");
}

// ---- Scan, approval and the alert ---------------------------------------------------------

TEST_F(CrashUploadTest, OnlyReportsAreOfferedEachOnceAndNothingThroughALink) {
    std::vector<uint8_t> report = liveReport();
    std::filesystem::path first = storeReport("100", report);
    std::filesystem::path nested = storeReport("older/200", report);
    for (const char* name : {"empty", "x.meta", "x.settings", "x.analyzer", "x.plist", "x.DS_Store"}) {
        writeBytes(sandbox->crashes() / name, std::string_view(name) == "empty" ? std::vector<uint8_t>{} : report);
    }
    writeBytes(sandbox->probe.root() / "outside" / "300", report);
    std::filesystem::create_symlink(sandbox->probe.root() / "outside" / "300", sandbox->crashes() / "300");
    std::filesystem::create_directory_symlink(sandbox->probe.root() / "outside", sandbox->crashes() / "linked");

    CrashUploadManager& client = makeManager();
    ASSERT_TRUE(client.hasPendingCrashReport());
    EXPECT_EQ(client.crashFiles(), (std::vector<std::filesystem::path>{first, nested}));
    ASSERT_TRUE(client.hasPendingCrashReport());
    EXPECT_EQ(client.crashFiles().size(), 2u) << "a second scan lists nothing twice";
}

TEST_F(CrashUploadTest, TheAlertsButtonsDecide) {
    std::vector<uint8_t> report = liveReport();
    struct Case {
        int64_t button;
        std::vector<std::string> events;
        bool sent;
        bool alwaysAfter;
    };
    for (const Case& test : std::vector<Case>{
             {0, {"will show alert", "will cancel"}, false, false},
             {1, {"will show alert", "will send", "finished"}, true, false},
             {2, {"will show alert", "will send always", "will send", "finished"}, true, true},
             {7, {"will show alert"}, false, false},
         }) {
        SCOPED_TRACE(test.button);
        delegate.events.clear();
        delegate.ends = 0;
        alert.shown.clear();
        defaults->removeObject("CrashUploadAutomaticallySendCrashReports");
        size_t before = server->uploadCount();
        // Each its own report: a name once approved stays approved.
        std::filesystem::path stored = storeReport(std::to_string(100 + test.button), report);
        CrashUploadManager& client = makeManager();
        client.setShowAlwaysButton(test.button == 2);
        client.startManager();
        loop.advance(kHalfSecond);
        ASSERT_EQ(alert.shown.size(), 1u);
        EXPECT_EQ(alert.shown[0].buttons.size(), test.button == 2 ? 3u : 2u);
        EXPECT_TRUE(contains(alert.shown[0].message, "anonymous")) << "no user values";
        alert.press(test.button);
        if (test.sent) {
            ASSERT_TRUE(uploadEnded());
        }
        EXPECT_EQ(delegate.events, test.events);
        EXPECT_EQ(server->uploadCount(), before + (test.sent ? 1 : 0));
        EXPECT_FALSE(std::filesystem::exists(stored)) << "sent or declined, the report goes";
        EXPECT_FALSE(client.isSendingInProgress());
        EXPECT_EQ(defaults->boolForKey("CrashUploadAutomaticallySendCrashReports"), test.alwaysAfter);
        manager.reset();
    }
}

TEST_F(CrashUploadTest, ApprovedReportsGoWithoutAsking) {
    std::filesystem::path stored = storeReport(kReportName, liveReport());
    {
        // A first run approves it by putting it into a document that failed to go.
        server->setAnswer([](const httplib::Request&, httplib::Response& r) { r.status = 503; });
        CrashUploadManager& client = makeManager();
        client.setAutoSubmitCrashReport(true);
        client.startManager();
        loop.advance(kHalfSecond);
        ASSERT_TRUE(uploadEnded());
        EXPECT_EQ(delegate.events.back(), "failed CrashUploadErrorDomain 2");
        EXPECT_EQ(client.approvedCrashReports().count(stored.string()), 1u);
        manager.reset();
    }
    server->setAnswer({});
    CrashUploadManager& client = makeManager();
    client.startManager();
    loop.advance(kHalfSecond);
    ASSERT_TRUE(uploadEnded(2));
    EXPECT_TRUE(alert.shown.empty());
    EXPECT_EQ(delegate.events.back(), "finished");
    EXPECT_FALSE(std::filesystem::exists(stored));
}

class CrashUploadWithoutBundleTest : public CrashUploadTest {
protected:
    bool withResourceBundle() const override { return false; }
};

// The warning comes with the start rather than with the making of the client: a
// client that is made and never started (the program's) sends nothing to warn of.
TEST_F(CrashUploadWithoutBundleTest, ReportsGoWithoutAnAlertAndTheConsoleSaysSoAtTheStart) {
    std::filesystem::path stored = storeReport(kReportName, liveReport());
    CrashUploadManager& client = makeManager();
    EXPECT_TRUE(console.empty()) << "a client not started says nothing";
    EXPECT_EQ(client.localizedString("CrashSendReport"), "CrashSendReport");
    client.startManager();
    ASSERT_FALSE(console.empty());
    EXPECT_EQ(console.at(0), "WARNING: CrashUpload.bundle is missing, will send reports automatically!");
    loop.advance(kHalfSecond);
    ASSERT_TRUE(uploadEnded());
    EXPECT_TRUE(alert.shown.empty());
    EXPECT_EQ(delegate.events.back(), "finished");
    EXPECT_FALSE(std::filesystem::exists(stored));
}

TEST_F(CrashUploadTest, AnActivationDuringAnUploadOrWhileInactiveDoesNothing) {
    server->setAnswer([this](const httplib::Request&, httplib::Response& r) {
        server->waitAtGate();
        r.set_content("ok", "text/plain");
    });
    storeReport(kReportName, liveReport());
    CrashUploadManager& client = makeManager();
    client.setAutoSubmitCrashReport(true);
    active = false;
    client.startManager();
    loop.advance(kHalfSecond);
    EXPECT_EQ(delegate.events, std::vector<std::string>{}) << "not active: nothing happens";

    active = true;
    becomeActive();
    ASSERT_TRUE(pumpUntil([&] { return server->waitingAtGate() == 1; }));
    becomeActive();
    becomeActive();
    EXPECT_EQ(delegate.events, std::vector<std::string>{"will send"});
    server->openGate();
    ASSERT_TRUE(uploadEnded());
    EXPECT_EQ(server->uploadCount(), 1u);
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"will send", "finished"}));
}

TEST_F(CrashUploadTest, ACrashWhoseReportCannotBeReadIsToldOnceAndNothingIsOffered) {
    writeBytes(sandbox->probe.reportPath(), {'c', 'r', 'a', 's', 'h', 'l', 'g', 1, 0xFF, 0xFF, 0xFF});
    CrashUploadManager& client = makeManager();
    client.startManager();
    EXPECT_TRUE(client.didCrashInLastSession());
    EXPECT_FALSE(std::filesystem::exists(sandbox->probe.reportPath())) << "a report the reader refuses goes";
    EXPECT_EQ(storedFiles(), std::vector<std::string>{"crashupload.settings"});
    loop.advance(kHalfSecond);
    becomeActive();
    EXPECT_EQ(delegate.events, std::vector<std::string>{"will cancel"});
    EXPECT_FALSE(client.didCrashInLastSession());
    EXPECT_TRUE(alert.shown.empty());
}

// ---- Takeover faults ----------------------------------------------------------------------

TEST_F(CrashUploadTest, TwoReportsTakenOverInOneSecondAreBothKept) {
    std::vector<uint8_t> report = liveReport();
    CrashUploadManager& client = makeManager();
    client.startManager();
    writeBytes(sandbox->probe.reportPath(), report);
    client.handleCrashReport();
    writeBytes(sandbox->probe.reportPath(), report);
    client.handleCrashReport();
    EXPECT_EQ(storedFiles(), (std::vector<std::string>{kReportName, kReportName + "-1", kReportName + "-1.meta",
                                                       kReportName + ".meta", "crashupload.settings"}));
    EXPECT_FALSE(std::filesystem::exists(sandbox->probe.reportPath()));
}

TEST_F(CrashUploadTest, APendingReportThatCannotBeStoredStaysPending) {
    std::vector<uint8_t> report = liveReport();
    writeBytes(sandbox->probe.reportPath(), report);
    // The ".meta" file cannot be written (a folder holds its name), as on a full disk.
    std::filesystem::create_directories(sandbox->crashes() / (kReportName + ".meta"));
    CrashUploadManager& client = makeManager();
    client.startManager();
    EXPECT_TRUE(std::filesystem::exists(sandbox->probe.reportPath())) << "not purged";
    EXPECT_EQ(bytesOf(sandbox->probe.reportPath()), report);
    EXPECT_FALSE(std::filesystem::exists(sandbox->crashes() / kReportName)) << "no copy without its .meta";
    EXPECT_FALSE(std::filesystem::exists(sandbox->crashes() / "crashupload.analyzer"));

    // Once it can be stored, it is.
    std::filesystem::remove(sandbox->crashes() / (kReportName + ".meta"));
    client.handleCrashReport();
    EXPECT_FALSE(std::filesystem::exists(sandbox->probe.reportPath()));
    EXPECT_EQ(bytesOf(sandbox->crashes() / kReportName), report);
}

TEST_F(CrashUploadTest, AReportWhoseTakeoverDiedIsDroppedAtTheNextStart) {
    std::vector<uint8_t> report = liveReport();
    writeBytes(sandbox->probe.reportPath(), report);

    // A start that dies while it takes the report over (here where it asks for
    // the application's log, as a report that crashes the reader would).
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct DyingDelegate : CrashUploadManagerDelegate {
            std::optional<std::string> applicationLogForCrashUploadManager(CrashUploadManager&) override {
                std::abort();
            }
        } dying;
        // The child's own connection to the defaults file; the parent's stays untouched.
        (void)defaults.release();
        defaults = std::make_unique<platform::UserDefaults>(sandbox->probe.root() / "defaults.sqlite");
        CrashUploadManager& client = makeManager();
        client.setDelegate(&dying);
        client.startManager();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << "status " << status;
    ASSERT_EQ(bytesOf(sandbox->probe.reportPath()), report) << "still pending";
    ASSERT_TRUE(std::filesystem::exists(sandbox->crashes() / "crashupload.analyzer")) << "died taking it over";

    // The next start drops it instead of dying the same way.
    CrashUploadManager& client = makeManager();
    client.startManager();
    EXPECT_TRUE(client.didCrashInLastSession());
    EXPECT_FALSE(std::filesystem::exists(sandbox->probe.reportPath()));
    EXPECT_EQ(storedFiles(), std::vector<std::string>{"crashupload.settings"}) << "not taken over, no marker";
    loop.advance(kHalfSecond);
    EXPECT_EQ(delegate.events, std::vector<std::string>{"will cancel"});
}

TEST_F(CrashUploadTest, FilesOverOneMebibyteAreRefusedAsDamaged) {
    std::vector<uint8_t> report = liveReport();
    std::vector<uint8_t> huge = report;
    huge.resize(kCrashUploadMaximumFileSize + 1, 0);
    writeBytes(sandbox->probe.reportPath(), huge);
    std::filesystem::path stored = storeReport("100", huge);
    CrashUploadManager& client = makeManager();
    client.setAutoSubmitCrashReport(true);
    client.startManager();
    EXPECT_FALSE(std::filesystem::exists(sandbox->probe.reportPath())) << "the pending one is purged";
    loop.advance(kHalfSecond);
    EXPECT_FALSE(std::filesystem::exists(stored)) << "the stored one is deleted at sending";
    EXPECT_EQ(server->uploadCount(), 0u) << "no report decodes: no request";
    EXPECT_FALSE(client.isSendingInProgress()) << "and the next activation may send again";
    EXPECT_TRUE(client.crashFiles().empty());
}

// ---- The document ----------------------------------------------------------------------------

TEST_F(CrashUploadTest, ValuesCanNeitherBreakNorInjectIntoTheDocument) {
    std::filesystem::path stored = storeReport(kReportName, liveReport());
    writeBytes(stored.string() + ".meta", propertyList({
                                              {"CrashUploadMetaUserID", "a\x01" "b"},
                                              {"CrashUploadMetaUserName", "</username><userid>evil"},
                                              {"CrashUploadMetaUserEmail", "mia@example.org"},
                                              {"CrashUploadMetaApplicationLog", "one ]]> two"},
                                          }));
    CrashUploadManager& client = makeManager();
    client.setAutoSubmitCrashReport(true);
    client.startManager();
    loop.advance(kHalfSecond);
    ASSERT_TRUE(uploadEnded());
    std::string document = server->uploads().at(0).document;
    EXPECT_TRUE(contains(document, "<userid>a\xEF\xBF\xBD" "b</userid>"));
    EXPECT_TRUE(contains(document, "<username>&lt;/username&gt;&lt;userid&gt;evil</username>"));
    EXPECT_TRUE(contains(document, "<contact>mia@example.org</contact>"));
    EXPECT_TRUE(contains(document, "<description><![CDATA[one ]]]]><![CDATA[> two]]></description>"));
}

TEST_F(CrashUploadTest, EveryRunWithoutAStoredIdentifierHasItsOwn) {
    CrashUploadManager& first = makeManager();
    std::string one = first.appAnonID();
    EXPECT_EQ(one, first.appAnonID());
    EXPECT_EQ(one.size(), 36u);
    manager.reset();
    EXPECT_NE(makeManager().appAnonID(), one);
    manager.reset();
    defaults->setString("CrashUploadAppInstallationUUID", "INSTALL-1");
    EXPECT_EQ(makeManager().appAnonID(), "INSTALL-1");
}

TEST_F(CrashUploadTest, SettingsKeepApprovalsAndUserValues) {
    CrashUploadManager& client = makeManager();
    client.setUserID("u-7");
    client.setUserEmail("mia@example.org");
    Dictionary settings = dictionaryIn(sandbox->crashes() / "crashupload.settings");
    EXPECT_EQ(textAt(settings, "CrashUploadMetaUserID"), "u-7");
    EXPECT_FALSE(settings.count("CrashUploadMetaUserName")) << "only values that are set";
    EXPECT_FALSE(settings.count("CrashUploadApprovedCrashReports")) << "only when there are approvals";
    manager.reset();

    CrashUploadManager& again = makeManager();
    again.loadSettings();
    EXPECT_EQ(again.userID(), std::optional<std::string>("u-7"));
    EXPECT_EQ(again.userEmail(), std::optional<std::string>("mia@example.org"));
    EXPECT_EQ(again.userName(), std::nullopt);

    writeBytes(sandbox->crashes() / "crashupload.settings", {'n', 'o', 'p', 'e'});
    again.setDebugLogEnabled(true);
    console.clear();
    again.loadSettings();
    ASSERT_EQ(console.size(), 1u);
    EXPECT_TRUE(contains(console[0], "ERROR: Reading crash manager settings.")) << console[0];
    EXPECT_EQ(again.userID(), std::optional<std::string>("u-7")) << "unreadable settings change nothing";
}

TEST_F(CrashUploadTest, ANotActivatedClientNeverStarts) {
    defaults->setBool("CrashUploadActivated", false);
    storeReport(kReportName, liveReport());
    CrashUploadManager& client = makeManager();
    client.startManager();
    EXPECT_FALSE(client.isStarted());
    EXPECT_FALSE(client.hasPendingCrashReport());
    becomeActive();
    EXPECT_TRUE(alert.shown.empty());
    EXPECT_EQ(server->uploadCount(), 0u);
}

TEST(CrashUploadIdentifiers, UrlEscapingAndUUIDs) {
    EXPECT_EQ(CrashUploadManager::urlEncodedString("a-b_c.d~e"), "a-b_c.d~e");
    EXPECT_EQ(CrashUploadManager::urlEncodedString("!*'();:@&=+$,/?%#[] é"),
              "%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D%20%C3%A9");
    std::string uuid = CrashUploadManager::generateUUID();
    ASSERT_EQ(uuid.size(), 36u);
    for (size_t i : {8u, 13u, 18u, 23u}) EXPECT_EQ(uuid[i], '-');
    EXPECT_EQ(uuid[14], '4');
    for (char c : uuid) EXPECT_TRUE(c == '-' || std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F'));
    EXPECT_NE(uuid, CrashUploadManager::generateUUID());
}

TEST_F(CrashUploadTest, ATestCrashTrapsOnlyOutsideTheStore) {
    CrashUploadManager& client = makeManager();
    EXPECT_TRUE(client.isAppStoreEnvironment());
    client.generateTestCrash();  // does nothing in the store environment
    writeBytes(sandbox->bundle() / "embedded.mobileprovision", {'x'});
    manager.reset();
    CrashUploadManager& developer = makeManager();
    EXPECT_FALSE(developer.isAppStoreEnvironment());
    EXPECT_DEATH(developer.generateTestCrash(), "");
}

}  // namespace
}  // namespace strombel::crash
