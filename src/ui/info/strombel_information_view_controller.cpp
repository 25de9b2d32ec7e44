#include "ui/info/strombel_information_view_controller.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <mutex>

#include "info/rating_prompt.h"
#include "logging/log.h"
#include "platform/worker.h"
#include "ui/gui_factory.h"
#include "ui/kit/context.h"
#include "ui/kit/control.h"
#include "ui/kit/label.h"
#include "ui/kit/presenters.h"
#include "ui/kit/problem_reporter.h"
#include "ui/kit/window.h"
#include "ui/light_view.h"
#include "ui/small_button_control.h"
#include "ui/util.h"

namespace strombel::info {

namespace ui = strombel::ui;
namespace kit = strombel::ui::kit;

namespace {

InformationServices& services() {
    static InformationServices current;
    return current;
}

// The feed post's texts.
constexpr const char* kCaption = "A new dimension in live sets";
constexpr const char* kDescription =
    "The Strombel adds a new dimension to your live-sets, parties and all places where you want to make noise. "
    "This user friendly drum computer contains the latest samples, beats and vocals from A-list Artists and "
    "Producers. Additionally you can use your own samples in a custom soundbank.";

}  // namespace

void StrombelInformationViewController::setServices(InformationServices newServices) {
    services() = std::move(newServices);
}

namespace {

// The desktop's answer about a "mailto" handler. `asking` counts the questions
// put, so that the answer to one forgotten since is dropped.
struct MailHandlerAnswer {
    std::mutex mutex;
    uint64_t asking = 0;
    std::optional<bool> answer;
    platform::Worker asker;  // the last question's thread
};

MailHandlerAnswer& mailHandlerAnswer() {
    // Never destroyed: the program's end stops a question still out
    // (endMailHandlerQuestion); no static destructor finds its thread.
    static MailHandlerAnswer* state = new MailHandlerAnswer;
    return *state;
}

// Readable once the question is called off; shared by the asking thread and
// the stop that wakes it.
struct CallOff {
    const int fd = ::eventfd(0, EFD_CLOEXEC);
    ~CallOff() {
        if (fd >= 0) ::close(fd);
    }
};

// Runs "xdg-mime query default x-scheme-handler/mailto": true when it names a
// program. A desktop that has not answered after 5 s has none. Nothing when
// `callOff` became readable first (the helper is killed).
std::optional<bool> askDesktopForMailHandler(int callOff) {
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    char program[] = "xdg-mime", query[] = "query", which[] = "default", type[] = "x-scheme-handler/mailto";
    char* arguments[] = {program, query, which, type, nullptr};
    // The desktop's tool starts as any program does: no signal of ours held or
    // ignored (the program holds SIGTERM and SIGINT and ignores SIGPIPE).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, broken;
    sigemptyset(&none);
    sigemptyset(&broken);
    sigaddset(&broken, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &broken);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t child = -1;
    const bool started = posix_spawnp(&child, program, &actions, &attributes, arguments, environ) == 0;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    std::string text;
    bool ended = false;
    bool calledOff = false;
    if (started) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd readable[2] = {{output[0], POLLIN, 0}, {callOff, POLLIN, 0}};
            if (poll(readable, callOff >= 0 ? 2 : 1, int(left.count())) <= 0) continue;
            if (readable[1].revents) {
                calledOff = true;
                break;
            }
            char buffer[256];
            const ssize_t got = read(output[0], buffer, sizeof buffer);
            if (got > 0) {
                if (text.size() < 4096) text.append(buffer, size_t(got));
                continue;
            }
            if (got < 0 && errno == EINTR) continue;
            ended = true;
            break;
        }
    }
    close(output[0]);
    int status = 0;
    if (started) {
        if (!ended) kill(child, SIGKILL);
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (calledOff) return std::nullopt;
    if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
    return std::any_of(text.begin(), text.end(), [](char c) { return !std::isspace(static_cast<unsigned char>(c)); });
}

}  // namespace

std::optional<bool> StrombelInformationViewController::mailHandlerRegistered() {
    MailHandlerAnswer& state = mailHandlerAnswer();
    platform::Worker older;  // a forgotten question's, stopped outside the lock
    {
        std::lock_guard lock(state.mutex);
        if (state.answer || state.asking % 2 == 1) return state.answer;
        const uint64_t question = ++state.asking;  // odd while asked
        older = std::move(state.asker);
        auto callOff = std::make_shared<CallOff>();
        state.asker = platform::Worker(
            "mail handler", [question, callOff] {
                const std::optional<bool> registered = askDesktopForMailHandler(callOff->fd);
                if (!registered) return;
                MailHandlerAnswer& answered = mailHandlerAnswer();
                std::lock_guard lock(answered.mutex);
                if (answered.asking == question) answered.answer = registered;
            },
            [callOff] {
                const uint64_t one = 1;
                (void)!::write(callOff->fd, &one, sizeof one);
            });
    }
    older.stop();
    return std::nullopt;
}

void StrombelInformationViewController::forgetMailHandlerAnswer() {
    MailHandlerAnswer& state = mailHandlerAnswer();
    platform::Worker asker;
    {
        std::lock_guard lock(state.mutex);
        state.answer.reset();
        // Even: not asked; an answer still on its way belongs to an older question.
        if (state.asking % 2 == 1) ++state.asking;
        asker = std::move(state.asker);
    }
    asker.stop();  // the question is called off, its helper killed
}

void StrombelInformationViewController::endMailHandlerQuestion() { forgetMailHandlerAnswer(); }

StrombelInformationViewController::StrombelInformationViewController(ui::GuiType guiType) : guiType_(guiType) {
    if (guiType_ == ui::GuiType::tablet) loadTabletView();
    else if (guiType_ == ui::GuiType::phonePortrait) loadUprightView();
    else loadPhoneView();
    // The desktop is asked before the user gets to the mail button.
    if (!services().canSendMail) mailHandlerRegistered();
}

StrombelInformationViewController::~StrombelInformationViewController() {
    // The client and the dialogs hold this screen by references that empty
    // themselves; a login that completes after the screen went reaches nothing.
    if (SocialClient* client = socialClient(); client && client->sessionDelegate() == this) {
        client->setSessionDelegate(nullptr);
    }
}

kit::Button* StrombelInformationViewController::addImageButton(const char* image, const QRectF& frame,
                                                               void (StrombelInformationViewController::*action)()) {
    auto button = std::make_unique<kit::Button>(frame);
    button->setImage(ui::GuiFactory::imageWithName(image, guiType_), kit::normal);
    button->addTarget(kit::touchUpInside, [this, action](kit::Control&) { (this->*action)(); });
    return add(std::move(button));
}

void StrombelInformationViewController::loadTabletView() {
    setFrame(QRectF(0, 0, 1024, 768));
    auto background = std::make_unique<kit::ImageView>(ui::GuiFactory::imageWithName("infoBack", ui::GuiType::tablet));
    add(std::move(background));

    addBack(ui::GuiType::tablet, QPointF(78, 617), 50, QPointF(78, 637), QPointF(60, 605));
    addButtons(kTabletButtons, 0);
}

void StrombelInformationViewController::addBack(ui::GuiType guiType, const QPointF& labelAt, double labelWidth,
                                                const QPointF& button, const QPointF& lamp) {
    auto label = ui::GuiFactory::labelForGuiType(guiType, labelAt, labelWidth);
    label->setText("BACK");
    backLabel_ = add(std::move(label));
    backBtn_ = add(ui::SmallButtonControl::buttonForGuiType(guiType, int32_t(button.x()), int32_t(button.y())));
    backBtn_->addTarget(kit::touchUpInside, [this](kit::Control&) { backBtnPressed(); });
    auto light = std::make_unique<ui::LightView>(guiType);
    light->setX(lamp.x(), lamp.y());
    backLight_ = add(std::move(light));
    backBtn_->setLight(backLight_);
}

void StrombelInformationViewController::loadUprightView() {
    // The phone's screen as it stands: the landscape layout there would be a
    // strip across the middle, its words a few pixels high.
    const kit::Screen& screen = kit::Context::current().screen();
    const double width = ui::Util::screenWidth(screen), height = ui::Util::screenHeight(screen);
    setFrame(QRectF(0, 0, width, height));
    add(std::make_unique<kit::ImageView>(ui::GuiFactory::imageWithName("infoBack", ui::GuiType::phonePortrait)));
    // A taller phone has its room between the keys and the bottom row.
    const double lower = height - 480;
    addBack(ui::GuiType::phonePortrait, QPointF(40, 404 + lower), 33, QPointF(40, 418 + lower),
            QPointF(26, 396 + lower));
    addButtons(kUprightButtons, 0);
    for (kit::Button* link : {mailBtn_, websiteBtn_}) link->setY(link->y() + lower);
    for (kit::Button* key : {socialBtn_, ravelleBtn_, tutorialBtn_, rateUsBtn_}) key->setY(key->y() + lower / 2);
}

void StrombelInformationViewController::addButtons(const ButtonFrames& frames, double shift) {
    auto place = [&](const QRectF& first, double pitch, int index) { return first.translated(shift, pitch * index); };
    mailBtn_ = addImageButton("infoEmailBtn", place(frames.link, frames.linkPitch, 0),
                              &StrombelInformationViewController::mailBtnPressed);
    websiteBtn_ = addImageButton("infoWebsiteBtn", place(frames.link, frames.linkPitch, 1),
                                 &StrombelInformationViewController::websiteBtnPressed);
    socialBtn_ = addImageButton("infoFbBtn", place(frames.key, frames.keyPitch, 0),
                                &StrombelInformationViewController::socialBtnPressed);
    ravelleBtn_ = addImageButton("ravellePresentedByBtn", place(frames.key, frames.keyPitch, 1),
                                 &StrombelInformationViewController::ravellePresentedByBtnPressed);
    tutorialBtn_ = addImageButton("tutorialBtn", place(frames.key, frames.keyPitch, 2),
                                  &StrombelInformationViewController::tutorialBtnPressed);
    rateUsBtn_ = addImageButton("rateUsBtn", place(frames.key, frames.keyPitch, 3),
                                &StrombelInformationViewController::rateUsBtnPressed);
}

void StrombelInformationViewController::loadPhoneView() {
    const kit::Screen& screen = kit::Context::current().screen();
    setFrame(QRectF(0, 0, ui::Util::screenHeight(screen), ui::Util::screenWidth(screen)));
    const double d = ui::Util::isIphone5(screen) ? 44 : 0;
    add(std::make_unique<kit::ImageView>(ui::GuiFactory::imageWithName("infoBack", ui::GuiType::phoneLandscape)));

    addBack(ui::GuiType::phoneLandscape, QPointF(41 + d, 260), 22, QPointF(41 + d, 270), QPointF(31 + d, 254));
    addButtons(kPhoneButtons, d);

    // On the 568-point phone the controls move to their final places.
    if (ui::Util::isIphone5(screen)) {
        backLabel_->setX(43, 255);
        backBtn_->setX(43, 265);
        backLight_->setX(34, 248);
        for (kit::Button* link : {mailBtn_, websiteBtn_}) link->setX(368);
        for (kit::Button* key : {socialBtn_, ravelleBtn_, tutorialBtn_, rateUsBtn_}) key->setX(27);
    }
}

void StrombelInformationViewController::backBtnPressed() { dismiss(); }

void StrombelInformationViewController::openURL(const std::string& url) {
    // What the opening answers is not read: an address nothing opens is ignored.
    kit::Context::current().urlOpener().openUrl(url);
}

void StrombelInformationViewController::mailBtnPressed() {
    // While the desktop has not answered, the address goes to its opener, which
    // says itself when nothing takes it.
    const bool canSend = services().canSendMail ? services().canSendMail() : mailHandlerRegistered().value_or(true);
    if (canSend) {
        // The user's mail program stands for the composer.
        openURL(std::string("mailto:") + InformationLinks::kContactMail + "?subject=Strombel");
        return;
    }
    STROMBEL_LOG_DEBUG("no mail program is set up");
    kit::Context::current().problems().alert("Mail", kNoMailProgramMessage,
                                             kit::ProblemReporter::Log::notHere);
}

void StrombelInformationViewController::websiteBtnPressed() { openURL(InformationLinks::kWebsite); }
void StrombelInformationViewController::ravellePresentedByBtnPressed() { openURL(InformationLinks::kArtist); }
void StrombelInformationViewController::tutorialBtnPressed() { openURL(InformationLinks::kTutorial); }
void StrombelInformationViewController::copyrightBtnPressed() { openURL(InformationLinks::kCompany); }

void StrombelInformationViewController::rateUsBtnPressed() {
    if (services().rateApp) services().rateApp();
    else RatingPrompt::rateApp();
}

SocialClient* StrombelInformationViewController::socialClient() const {
    return services().socialClient ? services().socialClient() : nullptr;
}

void StrombelInformationViewController::openFeedDialog(SocialClient& client) {
    STROMBEL_LOG_DEBUG("session = valid, dialog!");
    SocialClient::Params params{{"message", ""},
                                {"link", InformationLinks::kWebsite},
                                {"picture", InformationLinks::kIcon},
                                {"name", "Strombel"},
                                {"caption", kCaption},
                                {"description", kDescription}};
    client.dialog("feed", params, this);
}

void StrombelInformationViewController::socialBtnPressed() {
    SocialClient* client = socialClient();
    if (!client) return;
    if (client->isSessionValid()) {
        openFeedDialog(*client);
        return;
    }
    STROMBEL_LOG_DEBUG("session != valid");
    client->setSessionDelegate(this);
    client->authorize({});
}

void StrombelInformationViewController::socialDidLogin() {
    STROMBEL_LOG_DEBUG("socialDidLogin");
    // Only the look at the session and the dialog: a login that left no valid
    // session (a token without an expiry) starts no second login.
    SocialClient* client = socialClient();
    if (client && client->isSessionValid()) openFeedDialog(*client);
}

bool StrombelInformationViewController::dialogShouldOpenURLInExternalBrowser(SocialDialog&, const std::string& url) {
    STROMBEL_LOG_DEBUG("Social opening URL: {}", url);
    return true;
}

}  // namespace strombel::info
