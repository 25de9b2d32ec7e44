#include "ui/editor/exchange_screens.h"

#include <sndfile.h>

#include "editor/audio_files.h"
#include "logging/log.h"
#include "ui/editor/audio_clipboard.h"
#include "ui/gui_factory.h"
#include "ui/kit/context.h"
#include "ui/kit/control.h"
#include "ui/kit/label.h"
#include "ui/kit/presenters.h"
#include "ui/kit/timer.h"
#include "ui/kit/window.h"

namespace strombel::editor {

namespace {

constexpr size_t kShownItems = 6;

/// "1:05.3" for a length in seconds.
QString lengthText(double seconds) {
    const int minutes = int(seconds / 60);
    return QString("%1:%2").arg(minutes).arg(seconds - minutes * 60.0, 4, 'f', 1, QChar('0'));
}

}  // namespace

// ---- ExchangeSheet -------------------------------------------------------------------

ExchangeSheet::ExchangeSheet(const QString& title, ExchangeSettings settings)
    : exchange_(std::make_unique<AudioExchangeClient>(settings)) {
    setFrame(QRectF(0, 0, kWidth, kHeight));
    auto panel = std::make_unique<ui::kit::View>(QRectF(0, 0, kWidth, kHeight));
    panel->setBackgroundColor(QColor(30, 30, 30));
    panel_ = add(std::move(panel));
    auto label = ui::GuiFactory::labelWithFrame(QRectF(0, 20, kWidth, 30), 16);
    label->setText(title);
    content()->add(std::move(label));
    auto message = ui::GuiFactory::labelWithFrame(QRectF(10, kHeight - 110, kWidth - 20, 40), 12);
    message->setLineBreakMode(ui::kit::Label::LineBreak::wordWrap);
    message->setNumberOfLines(2);
    message_ = content()->add(std::move(message));
    addButton(QRectF(kWidth / 2 - 60, kHeight - 60, 120, 40), "DONE", [this] { doneBtnPressed(); });
}

ExchangeSheet::~ExchangeSheet() = default;

ui::kit::Button* ExchangeSheet::addButton(const QRectF& frame, const QString& title, std::function<void()> pressed) {
    auto button = std::make_unique<ui::kit::Button>(frame);
    button->setTitle(title);
    button->setTitleFont(ui::GuiFactory::interfaceFont(14));
    button->setBackgroundColor(QColor(60, 60, 60));
    button->addTarget(ui::kit::touchUpInside, [pressed = std::move(pressed)](ui::kit::Control&) { pressed(); });
    return content()->add(std::move(button));
}

void ExchangeSheet::present(std::unique_ptr<ExchangeSheet> sheet, ui::kit::Window& window,
                            std::function<void()> dismissed) {
    sheet->window_ = &window;
    sheet->dismissed_ = std::move(dismissed);
    if (const ui::kit::View* shown = window.shownView()) sheet->coverAsFormSheet(shown->bounds().size());
    ui::kit::Context::current().modals().present(window, std::move(sheet), true);
}

void ExchangeSheet::coverAsFormSheet(const QSizeF& screen) {
    // A form sheet covers the whole screen: on a phone it is the screen, on a
    // tablet it stands in the middle of the screen, dimmed around it. Its
    // contents keep their layout on the panel, made smaller where the screen is.
    setFrame(QRectF(QPointF(0, 0), screen));
    setBackgroundColor(ui::GuiFactory::isIpad() ? QColor(0, 0, 0, 150) : QColor(Qt::black));
    const double scale = std::min({1.0, screen.width() / kWidth, screen.height() / kHeight});
    panel_->setScale(scale);
    panel_->setX((screen.width() - kWidth * scale) / 2, (screen.height() - kHeight * scale) / 2);
}

void ExchangeSheet::doneBtnPressed() {
    if (closing_) return;
    closing_ = true;
    exchange_->cancelAll();
    if (!window_) return;
    auto dismissed = dismissed_;
    ui::kit::Context::current().modals().dismiss(*window_, true, [dismissed] {
        if (dismissed) dismissed();
    });
}

QString ExchangeSheet::message() const { return message_->text(); }

void ExchangeSheet::setMessage(const QString& text) { message_->setText(text); }

// ---- AudioExchangeViewController -----------------------------------------------------

AudioExchangeViewController::AudioExchangeViewController(std::string path, ExchangeSettings settings)
    : ExchangeSheet("COPY AUDIO", settings), path_(std::move(path)) {
    SF_INFO info{};
    if (SNDFILE* file = sf_open(path_.c_str(), SFM_READ, &info)) {
        const int major = info.format & SF_FORMAT_TYPEMASK;
        readable_ = major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64;
        sf_close(file);
    }
    auto name = ui::GuiFactory::labelWithFrame(QRectF(0, 70, kWidth, 24), 14);
    name->setText(QString::fromStdString(std::filesystem::path(path_).filename().string()));
    content()->add(std::move(name));
    auto length = ui::GuiFactory::labelWithFrame(QRectF(0, 96, kWidth, 24), 12);
    if (readable_ && info.samplerate > 0) length->setText(lengthText(double(info.frames) / info.samplerate));
    content()->add(std::move(length));
    copyButton_ = addButton(QRectF(kWidth / 2 - 110, 140, 220, 44), "COPY", [this] { copyBtnPressed(); });
    sendButton_ = addButton(QRectF(kWidth / 2 - 110, 200, 220, 44), "SEND TO EXCHANGE", [this] { sendBtnPressed(); });
    sendButton_->setHidden(true);
    if (!readable_) {
        copyButton_->setEnabled(false);
        setMessage("This file cannot be copied: it is missing or not a WAVE file.");
        return;
    }
    checkExchange();
    if (settings.port != 0)
        statusTimer_ = ui::kit::Timer::scheduled(kStatusInterval, true, [this] { checkExchange(); });
}

AudioExchangeViewController::~AudioExchangeViewController() {
    if (statusTimer_) statusTimer_->invalidate();
}

void AudioExchangeViewController::checkExchange() {
    // A peer that takes its time is asked again only once it has answered.
    if (checking_ || isClosing()) return;
    checking_ = true;
    std::weak_ptr<void> alive = lifetime();
    exchange().checkStatus([this, alive](bool running) {
        if (alive.expired()) return;
        checking_ = false;
        sendButton_->setHidden(!running);
    });
}

bool AudioExchangeViewController::canSend() const { return readable_ && !sendButton_->isHidden(); }

std::filesystem::path AudioExchangeViewController::snapshot() {
    platform::Result<std::filesystem::path> copy =
        snapshotForCopy(path_, std::filesystem::path(path_).parent_path() / "copies");
    if (!copy) {
        setMessage(QString("Nothing was copied: %1.").arg(QString::fromStdString(copy.error().message())));
        return {};
    }
    return *copy;
}

void AudioExchangeViewController::copyBtnPressed() {
    if (!readable_) return;
    const std::filesystem::path copy = snapshot();
    if (copy.empty()) return;
    if (platform::Result<void> offered = offerAudioOnClipboard(copy); !offered) {
        setMessage(QString("Nothing was copied: %1.").arg(QString::fromStdString(offered.error().message())));
        return;
    }
    setMessage("Copied. Paste it into another program.");
}

void AudioExchangeViewController::sendBtnPressed() {
    if (!canSend()) return;
    const std::filesystem::path copy = snapshot();
    if (copy.empty()) return;
    setMessage("Sending...");
    std::weak_ptr<void> alive = lifetime();
    const std::string name = std::filesystem::path(path_).stem().string();
    exchange().upload(copy, name, [this, alive](std::string error) {
        if (alive.expired()) return;
        setMessage(error.empty() ? QString("Sent to the audio exchange.")
                                 : QString("Not sent: %1.").arg(QString::fromStdString(error)));
    });
}

// ---- ExchangePasteViewController -----------------------------------------------------

ExchangePasteViewController::ExchangePasteViewController(std::string folder, ExchangeSettings settings)
    : ExchangeSheet("PASTE AUDIO", settings), folder_(std::move(folder)) {
    reload();
}

ExchangePasteViewController::~ExchangePasteViewController() { waitForWriter(); }

void ExchangePasteViewController::waitForWriter() {
    writer_.join();  // a write ends by itself
}

void ExchangePasteViewController::reload() {
    if (writing_) return;
    exchange().cancelAll();
    waiting_ = 0;
    items_.clear();
    setMessage("");
    if (std::optional<ClipboardAudio> clipboard = audioOnClipboard()) {
        if (!clipboard->problem.empty()) {
            setMessage(QString("The clipboard cannot be pasted: %1.").arg(QString::fromStdString(clipboard->problem)));
        } else {
            Item item;
            item.name = clipboard->file.empty() ? "Clipboard" : clipboard->file.stem().string();
            item.bytes = std::make_shared<const std::vector<uint8_t>>(std::move(clipboard->bytes));
            item.file = clipboard->file;
            items_.push_back(std::move(item));
        }
    }
    showItems();
    ++waiting_;
    std::weak_ptr<int> alive = alive_;
    exchange().fetchContents([this, alive](std::vector<ExchangeItem> offered, std::string error) {
        if (alive.expired()) return;
        --waiting_;
        for (ExchangeItem& offer : offered) {
            Item item;
            item.name = offer.name;
            item.exchangeItem = std::move(offer);
            items_.push_back(std::move(item));
        }
        // No exchange on this computer is the usual case, not a problem to report.
        if (!error.empty() && error != AudioExchangeClient::kNotRunning)
            setMessage(QString::fromStdString(error));
        showItems();
    });
}

std::vector<std::string> ExchangePasteViewController::itemNames() const {
    std::vector<std::string> names;
    for (const Item& item : items_) names.push_back(item.name);
    return names;
}

void ExchangePasteViewController::showItems() {
    for (ui::kit::View* button : itemButtons_) button->removeFromSuperview();
    itemButtons_.clear();
    for (size_t i = 0; i < items_.size() && i < kShownItems; ++i) {
        const QString title = QString::fromStdString(items_[i].name).toUpper();
        itemButtons_.push_back(
            addButton(QRectF(kWidth / 2 - 160, 70 + 40.0 * double(i), 320, 34), title, [this, i] { pasteItem(i); }));
    }
    if (items_.empty() && message().isEmpty()) setMessage("There is no audio to paste.");
}

void ExchangePasteViewController::pasteItem(size_t index) {
    // One paste at a time: a second tap while one is written does nothing.
    if (index >= items_.size() || writing_) return;
    const Item& item = items_[index];
    if (item.exchangeItem) {
        ++waiting_;
        setMessage("Fetching...");
        std::weak_ptr<int> alive = alive_;
        const std::string name = item.name;
        exchange().fetchItem(*item.exchangeItem, [this, alive, name](std::vector<uint8_t> bytes, std::string error) {
            if (alive.expired()) return;
            --waiting_;
            if (!error.empty()) {
                setMessage(QString("Nothing was pasted: %1.").arg(QString::fromStdString(error)));
                return;
            }
            writeInBackground(std::make_shared<const std::vector<uint8_t>>(std::move(bytes)), {}, name);
        });
        return;
    }
    writeInBackground(item.bytes, item.file, item.name);
}

void ExchangePasteViewController::writeInBackground(std::shared_ptr<const std::vector<uint8_t>> bytes,
                                                    std::filesystem::path file, std::string name) {
    waitForWriter();
    writing_ = true;
    setMessage("Pasting...");
    platform::MainLoop& loop = ui::kit::Context::current().loop();
    std::weak_ptr<int> alive = alive_;
    auto write = [this, &loop, alive, bytes = std::move(bytes), file = std::move(file),
                  folder = std::filesystem::path(folder_), name = std::move(name)] {
        platform::Result<std::filesystem::path> pasted =
            platform::Error::make(kAudioFileErrorDomain, AudioFileNotWritten, "the clipboard holds no audio");
        if (!file.empty()) {
            pasted = writePastedAudioFile(file, folder);
        } else if (bytes) {
            pasted = writePastedAudio(*bytes, folder);
        }
        loop.post([this, alive, pasted = std::move(pasted), name] {
            if (alive.expired() || isClosing()) {
                // DONE was pressed meanwhile: nobody will name this file, so it goes.
                std::error_code ignored;
                if (pasted) std::filesystem::remove(*pasted, ignored);
                return;
            }
            writing_ = false;
            if (!pasted) {
                setMessage(QString("Nothing was pasted: %1.").arg(QString::fromStdString(pasted.error().message())));
                return;
            }
            finishPaste(pasted->string(), name);
        });
    };
    writer_ = platform::Worker("paste writer", std::move(write));
}

void ExchangePasteViewController::finishPaste(const std::string& path, const std::string& name) {
    STROMBEL_LOG_INFO("pasted {} into {}", name, path);
    setMessage("Pasted.");
    if (delegate_) delegate_->didPaste(*this, path, name, nullptr);
    doneBtnPressed();
}

}  // namespace strombel::editor
