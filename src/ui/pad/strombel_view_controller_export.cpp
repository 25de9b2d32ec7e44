// Pattern export: the file's name, the export on its own thread with its progress
// and CANCEL over the screen, and what the user is told at its end.

#include <cmath>
#include <filesystem>
#include <functional>

#include "logging/log.h"
#include "platform/audio_file.h"
#include "platform/file_move.h"
#include "ui/kit/context.h"
#include "ui/kit/control.h"
#include "ui/kit/label.h"
#include "ui/kit/presenters.h"
#include "ui/pad/strombel_view_controller.h"

namespace strombel::ui {

namespace {

/// "NAME 2.wav", "NAME 3.wav", ... beside `file`: the first that is not `taken`.
std::filesystem::path nextFreeFile(const std::filesystem::path& file,
                                   const std::function<bool(const std::filesystem::path&)>& taken) {
    for (int number = 2;; ++number) {
        std::filesystem::path candidate =
            file.parent_path() / (file.stem().string() + " " + std::to_string(number) + file.extension().string());
        if (!taken(candidate)) return candidate;
    }
}

/// "40:00" for a length in seconds.
QString minutesText(double seconds) {
    const auto whole = static_cast<long long>(std::lround(seconds));
    return QString("%1:%2").arg(whole / 60).arg(whole % 60, 2, 10, QChar('0'));
}

QString pathText(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

}  // namespace

void StrombelViewController::exportPatternToItunes(int pattern) {
    if (runningExport_) return;
    // The purpose is set only with a field actually shown.
    if (editNameAppearWithValue(QString::asprintf("Pattern %.2d", pattern + 1),
                                QString("NAME THE WAVE FILE OF PATTERN %1 (IT GOES TO THE DOCUMENTS FOLDER)")
                                    .arg(pattern + 1)))
        editPatternNameIdx_ = uint64_t(pattern);
}

void StrombelViewController::exportPatternToAudioExchange(int pattern) {
    if (runningExport_) return;
    startExport(pattern, std::filesystem::path(services_.library->exportTempFolder()) / "AUDIOEXCHANGE.wav", true);
}

bool StrombelViewController::exportPatternNamed(const QString& name) {
    const int pattern = int(editPatternNameIdx_);
    const std::filesystem::path file = documentsFileNamed(name, "Export");
    if (file.empty()) return false;
    const auto taken = exportFileTaken();
    if (!taken(file)) {
        startExport(pattern, file, false);
        return true;
    }
    // The name is taken, by a file or by a sample shown under it: the next free
    // one is offered, and Cancel keeps the field for another name. The answer
    // acts on the pattern and the file it names.
    const std::filesystem::path free = nextFreeFile(file, taken);
    std::error_code ignored;
    const QString why = std::filesystem::exists(file, ignored)
                            ? QString("A file named '%1' is already in %2.")
                                  .arg(QString::fromStdString(file.filename().string()), pathText(file.parent_path()))
                            : QString("Another sample is shown as '%1'.").arg(name.toUpper());
    const QString message = QString("%1\nExport pattern %2 as '%3' instead?")
                                .arg(why)
                                .arg(pattern + 1)
                                .arg(QString::fromStdString(free.filename().string()));
    auto alive = std::weak_ptr<void>(lifetime_);
    kit::Context::current().alerts().showAlert(
        "Export", message, {"Cancel", "Export"}, [this, alive, pattern, free](const QString& button) {
            if (alive.expired() || button != "Export" || runningExport_) return;
            if (editPatternNameIdx_ == uint64_t(pattern)) dismissEditNameTextField();
            const auto taken = exportFileTaken();
            startExport(pattern, taken(free) ? nextFreeFile(free, taken) : free, false);
        });
    return false;
}

std::function<bool(const std::filesystem::path&)> StrombelViewController::exportFileTaken() const {
    return [this](const std::filesystem::path& file) {
        std::error_code ignored;
        return std::filesystem::exists(file, ignored) || !nameShownByAnotherSample(file).empty();
    };
}

void StrombelViewController::startExport(int pattern, const std::filesystem::path& file, bool toExchange) {
    stopPlayback();
    auto running = std::make_unique<RunningExport>();
    running->pattern = pattern;
    running->file = file;
    running->toExchange = toExchange;
    // A file for the documents folder is rendered aside and moved there only
    // when whole: the folder's scan never meets half a file.
    running->rendered = toExchange ? file
                                   : std::filesystem::path(services_.library->exportTempFolder()) /
                                         (".export-" + file.filename().string());
    std::error_code ignored;
    if (!toExchange) std::filesystem::remove(running->rendered, ignored);
    runningExport_ = std::move(running);
    showExportProgress(QString("EXPORTING PATTERN %1 TO %2")
                           .arg(pattern + 1)
                           .arg(toExchange ? QString("THE AUDIO EXCHANGE")
                                           : "'" + QString::fromStdString(file.filename().string()).toUpper() + "'"));
    runningExport_->job = services_.sequencer->startExport(
        uint64_t(pattern), runningExport_->rendered.string(), [this](float share) { exportProgressed(share); },
        [this](const PadExportOutcome& outcome) { exportEnded(outcome); });
    if (!runningExport_->job) exportEnded(PadExportOutcome{PadExportOutcome::Status::failed, "the export could not start", 0});
}

void StrombelViewController::cancelExport() {
    if (!runningExport_ || runningExport_->cancelled) return;
    runningExport_->cancelled = true;
    runningExport_->job->cancel();
    if (exportProgressLabel_) exportProgressLabel_->setText("CANCELLING…");
    if (exportCancelButton_) exportCancelButton_->setEnabled(false);
}

void StrombelViewController::exportProgressed(float share) {
    if (!exportProgressLabel_ || (runningExport_ && runningExport_->cancelled)) return;
    const double clamped = std::clamp(double(share), 0.0, 1.0);
    exportProgressLabel_->setText(QString("%1 %").arg(int(clamped * 100)));
    if (exportProgressBar_ && exportProgressBar_->superview())
        exportProgressBar_->setWidth(exportProgressBar_->superview()->width() * clamped);
}

void StrombelViewController::exportEnded(const PadExportOutcome& outcome) {
    // The job's thread has ended: it goes now, with the panel.
    std::unique_ptr<RunningExport> running = std::move(runningExport_);
    hideExportProgress();
    if (!running) return;
    const int number = running->pattern + 1;
    std::error_code ignored;
    // A CANCEL pressed before the end was told wins, even over a file already rendered.
    if (outcome.status == PadExportOutcome::Status::cancelled || running->cancelled) {
        if (!running->toExchange) std::filesystem::remove(running->rendered, ignored);
        STROMBEL_LOG_INFO("The export of pattern {} to {} was cancelled", number, running->file.string());
        return;
    }
    std::string error = outcome.status == PadExportOutcome::Status::failed
                            ? (outcome.error.empty() ? std::string("the pattern could not be rendered") : outcome.error)
                            : std::string();
    std::filesystem::path file = running->file;
    if (error.empty() && !running->toExchange) {
        if (const auto taken = exportFileTaken(); taken(file)) file = nextFreeFile(file, taken);  // taken meanwhile
        error = platform::moveFileWithoutReplacing(running->rendered, file);
    }
    if (!error.empty()) {
        if (!running->toExchange) std::filesystem::remove(running->rendered, ignored);
        STROMBEL_LOG_ERROR("Pattern {} could not be exported to {}: {}", number, file.string(), error);
        showAlert("Export",
                  QString("Pattern %1 could not be exported to %2: %3")
                      .arg(number)
                      .arg(pathText(file), QString::fromStdString(error)),
                  {"OK"}, running->pattern, false);
        return;
    }
    if (running->toExchange) {
        if (!window_) return;
        auto sheet = std::make_unique<editor::AudioExchangeViewController>(file.string(), sampleEditorServices().exchange);
        sheet->setModalPresentationStyle(2);
        editor::ExchangeSheet::present(std::move(sheet), *window_);
        return;
    }
    QString message = QString("Pattern %1 has been exported to %2").arg(number).arg(pathText(file));
    // Written all the same: it is the user's pattern. It cannot come back as a sample.
    if (outcome.seconds > platform::kMaxSoundSeconds)
        message += QString("\nIt lasts %1, longer than the %2 minutes a sample may last: it is too long to be "
                           "played as a sample.")
                       .arg(minutesText(outcome.seconds))
                       .arg(int(platform::kMaxSoundSeconds / 60));
    showAlert("Export", message, {"OK"}, running->pattern, false);
}

void StrombelViewController::showExportProgress(const QString& what) {
    hideExportProgress();
    if (!rootViewPointer_) return;
    // A shade over the whole screen takes every touch but the panel's CANCEL.
    const QSizeF size = shownSize();
    const double s = GuiFactory::textSize(guiType_);
    auto shade = std::make_unique<kit::View>(QRectF(0, 0, size.width(), size.height()));
    shade->setBackgroundColor(QColor(0, 0, 0, 150));
    const double width = std::min(size.width() - 2 * s, 32 * s), height = 11 * s;
    auto panel = std::make_unique<kit::View>(
        QRectF((size.width() - width) / 2, size.height() * 0.25, width, height));
    panel->setBackgroundColor(QColor(30, 30, 30));
    auto title = GuiFactory::labelWithFrame(QRectF(s, s, width - 2 * s, 2.6 * s), s);
    title->setLineBreakMode(kit::Label::LineBreak::wordWrap);
    title->setNumberOfLines(2);
    title->setText(what);
    panel->add(std::move(title));
    auto track = std::make_unique<kit::View>(QRectF(s, 4.2 * s, width - 2 * s, s));
    track->setBackgroundColor(QColor(60, 60, 60));
    auto bar = std::make_unique<kit::View>(QRectF(0, 0, 0, s));
    bar->setBackgroundColor(GuiFactory::rustyColor());
    exportProgressBar_ = track->add(std::move(bar));
    panel->add(std::move(track));
    auto percent = GuiFactory::labelWithFrame(QRectF(s, 5.6 * s, width - 2 * s, 1.6 * s), s);
    exportProgressLabel_ = panel->add(std::move(percent));
    auto cancel = std::make_unique<kit::Button>(QRectF(width / 2 - 3.5 * s, height - 3.3 * s, 7 * s, 2.5 * s));
    cancel->setTitle("CANCEL");
    cancel->setTitleFont(GuiFactory::interfaceFont(s));
    cancel->setBackgroundColor(QColor(60, 60, 60));
    cancel->addTarget(kit::touchUpInside, [this](kit::Control&) { cancelExport(); });
    exportCancelButton_ = panel->add(std::move(cancel));
    shade->add(std::move(panel));
    exportProgressView_ = rootViewPointer_->add(std::move(shade));
    exportProgressed(0.0f);
}

void StrombelViewController::hideExportProgress() {
    if (exportProgressView_ && !rootAlive_.expired()) exportProgressView_->removeFromSuperview();
    exportProgressView_ = nullptr;
    exportProgressLabel_ = nullptr;
    exportProgressBar_ = nullptr;
    exportCancelButton_ = nullptr;
}

}  // namespace strombel::ui
