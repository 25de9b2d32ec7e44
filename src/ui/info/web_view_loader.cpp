// Opens the web view module on first use (see web_view_module.h).

#include <dlfcn.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QOpenGLContext>
#include <atomic>
#include <filesystem>
#include <mutex>

#include "logging/log.h"
#include "ui/info/web_view_module.h"

// Qt's own setter of the application's shared GL context (exported by QtGui,
// declared only in its private headers).
void qt_gl_set_global_share_context(QOpenGLContext* context);

namespace strombel::info::web {
namespace {

constexpr const char* kFileName = "libstrombel_web_view.so";

std::atomic<const Module*> opened{nullptr};
std::once_flag opening;
std::string openError;

/// The folder of the running program.
std::filesystem::path programFolder() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : self.parent_path();
}

/// The web engine draws its pages with contexts that share with the
/// application's shared GL context, which it takes to exist once it loads (it
/// makes one itself only when it is linked to the program from the start). Qt
/// makes that context when the application object is made with
/// Qt::AA_ShareOpenGLContexts set, and so opens GL at every start for pages that
/// may never show: it is made here instead, just before the engine loads. Where
/// there is no GL (QT_XCB_GL_INTEGRATION=none) the context stays invalid, which
/// tells the engine to draw in software.
void shareGLContextsWithTheEngine() {
    if (QOpenGLContext::globalShareContext()) return;
    auto* context = new QOpenGLContext;
    if (!context->create()) {
        // Without GL (QT_XCB_GL_INTEGRATION=none), the engine's view must not ask
        // the window for GL either: Qt Quick draws it in software.
        STROMBEL_LOG_INFO("No GL for the web engine's view: it is drawn in software");
        if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND")) qputenv("QT_QUICK_BACKEND", "software");
    }
    qt_gl_set_global_share_context(context);
    // Deleted as the application goes, after the engine, whose own end is
    // registered later and so runs first.
    qAddPostRoutine([] {
        QOpenGLContext* shared = QOpenGLContext::globalShareContext();
        qt_gl_set_global_share_context(nullptr);
        delete shared;
    });
}

void open() {
    shareGLContextsWithTheEngine();
    std::vector<std::filesystem::path> candidates;
    if (const std::filesystem::path folder = programFolder(); !folder.empty()) candidates.push_back(folder / kFileName);
#ifdef STROMBEL_WEB_VIEW_MODULE_PATH
    candidates.emplace_back(STROMBEL_WEB_VIEW_MODULE_PATH);
#endif
    std::string errors;
    for (const auto& candidate : candidates) {
        if (!std::filesystem::exists(candidate)) continue;
        void* handle = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            errors += std::string(::dlerror()) + "; ";
            continue;
        }
        auto entry = reinterpret_cast<ModuleEntry>(::dlsym(handle, kModuleEntry));
        if (!entry) {
            errors += candidate.string() + " has no " + kModuleEntry + "; ";
            ::dlclose(handle);
            continue;
        }
        // Never closed: the engine's threads and static objects live until the end.
        opened.store(entry());
        STROMBEL_LOG_INFO("The web engine was loaded from {}", candidate.string());
        return;
    }
    openError = errors.empty() ? std::string(kFileName) + " was not found" : errors;
    STROMBEL_LOG_ERROR("Pages cannot be shown: {}", openError);
}

}  // namespace

platform::Result<const Module*> module() {
    std::call_once(opening, open);
    if (const Module* result = opened.load()) return result;
    return platform::Error::make(kWebViewModuleErrorDomain, 1, openError);
}

const Module* moduleIfOpen() { return opened.load(); }

}  // namespace strombel::info::web
