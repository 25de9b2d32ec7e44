#include "ui/hub/hub_connection_panel.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

#include "hub/hub_built_in_images.h"
#include "hub/hub_peer.h"
#include "hub/hub_peer_resource.h"
#include "platform/localized_strings.h"
#include "ui/kit/animator.h"
#include "ui/kit/context.h"
#include "ui/kit/image_view.h"
#include "ui/kit/scroll_view.h"

namespace strombel::ui::hub {

using strombel::hub::HubColor;
using strombel::hub::HubPeer;
using strombel::hub::HubRemoteButtonTrigger;

namespace {

QImage toQImage(const std::shared_ptr<strombel::hub::HubImage>& image) {
    if (!image) return {};
    const auto& bytes = image->png().data();
    return QImage::fromData(bytes.data(), int(bytes.size()), "PNG");
}

double evenUp(double value) {
    const double whole = std::ceil(value);
    return std::fmod(whole, 2) == 0 ? whole : whole + 1;
}

/// Long names are cut with an ellipsis before they go into a text.
std::string elided(const std::string& name) {
    constexpr int kLongest = 40;
    const QString text = QString::fromStdString(name);
    if (text.size() <= kLongest) return name;
    return (text.left(kLongest - 1) + QChar(0x2026)).toStdString();
}

/// The localised `format` with its one "%@" replaced by `argument`, which is
/// never read as a format itself.
std::string formatted(const std::string& format, const std::string& argument) {
    std::string text = format;
    if (const size_t at = text.find("%@"); at != std::string::npos) text.replace(at, 2, argument);
    return text;
}

uint32_t colorBits(const std::optional<HubColor>& color) {
    if (!color) return 0;
    auto component = [](double value) { return uint32_t(std::clamp(value, 0.0, 1.0) * 255) & 0xff; };
    return component(color->red) | component(color->green) << 8 | component(color->blue) << 16 | 1u << 24;
}

}  // namespace

// ---- images ----

QImage HubConnectionPanel::imageWithImage(const QImage& image, const QSize& pixels) {
    if (image.isNull() || image.size() == pixels) return image;
    return image.scaled(pixels, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

HubConnectionPanel::IconKey HubConnectionPanel::iconCacheKeyForIcon(const void* icon,
                                                                   const std::optional<HubColor>& color) {
    return {icon, colorBits(color)};
}

QImage HubConnectionPanel::triggerImageFromImage(const QImage& image, const std::optional<HubColor>& color) {
    if (image.isNull()) return {};
    const HubColor tint = color.value_or(HubColor::white(0.4));
    QImage result(image.size(), QImage::Format_ARGB32_Premultiplied);
    result.fill(QColor::fromRgbF(float(tint.red), float(tint.green), float(tint.blue), float(tint.alpha)));
    QPainter painter(&result);
    painter.setCompositionMode(QPainter::CompositionMode_DestinationIn);
    // Pixel onto pixel, whatever the picture's pixel ratio: the colour is kept
    // only where the picture is drawn, over the whole of it.
    painter.drawImage(result.rect(), image, image.rect());
    painter.end();
    result.setDevicePixelRatio(image.devicePixelRatio());
    return result;
}

QImage HubConnectionPanel::peerImage(const Peer& peer) {
    const QSize size(int(kButtonSize * 2), int(kButtonSize * 2));
    std::shared_ptr<strombel::hub::HubImage> icon;
    if (auto proxy = peer->icon()) icon = proxy->image;
    if (icon) {
        const IconKey key = iconCacheKeyForIcon(icon.get(), std::nullopt);
        if (auto it = iconCache_.find(key); it != iconCache_.end()) return it->second;
        QImage image = toQImage(icon);
        if (!image.isNull()) {
            image = imageWithImage(image, size);
            image.setDevicePixelRatio(2);
            iconCache_[key] = image;
            return image;
        }
        // An icon that does not decode shows the blank one.
    }
    const auto blankImage = strombel::hub::HubBuiltInImageNamed("Blank-App.png");
    const IconKey key = iconCacheKeyForIcon(blankImage.get(), std::nullopt);
    if (auto it = iconCache_.find(key); it != iconCache_.end()) return it->second;
    QImage blank = imageWithImage(toQImage(blankImage), size);
    blank.setDevicePixelRatio(2);
    iconCache_[key] = blank;
    return blank;
}

QImage HubConnectionPanel::cachedTriggerImage(const std::shared_ptr<strombel::hub::HubPeerResourceImageProxy>& icon,
                                              const std::optional<HubColor>& color) {
    if (!icon || !icon->image) return {};
    const IconKey key = iconCacheKeyForIcon(icon->image.get(), color);
    if (auto it = iconCache_.find(key); it != iconCache_.end()) return it->second;
    QImage image = toQImage(icon->image);
    if (image.isNull()) return {};
    // Drawn at half its pixel size: the pictures come at twice the points.
    image = imageWithImage(image, QSize(int(std::lround(image.width() / 2.0)) * 2, int(std::lround(image.height() / 2.0)) * 2));
    image.setDevicePixelRatio(2);
    image = triggerImageFromImage(image, color);
    iconCache_[key] = image;
    return image;
}

QImage HubConnectionPanel::switchImage() {
    auto image = strombel::hub::HubBuiltInImageNamed("Switch-To-App.png");
    const IconKey key = iconCacheKeyForIcon(image.get(), std::nullopt);
    if (auto it = iconCache_.find(key); it != iconCache_.end()) return it->second;
    QImage picture = toQImage(image);
    picture.setDevicePixelRatio(2);
    picture = triggerImageFromImage(picture, std::nullopt);
    iconCache_[key] = picture;
    return picture;
}

// ---- layout ----

void HubConnectionPanel::layoutAnimated(double seconds) {
    if (!view()) return;
    const QRectF before = view_->frame();
    layout();
    const QRectF after = view_->frame();
    if (animating_ || before.isEmpty() || before == after) return;
    view_->setFrame(before);
    kit::Context::current().animator().animateFrame(*view_, after, seconds);
}

void HubConnectionPanel::layout() {
    if (!view()) return;
    const bool bottom = position_ == kPanelBottom;
    handle_->setPosition(position_);
    handle_->setX(position_ == kPanelLeft ? kRoundedCornerRadius : 0);
    handle_->setY(0);
    handle_->setHorizontal(bottom);
    handle_->setHidden(bottom);

    const auto peers = orderedPeers();
    std::set<PeerKey> listed;
    for (const auto& peer : peers) listed.insert(keyOf(peer));
    for (auto it = peerButtons_.begin(); it != peerButtons_.end();) {
        if (listed.count(it->first)) {
            ++it;
            continue;
        }
        it->second->removeFromSuperview();
        it = peerButtons_.erase(it);
    }
    for (auto it = peerInsets_.begin(); it != peerInsets_.end();) {
        if (listed.count(it->first)) {
            ++it;
            continue;
        }
        if (it->second.container) it->second.container->removeFromSuperview();
        it = peerInsets_.erase(it);
    }

    const double across = std::round((kThickness - kButtonSize) / 2);
    QPointF cursor = bottom ? QPointF(kRowPitch, 0) : QPointF(position_ == kPanelLeft ? kRoundedCornerRadius : 0, kRowPitch);
    for (const auto& peer : peers) {
        const PeerKey key = keyOf(peer);
        HubButton*& button = peerButtons_[key];
        if (!button) {
            auto made = std::make_unique<HubButton>(QRectF(0, 0, kButtonSize, kButtonSize));
            made->scalesImageToFill = true;
            made->setCornerRadius(6.666666648);
            made->setBorder(1, Qt::black);
            made->setTarget([this](HubButton& b) { togglePeer(b); }, peer);
            button = container_->contentView()->add(std::move(made));
        }
        button->setImage(peerImage(peer), kit::normal);
        const std::string name = elided(peer->displayName());
        button->accessibilityLabel = QString::fromStdString(name);
        button->accessibilityHint = QString::fromStdString(
            formatted(platform::localizedString(platform::MainBundle::shared(), "Open controls for %@"), name));
        button->setX(cursor.x() + (bottom ? 0 : across), cursor.y() + (bottom ? across + 1 : 0));
        const bool onDevice = peer->type() == HubPeer::Local || peer->type() == HubPeer::Self;
        button->setUserInteractionEnabled(onDevice || !peer->panelTriggers().empty());
        if (bottom) cursor.rx() += kButtonSize + kRowPitch;
        else cursor.ry() += kButtonSize + kRowPitch;

        auto inset = peerInsets_.find(key);
        if (inset == peerInsets_.end()) continue;
        const size_t n = peer->panelTriggers().size() + (peer->type() == HubPeer::Local ? 1 : 0);
        const double length = double(n) * kControlPitch + 6;
        layoutInset(peer, inset->second, cursor, length);
        if (bottom) cursor.rx() += inset->second.container->width() + kRowPitch;
        else cursor.ry() += inset->second.container->height() + kRowPitch;
    }

    const QSizeF screen = screenSize();
    QSizeF panel, content;
    QRectF containerFrame;
    if (bottom) {
        double width = std::min(cursor.x(), screen.width() - 50);
        double thickness = kThickness + kRoundedCornerRadius;
        content = {cursor.x() - 6, 50};
        if (content.width() > width) thickness = kScrollingThickness;
        panel = {width, evenUp(thickness)};
        containerFrame = {0, 0, width - 6, panel.height()};
    } else {
        double height = std::min(cursor.y() + 50, screen.height() - 50);
        double width = kThickness + kRoundedCornerRadius;
        content = {50, cursor.y() - 6};
        if (content.height() > height - 50) width = kScrollingThickness;
        panel = {width, evenUp(height)};
        containerFrame = {0, 50, width, evenUp(height - 56)};
    }
    // The panel grows about its middle along the edge and keeps its side at the edge.
    const QRectF old = view_->frame();
    QRectF frame(QPointF(), panel);
    if (bottom) frame.moveTo(old.center().x() - panel.width() / 2, old.bottom() - panel.height());
    else if (position_ == kPanelLeft) frame.moveTo(old.x(), old.center().y() - panel.height() / 2);
    else frame.moveTo(old.right() - panel.width(), old.center().y() - panel.height() / 2);
    view_->setFrame(frame);
    container_->setFrame(containerFrame);
    if (content != contentSize_) {
        container_->setContentSize(content);
        if (container_->scrolls()) container_->flashScrollIndicators();
    }
    contentSize_ = content;
}

void HubConnectionPanel::layoutInset(const Peer& peer, Inset& inset, const QPointF& cursor, double length) {
    const bool bottom = position_ == kPanelBottom;
    const QRectF frame = bottom ? QRectF(cursor.x(), cursor.y() + 6, length + 6, 39)
                                : QRectF(cursor.x() + 6, cursor.y(), kButtonSize, length + 7);
    if (!inset.container) {
        auto view = std::make_unique<HubConnectionPanelInsetView>(frame);
        view->setClipsToBounds(true);
        inset.container = container_->contentView()->add(std::move(view));
    }
    inset.container->setPosition(position_);
    if (inset.container->frame() != frame) {
        inset.container->setFrame(frame);
        inset.container->setNeedsDisplay();
    }
    double along = 12;
    auto place = [&](HubButton& button) {
        button.setFrame(bottom ? QRectF(along, 0, kButtonSize, kButtonSize) : QRectF(0, along, kButtonSize, kButtonSize));
        along += kButtonSize + 6;
    };
    const std::string name = elided(peer->displayName());
    if (peer->type() == HubPeer::Local) {
        if (!inset.launch) {
            auto button = std::make_unique<HubButton>();
            button->setTarget([this](HubButton& b) { showPeer(b); }, peer);
            inset.launch = inset.container->add(std::move(button));
        }
        inset.launch->setImage(switchImage(), kit::normal);
        inset.launch->accessibilityLabel =
            QString::fromStdString(formatted(platform::localizedString(platform::MainBundle::shared(), "Open %@"), name));
        place(*inset.launch);
    }
    std::set<uint32_t> present;
    for (const auto& trigger : peer->panelTriggers()) {
        auto remote = std::dynamic_pointer_cast<HubRemoteButtonTrigger>(trigger);
        if (!remote) continue;
        present.insert(remote->numericIdentifier());
        HubButton*& button = inset.triggers[remote->numericIdentifier()];
        if (!button) {
            auto made = std::make_unique<HubButton>();
            made->setTarget([this](HubButton& b) { activateTrigger(b); }, remote);
            button = inset.container->add(std::move(made));
        }
        const int32_t state = remote->state();
        const bool alternate = state == strombel::hub::HubTrigger::Alternate;
        auto icon = alternate && remote->alternateIcon() ? remote->alternateIcon() : remote->icon();
        button->setImage(cachedTriggerImage(icon, alternate ? remote->alternateColor() : remote->color()), kit::normal);
        auto selectedIcon = remote->selectedIcon() ? remote->selectedIcon() : remote->icon();
        button->setImage(cachedTriggerImage(selectedIcon, remote->selectedColor()), kit::selected);
        std::string label = remote->title();
        if (state == strombel::hub::HubTrigger::Selected && !remote->selectedTitle().empty()) label = remote->selectedTitle();
        if (alternate && !remote->alternateTitle().empty()) label = remote->alternateTitle();
        button->accessibilityLabel = QString::fromStdString(label);
        const bool disabled = state == strombel::hub::HubTrigger::Disabled;
        button->setAlpha(disabled ? 0.5 : 1);
        button->setUserInteractionEnabled(!disabled);
        button->setSelected(state == strombel::hub::HubTrigger::Selected);
        place(*button);
    }
    for (auto it = inset.triggers.begin(); it != inset.triggers.end();) {
        if (present.count(it->first)) {
            ++it;
            continue;
        }
        it->second->removeFromSuperview();
        it = inset.triggers.erase(it);
    }
}

}  // namespace strombel::ui::hub
