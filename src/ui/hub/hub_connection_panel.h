#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>
#include <QSizeF>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hub/hub_controller.h"
#include "hub/hub_remote_trigger.h"
#include "platform/key_value_observing.h"
#include "ui/hub/hub_connection_panel_views.h"
#include "ui/hub/hub_drag.h"
#include "ui/kit/scroll_view.h"
#include "ui/kit/timer.h"

namespace strombel::ui::hub {

inline constexpr const char* kHubConnectionPanelShownNotification = "HubConnectionPanelShownNotification";
inline constexpr const char* kHubConnectionPanelHiddenNotification = "HubConnectionPanelHiddenNotification";

class HubConnectionPanel;

/// Asked before the panel appears; nothing in the program sets one.
class HubConnectionPanelDelegate {
  public:
    virtual ~HubConnectionPanelDelegate() = default;
    virtual bool connectionPanelShouldAppear(HubConnectionPanel& panel) = 0;
};

/// The strip of peer buttons that slides in at one edge of the application's
/// screen while it takes part in a hub session. Tapping a peer unfolds its
/// controls; the user may push the panel away by its handle. Main loop only;
/// made by the controller's panel factory and kept as long as the controller.
class HubConnectionPanel final : public strombel::hub::HubConnectionPanel, public platform::KeyValueObservable {
  public:
    using Peer = std::shared_ptr<strombel::hub::HubPeer>;
    /// `host` gives the view the panel's layer goes over (the window's root),
    /// or null while there is none.
    HubConnectionPanel(strombel::hub::HubController& controller, std::function<kit::View*()> host);
    ~HubConnectionPanel() override;

    // Geometry, in points.
    static constexpr double kCornerRadius = 50 / 5.7;
    static constexpr double kRoundedCornerRadius = 9;  // kCornerRadius rounded
    static constexpr double kThickness = 50;
    static constexpr double kWindowThickness = 70;
    static constexpr double kButtonSize = 38;
    static constexpr double kRowPitch = 6;
    static constexpr double kControlPitch = 44;
    static constexpr double kScrollingThickness = 58;
    static constexpr int kHandleTag = 8582;
    static constexpr double kSlideSeconds = 0.3;
    static constexpr double kUnfoldSeconds = 0.2;
    static constexpr double kAutoHideSeconds = 2.0;
    static constexpr double kEdgeZone = 30;
    static constexpr double kTabSeconds = 1.5;
    static constexpr double kOrientationSettleSeconds = 0.8;

    // strombel::hub::HubConnectionPanel
    void setPosition(int32_t position) override;
    int32_t position() const override { return position_; }
    void hide() override { hideWithFinishBlock({}); }

    /// Not owned; when it answers false, `show` does nothing.
    void setDelegate(HubConnectionPanelDelegate* delegate) { delegate_ = delegate; }
    HubConnectionPanelDelegate* delegate() const { return delegate_; }

    bool visible() const { return visible_; }
    void setVisible(bool visible);
    bool userHidden() const { return userHidden_; }
    bool animating() const { return animating_; }
    void show();
    void hideWithFinishBlock(std::function<void()> finish);
    void layout();
    /// After a turn of the device or a return to the foreground: the panel's
    /// layer takes the screen now shown (a phone's portrait screen, say) and its
    /// frame there, and a panel that shows comes in again, laid out anew.
    void updateLayout();
    bool orientationChanging() const { return orientationChanging_; }
    /// Lays the panel out, its size changing over `seconds` unless it is sliding.
    void layoutAnimated(double seconds);
    /// Drops the prepared images (the system is short of memory).
    void didReceiveMemoryWarning() { iconCache_.clear(); }
    size_t cachedImageCount() const { return iconCache_.size(); }

    // What tests and the gallery look at.
    HubConnectionPanelWindow* window() const;
    kit::View* view() const { return window() ? view_ : nullptr; }
    HubButton* peerButton(const Peer& peer) const;
    HubConnectionPanelInsetView* insetOf(const Peer& peer) const;
    HubButton* switchButtonOf(const Peer& peer) const;
    HubButton* triggerButtonOf(const Peer& peer, uint32_t identifier) const;
    HubDrag* handleDrag() const { return handleDrag_; }
    /// The scrolling rows of peer buttons and insets.
    kit::ScrollView* containerView() const { return view() ? container_ : nullptr; }
    /// The drag at the screen's edge that pulls the tab out, while it listens.
    HubDrag* topGestureRecognizer() const;
    /// The pull tab while it shows, and its drag while that listens.
    kit::View* handleTabView() const { return tabAlive_.expired() ? nullptr : tab_; }
    HubDrag* tabGestureRecognizer() const;

    // Button actions.
    void togglePeer(HubButton& button);
    void showPeer(HubButton& button);
    void activateTrigger(HubButton& button);
    void handleTapGesture();
    void dragGesture(HubDrag& drag);
    void topDrag(HubDrag& drag);
    void tabDragGesture(HubDrag& drag);
    void handleTimeout();

    /// The frames of the layer and of a panel view of `size` in it, in the
    /// desktop's points: the window may show the application's screen
    /// magnified (the phones' screens at twice their size), but the panel
    /// keeps its size on the desktop, as the system's own strip would, and so
    /// takes no more of the application's screen than it must.
    QRectF frameForWindow() const;
    QRectF panelFrameForView(const QSizeF& size) const;
    bool peerIsInteractive(const Peer& peer) const;
    strombel::hub::HubPortList applicablePortsOfPeer(const Peer& peer) const;

    /// The pixels of `image` wherever it is opaque, in `color` (white 0.4 by default).
    static QImage triggerImageFromImage(const QImage& image, const std::optional<strombel::hub::HubColor>& color);
    /// The same image when it has `pixels` already, else drawn at that size.
    static QImage imageWithImage(const QImage& image, const QSize& pixels);

  private:
    using PeerKey = std::pair<std::string, std::string>;  // (unique identifier, name)
    struct Inset {
        HubConnectionPanelInsetView* container = nullptr;
        HubButton* launch = nullptr;
        std::map<uint32_t, HubButton*> triggers;
    };
    using IconKey = std::pair<const void*, uint32_t>;  // (image, colour)
    /// The prepared image's key: the picture and the colour it is tinted with,
    /// as a pair, so that no two pictures share a key.
    static IconKey iconCacheKeyForIcon(const void* icon, const std::optional<strombel::hub::HubColor>& color);

    static PeerKey keyOf(const Peer& peer) { return {peer->uniqueID(), peer->name()}; }
    kit::View* makeView();
    /// The desktop's points one point of the application's screen takes.
    double magnification() const;
    /// The application's screen in the desktop's points.
    QSizeF screenSize() const;
    /// Puts the layer at frameForWindow, drawn at the desktop's scale.
    void placeWindow();
    /// Places the layer again whenever the window showing the screen is resized.
    void watchWindowSize();
    QRectF beyondEdge(const QRectF& frame) const { return beyondEdge(frame, position_); }
    static QRectF beyondEdge(const QRectF& frame, int32_t position);
    std::vector<Peer> orderedPeers() const;
    QImage peerImage(const Peer& peer);
    QImage cachedTriggerImage(const std::shared_ptr<strombel::hub::HubPeerResourceImageProxy>& icon,
                              const std::optional<strombel::hub::HubColor>& color);
    void layoutInset(const Peer& peer, Inset& inset, const QPointF& cursor, double length);
    void connectionsChanged();
    void peerAttributesChanged();
    void applyPositionDelayed(int32_t position);
    /// Moves the layer into the screen now shown when it lies in another.
    void adoptHost(kit::View& host);
    void startAutoHide();
    void postNotification(const char* name);
    /// The application's screen the panel's layer lies over (its root view), or none.
    kit::View* topApplicationWindow() const { return host_ ? host_() : nullptr; }
    void attachEdgeDrag();
    void detachEdgeDrag();
    /// Out of a session: the edge no longer pulls, a tab pulled out goes, and
    /// a layer without a panel view hides.
    void leaveEdge();
    void makeTab();
    void detachTabDrag();
    /// Slides the tab beyond the edge in `seconds` and removes it.
    void removeTab(double seconds);
    double reach() const;
    QImage switchImage();

    strombel::hub::HubController& controller_;
    std::function<kit::View*()> host_;
    int32_t position_ = kPanelRight;
    int32_t shownAt_ = kPanelRight;  // the edge the view came in at
    bool visible_ = false, userHidden_ = false, animating_ = false, orientationChanging_ = false;
    HubConnectionPanelDelegate* delegate_ = nullptr;
    std::unique_ptr<kit::Timer> orientationTimeout_;
    HubConnectionPanelWindow* window_ = nullptr;  // owned by the host view
    std::weak_ptr<void> windowAlive_;
    kit::View* view_ = nullptr;  // in the window, from a show to the end of a hide
    kit::ScrollView* container_ = nullptr;
    HubConnectionPanelHandle* handle_ = nullptr;
    HubDrag* handleDrag_ = nullptr;
    QRectF initialDragFrame_;
    QSizeF contentSize_;
    std::map<PeerKey, HubButton*> peerButtons_;
    std::map<PeerKey, Inset> peerInsets_;
    std::map<IconKey, QImage> iconCache_;
    std::unique_ptr<kit::Timer> autohideTimeout_, handleTimeout_;
    HubDrag* topGestureRecognizer_ = nullptr;  // owned by the host view
    std::weak_ptr<void> edgeHostAlive_;
    HubDrag* tabDrag_ = nullptr;  // owned by the window
    kit::View* tab_ = nullptr;    // in the window
    std::weak_ptr<void> tabAlive_;
    bool draggingOut_ = false;
    QRectF tabStartFrame_, viewStartFrame_;
    std::vector<platform::NotificationCenter::ObserverId> observers_;
    std::unique_ptr<QObject> resizeWatch_;
    QPointer<QWidget> watchedViewport_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace strombel::ui::hub
