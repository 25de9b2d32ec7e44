#pragma once

#include <functional>
#include <memory>
#include <string>

#include "ui/kit/view.h"

namespace strombel::ui::kit {
class Window;
}

namespace strombel::editor {

class ExchangePasteViewController;

/// Told when a paste has written its file (optional).
class ExchangePasteViewControllerDelegate {
public:
    virtual ~ExchangePasteViewControllerDelegate() = default;
    virtual void didPaste(ExchangePasteViewController& controller, const std::string& path,
                          const std::string& itemName, const void* metaData) {
        (void)controller, (void)path, (void)itemName, (void)metaData;
    }
};

/// A screen presented in a form sheet over the pad screen, with a title and a
/// DONE button that takes it away again.
class ExchangeSheet : public ui::kit::View {
public:
    /// The platform's presentation style value (2 is the form sheet).
    int32_t modalPresentationStyle() const { return modalPresentationStyle_; }
    void setModalPresentationStyle(int32_t style) { modalPresentationStyle_ = style; }

    /// Shows the sheet over `window`; `dismissed` runs once it has gone again.
    static void present(std::unique_ptr<ExchangeSheet> sheet, ui::kit::Window& window,
                        std::function<void()> dismissed = {});
    void doneBtnPressed();

protected:
    explicit ExchangeSheet(const QString& title);

private:
    int32_t modalPresentationStyle_ = 0;
    ui::kit::Window* window_ = nullptr;
    std::function<void()> dismissed_;
};

/// The copy screen for one exported WAVE file. The exchange itself (other
/// programs, the local server) comes with the audio exchange subsystem.
class AudioExchangeViewController : public ExchangeSheet {
public:
    explicit AudioExchangeViewController(std::string path);
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

/// The paste screen that writes pasted audio into a file of a folder. Nothing
/// can be pasted until the audio exchange subsystem comes.
class ExchangePasteViewController : public ExchangeSheet {
public:
    explicit ExchangePasteViewController(std::string folder);
    const std::string& folder() const { return folder_; }
    void setDelegate(ExchangePasteViewControllerDelegate* delegate) { delegate_ = delegate; }
    ExchangePasteViewControllerDelegate* delegate() const { return delegate_; }

private:
    std::string folder_;
    ExchangePasteViewControllerDelegate* delegate_ = nullptr;
};

}  // namespace strombel::editor
