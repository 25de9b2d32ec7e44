#include "ui/pad/pad_exchange_panel.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>

#include "library/sound_data_manager.h"
#include "logging/log.h"
#include "platform/audio_file.h"
#include "platform/file_move.h"
#include "ui/kit/context.h"
#include "ui/kit/control.h"
#include "ui/kit/label.h"
#include "ui/kit/presenters.h"

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

PadExchangePanel::PadExchangePanel(PadSequencer& sequencer, PadLibrary& library, GuiType guiType,
                                   PadExchangePanelHost& host, editor::ExchangePasteViewControllerDelegate& pasteDelegate)
    : sequencer_(sequencer), library_(library), guiType_(guiType), host_(host), pasteDelegate_(pasteDelegate) {}

PadExchangePanel::~PadExchangePanel() { abandon(); }

void PadExchangePanel::abandon() {
    if (progressView_ && !progressAlive_.expired()) progressView_->removeFromSuperview();
    progressView_ = nullptr;
    progressLabel_ = nullptr;
    progressBar_ = nullptr;
    cancelButton_ = nullptr;
    if (!running_) return;
    const std::filesystem::path rendered = running_->toExchange ? std::filesystem::path() : running_->rendered;
    running_.reset();
    std::error_code ignored;
    if (!rendered.empty()) std::filesystem::remove(rendered, ignored);
}

// ---- Pattern export ---------------------------------------------------------------------

void PadExchangePanel::exportPatternToItunes(int pattern) {
    if (running_) return;
    // The purpose is set only with a field actually shown.
    host_.askExportName(pattern, QString::asprintf("Pattern %.2d", pattern + 1),
                        QString("NAME THE WAVE FILE OF PATTERN %1 (IT GOES TO THE DOCUMENTS FOLDER)").arg(pattern + 1));
}

void PadExchangePanel::exportPatternToAudioExchange(int pattern) {
    if (running_) return;
    startExport(pattern, std::filesystem::path(library_.exportTempFolder()) / "AUDIOEXCHANGE.wav", true);
}

bool PadExchangePanel::exportPatternNamed(int pattern, const QString& name) {
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
            if (alive.expired() || button != "Export" || running_) return;
            if (host_.isAskingExportNameFor(pattern)) host_.dismissNameField();
            const auto taken = exportFileTaken();
            startExport(pattern, taken(free) ? nextFreeFile(free, taken) : free, false);
        });
    return false;
}

std::function<bool(const std::filesystem::path&)> PadExchangePanel::exportFileTaken() const {
    return [this](const std::filesystem::path& file) {
        std::error_code ignored;
        return std::filesystem::exists(file, ignored) || !nameShownByAnotherSample(file).empty();
    };
}

void PadExchangePanel::startExport(int pattern, const std::filesystem::path& file, bool toExchange) {
    sequencer_.stop();
    auto running = std::make_unique<RunningExport>();
    running->pattern = pattern;
    running->file = file;
    running->toExchange = toExchange;
    // A file for the documents folder is rendered aside and moved there only
    // when whole: the folder's scan never meets half a file.
    running->rendered = toExchange ? file
                                   : std::filesystem::path(library_.exportTempFolder()) /
                                         (".export-" + file.filename().string());
    std::error_code ignored;
    if (!toExchange) std::filesystem::remove(running->rendered, ignored);
    running_ = std::move(running);
    showExportProgress(QString("EXPORTING PATTERN %1 TO %2")
                           .arg(pattern + 1)
                           .arg(toExchange ? QString("THE AUDIO EXCHANGE")
                                           : "'" + QString::fromStdString(file.filename().string()).toUpper() + "'"));
    running_->job = sequencer_.startExport(
        uint64_t(pattern), running_->rendered.string(), [this](float share) { exportProgressed(share); },
        [this](const PadExportOutcome& outcome) { exportEnded(outcome); });
    if (!running_->job) exportEnded(PadExportOutcome{PadExportOutcome::Status::failed, "the export could not start", 0});
}

void PadExchangePanel::cancelExport() {
    if (!running_ || running_->cancelled) return;
    running_->cancelled = true;
    running_->job->cancel();
    if (progressLabel_) progressLabel_->setText("CANCELLING…");
    if (cancelButton_) cancelButton_->setEnabled(false);
}

void PadExchangePanel::exportProgressed(float share) {
    if (!progressLabel_ || (running_ && running_->cancelled)) return;
    const double clamped = std::clamp(double(share), 0.0, 1.0);
    progressLabel_->setText(QString("%1 %").arg(int(clamped * 100)));
    if (progressBar_ && progressBar_->superview())
        progressBar_->setWidth(progressBar_->superview()->width() * clamped);
}

void PadExchangePanel::exportEnded(const PadExportOutcome& outcome) {
    // The job's thread has ended: it goes now, with the panel.
    std::unique_ptr<RunningExport> running = std::move(running_);
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
        if (const platform::Result<void> moved = platform::moveFileWithoutReplacing(running->rendered, file); !moved)
            error = moved.error().message();
    }
    if (!error.empty()) {
        if (!running->toExchange) std::filesystem::remove(running->rendered, ignored);
        STROMBEL_LOG_ERROR("Pattern {} could not be exported to {}: {}", number, file.string(), error);
        host_.tell("Export", QString("Pattern %1 could not be exported to %2: %3")
                      .arg(number)
                      .arg(pathText(file), QString::fromStdString(error)));
        return;
    }
    if (running->toExchange) {
        if (!host_.window()) return;
        auto sheet = std::make_unique<editor::AudioExchangeViewController>(file.string(), host_.exchangeSettings());
        sheet->setModalPresentationStyle(2);
        editor::ExchangeSheet::present(std::move(sheet), *host_.window());
        return;
    }
    QString message = QString("Pattern %1 has been exported to %2").arg(number).arg(pathText(file));
    // Written all the same: it is the user's pattern. It cannot come back as a sample.
    if (outcome.seconds > platform::kMaxSoundSeconds)
        message += QString("\nIt lasts %1, longer than the %2 minutes a sample may last: it is too long to be "
                           "played as a sample.")
                       .arg(minutesText(outcome.seconds))
                       .arg(int(platform::kMaxSoundSeconds / 60));
    host_.tell("Export", message);
}

void PadExchangePanel::showExportProgress(const QString& what) {
    hideExportProgress();
    if (!host_.rootView()) return;
    // A shade over the whole screen takes every touch but the panel's CANCEL.
    const QSizeF size = host_.shownSize();
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
    progressBar_ = track->add(std::move(bar));
    panel->add(std::move(track));
    auto percent = GuiFactory::labelWithFrame(QRectF(s, 5.6 * s, width - 2 * s, 1.6 * s), s);
    progressLabel_ = panel->add(std::move(percent));
    auto cancel = std::make_unique<kit::Button>(QRectF(width / 2 - 3.5 * s, height - 3.3 * s, 7 * s, 2.5 * s));
    cancel->setTitle("CANCEL");
    cancel->setTitleFont(GuiFactory::interfaceFont(s));
    cancel->setBackgroundColor(QColor(60, 60, 60));
    cancel->addTarget(kit::touchUpInside, [this](kit::Control&) { cancelExport(); });
    cancelButton_ = panel->add(std::move(cancel));
    shade->add(std::move(panel));
    progressView_ = host_.rootView()->add(std::move(shade));
    progressAlive_ = progressView_->lifetime();
    exportProgressed(0.0f);
}

void PadExchangePanel::hideExportProgress() {
    if (progressView_ && !progressAlive_.expired()) progressView_->removeFromSuperview();
    progressView_ = nullptr;
    progressLabel_ = nullptr;
    progressBar_ = nullptr;
    cancelButton_ = nullptr;
}

// ---- Files of the documents folder ------------------------------------------------------

std::filesystem::path PadExchangePanel::documentsFileNamed(const QString& name, const QString& title) {
    // The name becomes a file of the documents folder, by the rule of every name
    // the user gives a file there.
    if (const std::string problem = library::SoundDataManager::fileNameProblem(name.toStdString()); !problem.empty()) {
        host_.tell(title, QString::fromStdString(problem));
        return {};
    }
    // The name as typed: what the field showed is what the file is called.
    return std::filesystem::path(library_.documentsFolder()) / QString("%1.wav").arg(name).toStdString();
}

std::filesystem::path PadExchangePanel::newDocumentsFile(const QString& name, const QString& title,
                                                        const QString& taken) {
    const std::filesystem::path file = documentsFileNamed(name, title);
    if (file.empty()) return {};
    std::error_code ignored;
    if (std::filesystem::exists(file, ignored)) {
        host_.tell(title, taken.arg(QString::fromStdString(file.filename().string())));
        return {};
    }
    if (const std::string shown = nameShownByAnotherSample(file); !shown.empty()) {
        host_.tell(title, QString::fromStdString(shown));
        return {};
    }
    return file;
}

std::string PadExchangePanel::nameShownByAnotherSample(const std::filesystem::path& file) const {
    // A file of the documents folder becomes a user sample named as the file
    // less its extension; the library shows names in capitals, and two samples
    // shown alike could not be told apart.
    return library_.userSampleNameProblem(file.stem().string());
}

bool PadExchangePanel::pasteNamed(const QString& name) {
    const std::filesystem::path file =
        newDocumentsFile(name, "Paste", "A user sample already exists with name '%1'");
    if (file.empty()) return false;
    const QString fileName = QString::fromStdString(file.filename().string());
    if (const platform::Result<void> moved = platform::moveFileWithoutReplacing(pasteFile_, file); !moved) {
        const std::string error = moved.error().message();
        // The pasted file stays where the paste put it; the user may try another name.
        STROMBEL_LOG_ERROR("could not move pasted audio {} to {}: {}", pasteFile_, file.string(),
                           error);
        host_.tell("Paste", QString("The pasted audio could not be saved as '%1': %2").arg(fileName, QString::fromStdString(error)));
        return false;
    }
    pasteFile_.clear();
    return true;
}

// ---- Paste from the audio exchange -------------------------------------------------------

void PadExchangePanel::engagePaste() {
    if (!host_.window()) return;
    auto sheet = std::make_unique<editor::ExchangePasteViewController>(library_.exportTempFolder(),
                                                                       host_.exchangeSettings());
    sheet->setModalPresentationStyle(2);
    sheet->setDelegate(&pasteDelegate_);
    editor::ExchangeSheet::present(std::move(sheet), *host_.window());
}

void PadExchangePanel::didPaste(const std::string& path) {
    if (!host_.askPasteName("pastedaudio", "NAME THE PASTED AUDIO: IT BECOMES A USER SAMPLE")) {
        STROMBEL_LOG_INFO("pasted audio left at {}: a name is being asked for already", path);
        return;
    }
    pasteFile_ = path;
}

}  // namespace strombel::ui
