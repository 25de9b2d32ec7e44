#pragma once

// What the pad screen's panels are made of: a panel picture on the base
// container, its small buttons and their captions, and the two kinds of toggle.

#include <QString>

#include <functional>
#include <memory>

#include "ui/pad/pad_screen_controls.h"

namespace strombel::ui::pad_views {

/// A panel picture at `frame` on `base`, taking touches for its controls.
inline kit::ImageView* addPanel(kit::View& base, GuiType guiType, const QRectF& frame, const char* imageName) {
    auto panel = std::make_unique<kit::ImageView>(frame, GuiFactory::imageWithName(imageName, guiType));
    panel->setUserInteractionEnabled(true);
    return base.add(std::move(panel));
}

/// A small button with its caption (and its lamp, written to `light` when given).
inline SmallButtonControl* addSmallButton(const GuiFactory& gf, kit::View& parent, double x, double y,
                                          const QString& label, LightView** light = nullptr) {
    SmallButtonControl* button = nullptr;
    gf.createSmallButtonInto(&button, light, parent, QPointF(x, y), label);
    return button;
}

/// A caption under a control; null on a gui type without captions there.
inline kit::Label* addCaption(GuiType guiType, kit::View& parent, double x, double y, double width,
                              const QString& text) {
    auto label = GuiFactory::labelForGuiType(guiType, QPointF(x, y), int(width));
    if (!label) return nullptr;
    label->setText(text);
    return parent.add(std::move(label));
}

/// Makes `button` a toggle whose `action` runs each time it switches.
inline void toggleOnValue(SmallButtonControl* button, std::function<void()> action) {
    button->setIsToggle(true);
    button->addTarget(kit::valueChanged, [action = std::move(action)](kit::Control&) { action(); });
}

/// Makes `button` a toggle whose `action` runs when a touch is let go on it. A
/// toggle switches as the touch goes down: one let go elsewhere (or cancelled)
/// switches it back, so its lamp never shows a panel that did not open.
inline void toggleOnRelease(SmallButtonControl* button, std::function<void()> action) {
    button->setIsToggle(true);
    button->addTarget(kit::touchUpInside, [action = std::move(action)](kit::Control&) { action(); });
    button->addTarget(kit::touchUpOutside | kit::touchCancel,
                      [button](kit::Control&) { button->setIsPressedDown(!button->isPressedDown()); });
}

inline bool isDown(const SmallButtonControl* button) { return button && button->isPressedDown(); }

/// Sets a toggle's state without an event (when there is one), then runs `action`
/// as a touch would.
template <typename Action>
void press(SmallButtonControl* button, bool down, Action&& action) {
    if (button) button->setIsPressedDown(down);
    action();
}

/// The main loop's clock in seconds (the timers' time).
inline double nowSeconds() { return double(kit::Context::current().loop().nowNanos()) / 1e9; }

}  // namespace strombel::ui::pad_views
