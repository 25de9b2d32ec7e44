#pragma once

// src/ui/store/: the store screen.
// May include: ui, ui/kit, library, Qt.

#include <QImage>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "library/sound_data_manager.h"
#include "ui/gui_type.h"
#include "ui/kit/table_view.h"
#include "ui/kit/view.h"
#include "ui/modal_screen.h"

namespace strombel::ui::kit {
class Button;
class ImageView;
class Label;
class TableView;
class Window;
}  // namespace strombel::ui::kit

namespace strombel::store {

/// The store screen, presented over the pad screen: the catalogue as a list
/// (icon, title, description, contents and a control saying where the item
/// stands: DOWNLOAD, "n of m files", INSTALLED, or FAILED with its reason and
/// RETRY), and DONE. It observes the library while it lives.
class StrombelStoreViewController : public ui::ModalScreen,
                                    private library::SoundDataManagerDelegate,
                                    private ui::kit::TableViewDataSource,
                                    private ui::kit::TableViewDelegate {
public:
    /// The tablet layout, on `library` (null: a screen saying the store cannot be
    /// reached). Shows the loaded catalogue, or asks for one.
    explicit StrombelStoreViewController(library::SoundDataManager* library);
    ~StrombelStoreViewController() override;

    /// DONE: takes the screen away.
    void doneBtnPressed();
    /// RETRY under the message that the catalogue could not be loaded.
    void retryBtnPressed();
    /// The control of an item: DOWNLOAD or RETRY install it.
    void itemBtnPressed(const std::string& identifier);

    /// What the screen shows, for tests and the user alike.
    QString statusText() const;
    std::vector<std::string> itemIdentifiers() const;
    /// The text of an item's control ("DOWNLOAD", "2 of 5 files", "INSTALLED", "RETRY").
    QString controlTextOfItem(const std::string& identifier) const;
    /// The failure shown under an item ("" when none), whole; the row shows the
    /// lines it has room for, and the whole text under the pointer.
    QString failureTextOfItem(const std::string& identifier) const;
    /// The label that shows it, while the item's row is in view.
    ui::kit::Label* failureLabelOfItem(const std::string& identifier) const;
    ui::kit::Button* controlOfItem(const std::string& identifier) const;
    bool iconOfItemIsLoaded(const std::string& identifier) const;
    ui::kit::TableView* list() const { return list_; }
    ui::kit::Button* doneButton() const { return doneBtn_; }
    ui::kit::Label* statusLabel() const { return status_; }
    ui::kit::Button* retryButton() const { return retryBtn_; }

    /// The largest icon, in pixels a side, that is decoded.
    static constexpr int kMaximumIconSide = 1024;

protected:
    struct Metrics {
        double headerHeight;
        double titleSize;
        double rowHeight;
        double iconSide;
        double nameSize;
        double textSize;
        QSizeF controlSize;
        /// The description and the contents share one line.
        bool compact;
    };
    /// For the phone layout, which builds its own view.
    StrombelStoreViewController(library::SoundDataManager* library, ui::GuiType guiType);
    /// Builds the header, the list and the DONE button.
    virtual void loadView();
    void buildView(const Metrics& metrics);

private:
    class ItemCell;

    // The library's store messages.
    void storeItemsLoaded(const std::vector<library::StoreItem>& items) override;
    void storeItemsLoadingFailed(const platform::Error& error) override;
    void storeItemsDownloadingCompleted() override { refreshRows(); }
    void storeItemFileDownloaded(const std::string&) override { refreshRows(); }
    void storeItemFileDownloadFailed(const std::string&) override { refreshRows(); }

    library::SoundStore* soundStore() const { return library_ ? library_->store() : nullptr; }
    // The list's rows, one per item.
    int numberOfRows(ui::kit::TableView& table, int section) override;
    std::unique_ptr<ui::kit::TableViewCell> cellForRow(ui::kit::TableView& table, const ui::kit::IndexPath& path) override;
    std::unique_ptr<ItemCell> makeCell();
    /// Shows where an item stands on its cell.
    void fill(ItemCell& cell, const library::StoreItem& item) const;
    /// What is said under an item's control: why it failed ("" when it has not),
    /// and that it failed again when a RETRY was tried.
    QString failureText(const library::StoreItem& item) const;
    /// Where the reason begins in a row.
    double failureTop() const;
    /// A label for a reason, at its place in a row.
    std::unique_ptr<ui::kit::Label> failureLabel(const Metrics& metrics) const;
    ItemCell* cellOfItem(const std::string& identifier) const;

    void showItems(const std::vector<library::StoreItem>& items);
    void showStatus(const QString& text, bool offerRetry);
    void refreshRows();
    void iconArrived(const std::string& identifier, const std::vector<uint8_t>& bytes);
    QImage placeholderIcon(const library::StoreItem& item) const;

    library::SoundDataManager* library_;
    ui::GuiType guiType_;
    Metrics metrics_{};
    ui::kit::Label* status_ = nullptr;
    ui::kit::Button* retryBtn_ = nullptr;
    ui::kit::TableView* list_ = nullptr;
    ui::kit::Button* doneBtn_ = nullptr;
    std::vector<library::StoreItem> items_;
    /// The catalogue's fetches on this screen, RETRY's included.
    int catalogueTries_ = 1;
    /// The icons that arrived, by item.
    std::map<std::string, QImage> icons_;
    std::shared_ptr<bool> lifetime_ = std::make_shared<bool>(true);
};

/// The same in the phone layout: smaller rows, the description and the contents
/// on one line.
class StrombelIphoneStoreViewController : public StrombelStoreViewController {
public:
    /// `upright`: laid out on the upright screen (the portrait layout), its
    /// shorter side across.
    explicit StrombelIphoneStoreViewController(library::SoundDataManager* library, bool upright = false);

protected:
    void loadView() override;
};

}  // namespace strombel::store
