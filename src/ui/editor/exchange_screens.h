#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "editor/audio_exchange_client.h"
#include "platform/worker.h"
#include "ui/kit/view.h"

namespace strombel::ui::kit {
class Button;
class Label;
class Timer;
class Window;
}  // namespace strombel::ui::kit

namespace strombel::editor {

class ExchangePasteViewController;

/// Told when a paste has written its file (optional).
class ExchangePasteViewControllerDelegate {
public:
    virtual ~ExchangePasteViewControllerDelegate() = default;
    /// `path` is the full path of the file written; `metaData` is always null.
    virtual void didPaste(ExchangePasteViewController& controller, const std::string& path,
                          const std::string& itemName, const void* metaData) {
        (void)controller, (void)path, (void)itemName, (void)metaData;
    }
};

/// A screen presented in a form sheet over the pad screen, with a title, a line
/// for messages and a DONE button that takes it away again.
class ExchangeSheet : public ui::kit::View {
public:
    ~ExchangeSheet() override;
    /// The platform's presentation style value (2 is the form sheet).
    int32_t modalPresentationStyle() const { return modalPresentationStyle_; }
    void setModalPresentationStyle(int32_t style) { modalPresentationStyle_ = style; }

    /// Shows the sheet over `window`; `dismissed` runs once it has gone again.
    static void present(std::unique_ptr<ExchangeSheet> sheet, ui::kit::Window& window,
                        std::function<void()> dismissed = {});
    void doneBtnPressed();
    /// What the sheet last told the user ("" when nothing).
    QString message() const;
    /// True once DONE was pressed (the sheet is on its way out).
    bool isClosing() const { return closing_; }

protected:
    ExchangeSheet(const QString& title, ExchangeSettings settings);
    void setMessage(const QString& text);
    /// The panel that holds the sheet's contents, in the sheet's own layout of
    /// kWidth × kHeight points (placed and scaled on the screen when presented):
    /// everything shown is added here, also after the sheet is presented.
    ui::kit::View* content() { return panel_; }
    /// A button of the sheet's style at `frame` on the panel.
    ui::kit::Button* addButton(const QRectF& frame, const QString& title, std::function<void()> pressed);
    /// Spreads the sheet over a screen of `screen` points, its contents on a
    /// panel in the middle.
    void coverAsFormSheet(const QSizeF& screen);
    AudioExchangeClient& exchange() { return *exchange_; }
    static constexpr double kWidth = 540, kHeight = 420;

private:
    int32_t modalPresentationStyle_ = 0;
    bool closing_ = false;
    ui::kit::Window* window_ = nullptr;
    std::function<void()> dismissed_;
    ui::kit::View* panel_ = nullptr;
    ui::kit::Label* message_ = nullptr;
    std::unique_ptr<AudioExchangeClient> exchange_;
};

/// The copy screen for one WAVE file (an exported pattern): its name and length,
/// COPY (to the desktop clipboard), SEND TO EXCHANGE (shown while a peer runs)
/// and DONE. What is copied or sent is a snapshot, so a later export to the same
/// file does not change it. While the screen is open it asks the exchange again
/// every kStatusInterval seconds (on the main loop's clock), so SEND TO EXCHANGE
/// comes and goes with the peer.
class AudioExchangeViewController : public ExchangeSheet {
public:
    static constexpr double kStatusInterval = 3.0;
    explicit AudioExchangeViewController(std::string path, ExchangeSettings settings = {});
    ~AudioExchangeViewController() override;
    const std::string& path() const { return path_; }
    /// Nothing when the file is missing or is no WAVE.
    bool canCopy() const { return readable_; }
    bool canSend() const;

    void copyBtnPressed();
    void sendBtnPressed();

private:
    /// The snapshot of the file in the snapshot folder; empty (with the message
    /// set) when it cannot be made.
    std::filesystem::path snapshot();
    void checkExchange();

    std::string path_;
    bool readable_ = false;
    bool checking_ = false;
    ui::kit::Button* copyButton_ = nullptr;
    ui::kit::Button* sendButton_ = nullptr;
    std::unique_ptr<ui::kit::Timer> statusTimer_;
};

/// The paste screen: lists the audio on the desktop clipboard and what the
/// exchange offers; choosing one writes it as 16-bit WAVE under a fresh name into
/// the folder, tells the delegate and dismisses itself. The file is written on a
/// worker thread (pasted audio may be 256 MiB), the outcome handed back on the
/// main loop; the screen answers meanwhile, and a paste dropped by DONE leaves
/// no file behind.
class ExchangePasteViewController : public ExchangeSheet {
public:
    explicit ExchangePasteViewController(std::string folder, ExchangeSettings settings = {});
    ~ExchangePasteViewController() override;
    const std::string& folder() const { return folder_; }
    void setDelegate(ExchangePasteViewControllerDelegate* delegate) { delegate_ = delegate; }
    ExchangePasteViewControllerDelegate* delegate() const { return delegate_; }

    /// What can be pasted, by the names shown.
    std::vector<std::string> itemNames() const;
    /// Pastes the item at `index` of itemNames().
    void pasteItem(size_t index);
    /// Looks at the clipboard and the exchange again.
    void reload();
    /// True while the exchange's list or an item is on its way, or a paste is
    /// being written.
    bool isWaiting() const { return waiting_ > 0 || writing_; }
    /// Waits for the file being written (tests; its outcome still comes on the
    /// main loop).
    void waitForWriter();

private:
    struct Item {
        std::string name;
        std::shared_ptr<const std::vector<uint8_t>> bytes;  // clipboard data
        std::filesystem::path file;                         // clipboard file URI
        std::optional<ExchangeItem> exchangeItem;
    };
    void showItems();
    /// Writes `bytes` (or else `file`) on the writer thread, then finishes.
    void writeInBackground(std::shared_ptr<const std::vector<uint8_t>> bytes, std::filesystem::path file,
                           std::string name);
    void finishPaste(const std::string& path, const std::string& name);

    std::string folder_;
    ExchangePasteViewControllerDelegate* delegate_ = nullptr;
    std::vector<Item> items_;
    std::vector<ui::kit::View*> itemButtons_;
    int waiting_ = 0;
    bool writing_ = false;
    platform::Worker writer_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace strombel::editor
