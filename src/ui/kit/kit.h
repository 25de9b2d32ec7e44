#pragma once

// src/ui/kit/: the view kit the screens are built of, on Qt. One window shows one
// screen: a tree of views in points, scaled to the window.
// May include: platform, logging, Qt.

// In reading order:

// clang-format off

#include "ui/kit/context.h"             // Context (main loop, animator, presenters, Screen) and Screen
#include "ui/kit/view.h"                // View: frame, tags, tree, alpha, clipping, hit testing
#include "ui/kit/image_view.h"          // ImageView and pointSize
#include "ui/kit/label.h"               // Label: alignment, line breaks and truncation
#include "ui/kit/control.h"             // Control (events and states) and Button (per-state images)
#include "ui/kit/touch.h"               // Touch: one finger, owned by the view it began on
#include "ui/kit/touch_dispatcher.h"    // TouchDispatcher: routes fingers (and the mouse) to views
#include "ui/kit/gesture_recognizer.h"  // tap, double-tap, long-press and pan recognisers
#include "ui/kit/table_view.h"             // TableView: rows in sections, cells by reuse, scrolling, updates
#include "ui/kit/text_field.h"          // TextField: a real QLineEdit in the scene
#include "ui/kit/timer.h"               // Timer on the main loop's clock
#include "ui/kit/animator.h"            // Animator: alpha, position, rotation; finished or cut short
#include "ui/kit/presenters.h"          // alerts, edit menu, modal screens, URL opening (and test doubles)
#include "ui/kit/window.h"              // Window: the QGraphicsView showing a screen; render to an image
#include "ui/kit/device_orientation.h"  // DeviceOrientation (posted on change) and the autorotation answers
#include "ui/kit/view_controllers.h"    // ViewController, NavigationController, TabBarController and their delegates
// clang-format on
