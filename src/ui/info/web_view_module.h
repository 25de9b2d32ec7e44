#pragma once

// The web engine lives in a module of its own (libstrombel_web_view.so), opened
// the first time a dialog shows a page: a program that never shows one never
// maps the engine's libraries. The module holds only code on the web engine and
// Qt; it calls nothing of ours except through the hooks handed to it, so that
// it can be built without our libraries and never carries copies of them.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

class QWidget;

namespace strombel::info::web {

/// How a page ended a load.
struct LoadEnd {
    bool succeeded = false;
    /// The engine's error code and text for a failed load (-3: interrupted).
    int errorCode = 0;
    std::string errorString;
    std::string url;
};

/// What a page tells its owner. `shouldStartLoad` gets the address and the kind
/// of navigation (the values of info::SocialNavigationType) of every main-frame
/// navigation and decides it; `loadEnded` reports each load's end.
struct PageHooks {
    std::function<bool(const std::string& url, int navigationKind)> shouldStartLoad;
    std::function<void(const LoadEnd& end)> loadEnded;
    /// The hosts (lower case, as QUrl gives them) the page's requests may go
    /// to: a request over the network to any other is blocked.
    std::vector<std::string> reachableHosts;
};

/// The module's functions. Every one runs on the GUI thread.
struct Module {
    /// Makes a web view on `parent` (which owns it) whose navigations go to
    /// `hooks`; all views share one profile that keeps its cookies while the
    /// program runs and refuses to load the dialogs' own scheme.
    QWidget* (*createView)(QWidget* parent, PageHooks hooks);
    void (*load)(QWidget* view, const std::string& url);
    void (*runScript)(QWidget* view, const std::string& script);
    /// The view's page reports nothing more (its owner goes).
    void (*detach)(QWidget* view);
    /// Deletes the cookies of `url`'s host and its parents' domains.
    void (*deleteCookiesForURL)(const std::string& url);
};

/// The domain of a module that could not be opened (code 1).
inline constexpr std::string_view kWebViewModuleErrorDomain = "WebViewModuleErrorDomain";

/// The name of the module's one exported function, which answers its `Module`.
inline constexpr const char* kModuleEntry = "strombel_web_view_module";
using ModuleEntry = const Module* (*)();

/// The module, opened on first call (next to the program, then where the build
/// put it). An Error of kWebViewModuleErrorDomain, saying what was tried, when it
/// cannot be opened; never null otherwise.
platform::Result<const Module*> module();
/// The module when it is open already, without opening it.
const Module* moduleIfOpen();

}  // namespace strombel::info::web
