#include "ui/editor/edit_sample_view_controller.h"

#include <QPainter>

#include <algorithm>
#include <filesystem>

#include "logging/log.h"
#include "ui/gui_factory.h"
#include "ui/kit/context.h"
#include "ui/kit/control.h"
#include "ui/kit/label.h"
#include "ui/kit/presenters.h"
#include "ui/kit/problem_reporter.h"
#include "ui/kit/timer.h"
#include "ui/kit/touch.h"
#include "ui/light_view.h"

namespace strombel::editor {

/// The waveform with the selection over it; a touch drags a new selection.
class WaveformView final : public ui::kit::View {
public:
    explicit WaveformView(const QRectF& frame) : View(frame) { setBackgroundColor(QColor(10, 10, 10)); }

    void setPeaks(const WaveformPeaks* peaks) {
        peaks_ = peaks;
        setNeedsDisplay();
    }
    void setSelection(std::optional<std::pair<double, double>> selection) {
        selection_ = selection;
        setNeedsDisplay();
    }
    std::optional<std::pair<double, double>> selection() const { return selection_; }

    bool handlesTouches() const override { return true; }
    void touchBegan(const ui::kit::Touch& touch) override {
        anchor_ = fraction(touch);
        selection_.reset();
        setNeedsDisplay();
    }
    void touchMoved(const ui::kit::Touch& touch) override { extendTo(fraction(touch)); }
    void touchEnded(const ui::kit::Touch& touch) override { extendTo(fraction(touch)); }

protected:
    void draw(QPainter& painter) override {
        if (selection_) {
            painter.fillRect(QRectF(selection_->first * width(), 0, (selection_->second - selection_->first) * width(),
                                    height()),
                             QColor(90, 60, 30));
        }
        if (!peaks_ || peaks_->maximum.empty()) return;
        painter.setPen(QColor(230, 140, 40));
        const double middle = height() / 2, scale = height() / 2;
        const size_t points = peaks_->maximum.size();
        for (size_t p = 0; p < points; ++p) {
            const double x = (double(p) + 0.5) * width() / double(points);
            painter.drawLine(QPointF(x, middle - peaks_->maximum[p] * scale), QPointF(x, middle - peaks_->minimum[p] * scale));
        }
    }

private:
    double fraction(const ui::kit::Touch& touch) const {
        return std::clamp(touch.locationIn(*this).x() / width(), 0.0, 1.0);
    }
    void extendTo(double at) {
        if (std::abs(at - anchor_) * width() < 2) selection_.reset();
        else selection_ = std::minmax(anchor_, at);
        setNeedsDisplay();
    }

    const WaveformPeaks* peaks_ = nullptr;
    double anchor_ = 0;
    std::optional<std::pair<double, double>> selection_;
};

namespace {

ui::kit::Button* addButton(ui::kit::View& parent, const QRectF& frame, const QString& title, int32_t size,
                           std::function<void()> pressed) {
    auto button = std::make_unique<ui::kit::Button>(frame);
    button->setTitle(title);
    button->setTitleFont(ui::GuiFactory::interfaceFont(size));
    button->setBackgroundColor(QColor(50, 50, 50));
    button->addTarget(ui::kit::touchUpInside, [pressed = std::move(pressed)](ui::kit::Control&) { pressed(); });
    return parent.add(std::move(button));
}

QString upperStem(const std::string& path) {
    return QString::fromStdString(std::filesystem::path(path).stem().string()).toUpper();
}

}  // namespace

EditSampleViewController::EditSampleViewController(ui::GuiType guiType, platform::UserDefaults& defaults,
                                                   SampleEditorServices services)
    : guiType_(guiType), defaults_(defaults), services_(services) {
    ui::GuiFactory factory(guiType_);
    const double width = factory.controlsWidth(), height = factory.controlsSquareHeight();
    view_ = std::make_unique<ui::kit::View>(QRectF(0, 0, width, height));
    viewPointer_ = view_.get();
    view_->setBackgroundColor(QColor(20, 20, 20));
    const int32_t size = ui::GuiFactory::textSize(guiType_);
    const double margin = size, row = size * 2.5;

    auto name = ui::GuiFactory::labelWithFrame(QRectF(0, margin * 0.5, width, size * 2), size);
    name->setText("NO SAMPLE");
    nameLabel_ = view_->add(std::move(name));
    auto status = ui::GuiFactory::labelWithFrame(QRectF(0, margin * 0.5 + size * 2, width, size * 1.6), size * 3 / 4);
    statusLabel_ = view_->add(std::move(status));

    const double waveTop = margin * 0.5 + size * 3.8, waveBottom = height - 2 * row - margin;
    waveform_ = view_->add(std::make_unique<WaveformView>(
        QRectF(margin, waveTop, width - 2 * margin, std::max(20.0, waveBottom - waveTop))));

    // Two rows of buttons: recording on the first, editing and CLOSE on the second.
    const double buttonWidth = (width - 2 * margin - 3 * margin / 2) / 4;
    auto column = [&](int i) { return margin + i * (buttonWidth + margin / 2); };
    const double firstRow = height - 2 * row - margin / 2, secondRow = height - row - margin / 4;
    addButton(*view_, QRectF(column(0), firstRow, buttonWidth, row * 0.8), "REC", size, [this] { recordBtnPressed(); });
    auto lamp = std::make_unique<ui::LightView>(guiType_);
    lamp->setX(column(1), firstRow);
    recordLamp_ = view_->add(std::move(lamp));
    auto time = ui::GuiFactory::labelWithFrame(QRectF(column(2), firstRow, buttonWidth * 2, row * 0.8), size);
    timeLabel_ = view_->add(std::move(time));
    playButton_ = addButton(*view_, QRectF(column(0), secondRow, buttonWidth, row * 0.8), "PLAY", size,
                            [this] { playBtnPressed(); });
    trimButton_ = addButton(*view_, QRectF(column(1), secondRow, buttonWidth, row * 0.8), "TRIM", size,
                            [this] { trimBtnPressed(); });
    nameButton_ = addButton(*view_, QRectF(column(2), secondRow, buttonWidth, row * 0.8), "NAME", size,
                            [this] { nameBtnPressed(); });
    addButton(*view_, QRectF(column(3), secondRow, buttonWidth, row * 0.8), "CLOSE", size, [this] { closeBtnPressed(); });
    updateButtons();
    if (services_.library) services_.library->addDelegate(this);
}

EditSampleViewController::~EditSampleViewController() {
    if (recording_ && services_.engine) services_.engine->setRecordFailureHandler({});
    reader_.stop();
    if (services_.library) services_.library->removeDelegate(this);
}

// ---- Opening ------------------------------------------------------------------------

void EditSampleViewController::openSample(const std::string& relativePath) {
    if (recording_) return;
    // The name being typed is for the sample shown: it goes with it.
    if (relativePath != openedSample_) closeNameField(false);
    if (!services_.library) {
        // Without a library only the name can be shown.
        openedSample_ = relativePath;
        nameLabel_->setText(upperStem(relativePath));
        defaults_.setString(kOpenedSampleKey, relativePath);
        return;
    }
    const auto sample = relativePath.empty() ? nullptr : services_.library->sampleWithFilepath(relativePath);
    if (!sample) {
        // A stale setting or a sample that has gone: nothing to open.
        showNothing();
        return;
    }
    openedSample_ = relativePath;
    clearSelection();
    // The sample's own name, in capitals as every name is shown.
    nameLabel_->setText(QString::fromStdString(sample->name()).toUpper());
    setStatus("");
    defaults_.setString(kOpenedSampleKey, relativePath);
    updateButtons();
    readWaveform(services_.library->absolutePathOfSample(relativePath));
}

void EditSampleViewController::showNothing() {
    closeNameField(false);
    ++readGeneration_;
    openedSample_.clear();
    peaks_ = WaveformPeaks{};
    loading_ = false;
    waveform_->setPeaks(nullptr);
    clearSelection();
    nameLabel_->setText("NO SAMPLE");
    setStatus("");
    defaults_.removeObject(kOpenedSampleKey);
    updateButtons();
}

void EditSampleViewController::readWaveform(const std::filesystem::path& file) {
    reader_.stop();
    const uint64_t generation = ++readGeneration_;
    loading_ = true;
    waveform_->setPeaks(nullptr);
    const size_t points = size_t(std::max(1.0, waveform_->width() * 2));
    platform::MainLoop& loop = ui::kit::Context::current().loop();
    std::weak_ptr<int> alive = alive_;
    auto read = [this, file, points, generation, alive, &loop] {
        auto result = std::make_shared<platform::Result<WaveformPeaks>>(readWaveformPeaks(
            file, points, [this, generation] { return readGeneration_.load() != generation; }));
        loop.post([this, alive, generation, result] {
            if (alive.expired() || generation != readGeneration_) return;
            loading_ = false;
            platform::Result<WaveformPeaks>& peaks = *result;
            if (!peaks) {
                STROMBEL_LOG_ERROR("cannot read the sample {}: {}", openedSample_, peaks.error().message());
                peaks_ = WaveformPeaks{};
                setStatus("cannot read this sample");
            } else {
                peaks_ = std::move(peaks.value());
                waveform_->setPeaks(&peaks_);
            }
            updateButtons();
        });
    };
    // A newer generation tells the read under way to give up.
    reader_ = platform::Worker("waveform reader", std::move(read), [this] { ++readGeneration_; });
}

void EditSampleViewController::waitForWaveform() { reader_.join(); }

void EditSampleViewController::sampleRemoved(const std::string& filepath) {
    if (!openedSample_.empty() && filepath == openedSample_) showNothing();
}

bool EditSampleViewController::openedIsUserSample() const {
    if (!services_.library || openedSample_.empty()) return false;
    auto sample = services_.library->sampleWithFilepath(openedSample_);
    auto userPack = services_.library->userSamplesSoundpack();
    return sample && userPack && sample->soundpackPointer() == userPack.get();
}

void EditSampleViewController::updateButtons() {
    const bool usable = !openedSample_.empty() && !loading_ && peaks_.frames > 0 && !recording_;
    playButton_->setEnabled(usable && services_.engine);
    trimButton_->setEnabled(usable && openedIsUserSample());
    nameButton_->setEnabled(!openedSample_.empty() && !recording_ && openedIsUserSample());
}

// ---- Recording ----------------------------------------------------------------------

void EditSampleViewController::recordBtnPressed() {
    if (recording_) {
        stopRecordingAndKeepTake();
        return;
    }
    if (!services_.engine || !services_.library) return;
    const RecordingStart started = services_.engine->startSampleRecord();
    if (!started.take) {
        if (started.problem != RecordingStart::Problem::alreadyRecording)
            alert("Recording", whyNoRecording(started));
        return;
    }
    recording_ = true;
    takePath_ = *started.take;
    // The take becomes the sample shown: a name being typed was meant for the one before.
    closeNameField(false);
    // A take that stops being written ends at once, saying why nothing is kept.
    services_.engine->setRecordFailureHandler([this](const std::string&) {
        if (recording_) stopRecordingAndKeepTake();
    });
    platform::MainLoop& loop = ui::kit::Context::current().loop();
    recordStartedNanos_ = loop.nowNanos();
    recordLamp_->keepFlashing();
    timeLabel_->setText("0:00.0");
    recordTimer_ = ui::kit::Timer::scheduled(0.1, true, [this, &loop] {
        const double seconds = double(loop.nowNanos() - recordStartedNanos_) / 1e9;
        const int minutes = int(seconds / 60);
        timeLabel_->setText(QString("%1:%2").arg(minutes).arg(seconds - minutes * 60.0, 4, 'f', 1, QChar('0')));
    });
    updateButtons();
}

void EditSampleViewController::stopRecordingAndKeepTake() {
    services_.engine->setRecordFailureHandler({});
    const RecordingEnd ended = services_.engine->stopSampleRecord();
    recording_ = false;
    if (recordTimer_) recordTimer_->invalidate();
    recordTimer_.reset();
    recordLamp_->turnOff();
    updateButtons();
    if (!ended.written) {
        // Whatever lies under the take's name is not this take.
        setStatus("Nothing was kept: the recording could not be written.");
        alert("Recording", QString("The recording could not be written (%1), so nothing was kept.")
                               .arg(QString::fromStdString(ended.error)));
        return;
    }
    library::SoundDataManager& library = *services_.library;
    platform::Result<std::filesystem::path> kept = keepRecordedTake(takePath_, library.applicationDocumentsDirectory());
    if (!kept) {
        const std::string why = kept.error().message();
        if (kept.error().code == AudioFileNoSound) {
            setStatus("Nothing was recorded: the take holds no sound.");
        } else {
            STROMBEL_LOG_ERROR("the recording {} could not be kept: {}", takePath_, why);
            alert("Recording", QString("The recording could not be kept (%1). It is still in %2.")
                                   .arg(QString::fromStdString(why), QString::fromStdString(takePath_)));
        }
        return;
    }
    // Kept: the take leaves the caches (one found there at start was never kept).
    std::error_code ignored;
    std::filesystem::remove(takePath_, ignored);
    const std::string relative = std::filesystem::relative(*kept, library.applicationDirectory()).string();
    library.notifyOfNewUserSample(relative);
    openSample(relative);
    QStringList lost;
    if (ended.silencedSeconds > 0)
        lost << QString("The sound input was lost for %1 s during the take: silence stands in for it.")
                    .arg(ended.silencedSeconds, 0, 'f', 1);
    if (ended.inputLostAtEnd) lost << "The sound input was lost before the recording ended: the take ends there.";
    if (!lost.isEmpty()) setStatus(lost.join(" "));
}

QString EditSampleViewController::whyNoRecording(const RecordingStart& started) {
    const QString reason = QString::fromStdString(started.reason);
    switch (started.problem) {
        case RecordingStart::Problem::noSoundDevice:
            return "There is no microphone to record from: no sound device is open, so Strombel plays to no "
                   "output. Recording works again once a sound device is there.";
        case RecordingStart::Problem::file:
            return QString("The recording cannot be written: %1. Nothing was recorded.").arg(reason);
        case RecordingStart::Problem::microphone:
        default:
            return QString("The microphone could not be opened%1. Is one connected, and is no other program using it?")
                .arg(reason.isEmpty() ? QString() : " (" + reason + ")");
    }
}

void EditSampleViewController::prepareForDismissal() {
    if (recording_) stopRecordingAndKeepTake();
}

void EditSampleViewController::closeBtnPressed() {
    if (!recording_ && delegate_) delegate_->editSampleViewControllerWantsToClose(*this);
}

// ---- Editing ------------------------------------------------------------------------

void EditSampleViewController::setSelection(double from, double to) {
    from = std::clamp(from, 0.0, 1.0), to = std::clamp(to, 0.0, 1.0);
    if (to <= from) clearSelection();
    else waveform_->setSelection(std::pair(from, to));
}

void EditSampleViewController::clearSelection() { waveform_->setSelection(std::nullopt); }

std::pair<double, double> EditSampleViewController::selection() const {
    return waveform_->selection().value_or(std::pair(0.0, 1.0));
}

void EditSampleViewController::playBtnPressed() {
    if (openedSample_.empty() || !services_.engine || recording_) return;
    const auto [from, to] = selection();
    services_.engine->stopTrack(openedSample_);
    services_.engine->startTrack(openedSample_, from, to);
}

void EditSampleViewController::trimBtnPressed() {
    if (!openedIsUserSample() || recording_ || loading_ || peaks_.frames == 0) return;
    const auto [from, to] = selection();
    if (from <= 0.0 && to >= 1.0) {
        setStatus("Select the part to keep first.");
        return;
    }
    const uint64_t first = uint64_t(from * double(peaks_.frames)), last = uint64_t(to * double(peaks_.frames));
    if (services_.engine) services_.engine->stopTrack(openedSample_);
    platform::Result<std::filesystem::path> trimmed =
        trimAudioFile(services_.library->absolutePathOfSample(openedSample_), first, last);
    if (!trimmed) {
        const std::string why = trimmed.error().message();
        STROMBEL_LOG_ERROR("cannot trim {}: {}", openedSample_, why);
        alert("Trim", QString("The sample was not trimmed: %1.").arg(QString::fromStdString(why)));
        return;
    }
    // The engine reloads its tracks when the library says the samples changed.
    services_.library->saveSamples();
    openSample(openedSample_);
}

void EditSampleViewController::nameBtnPressed() {
    if (!openedIsUserSample() || recording_ || nameField_) return;
    const auto sample = services_.library->sampleWithFilepath(openedSample_);
    if (!sample) return;
    auto field = ui::GuiFactory::textfieldWithValue(QString::fromStdString(sample->name()), "NAME", guiType_);
    // The name becomes the file's name: it is edited as it is kept and as the
    // user types it, not in the capitals it is shown in.
    field->setAllCapitals(false);
    field->setFrame(nameLabel_->frame());
    field->onReturn = [this](ui::kit::TextField&) { closeNameField(true); };
    nameField_ = viewPointer_->add(std::move(field));
    // What is asked stands in the status line; OK and CANCEL lie under it, at the right.
    setStatus("NEW NAME FOR THE SAMPLE (IT NAMES ITS FILE TOO)");
    const int32_t size = ui::GuiFactory::textSize(guiType_);
    const QRectF status = statusLabel_->frame();
    const double width = 7 * size, top = status.bottom() + size * 0.2;
    nameCancelButton_ = addButton(*viewPointer_, QRectF(status.right() - 2 * width - size, top, width, 2.5 * size),
                                  "CANCEL", size, [this] { closeNameField(false); });
    nameOkButton_ = addButton(*viewPointer_, QRectF(status.right() - width - size / 2.0, top, width, 2.5 * size), "OK",
                              size, [this] { closeNameField(true); });
    nameField_->becomeFirstResponder();
}

void EditSampleViewController::closeNameField(bool rename) {
    if (!nameField_) return;
    ui::SSTextField& field = *nameField_;
    const std::string name = field.text().toStdString();
    nameField_ = nullptr;
    setStatus({});
    // Return arrives inside the field's own key handling, which still uses the
    // field afterwards (and OK and CANCEL inside their own touch): they are hidden
    // now and leave on the next turn of the loop.
    field.resignFirstResponder();
    for (ui::kit::View* view : {static_cast<ui::kit::View*>(&field), static_cast<ui::kit::View*>(nameOkButton_),
                                static_cast<ui::kit::View*>(nameCancelButton_)}) {
        if (!view) continue;
        view->setHidden(true);
        std::weak_ptr<void> alive = view->lifetime();
        ui::kit::Context::current().loop().post([view, alive] {
            if (!alive.expired()) view->removeFromSuperview();
        });
    }
    nameOkButton_ = nameCancelButton_ = nullptr;
    if (rename) renameSample(name);
}

bool EditSampleViewController::renameSample(const std::string& newName) {
    if (!openedIsUserSample() || recording_) return false;
    // A name the library refuses is said at once, as the paste screen says it.
    if (const std::string problem = services_.library->userSampleNameProblem(openedSample_, newName);
        !problem.empty()) {
        setStatus(QString::fromStdString(problem));
        alert("Rename", QString::fromStdString(problem));
        return false;
    }
    if (services_.engine) services_.engine->stopTrack(openedSample_);
    std::optional<std::string> renamed = services_.library->renameUserSampleWithPath(openedSample_, newName);
    if (!renamed) {
        const QString problem = QString::fromStdString(services_.library->renameProblem());
        setStatus(problem);
        alert("Rename", problem);
        return false;
    }
    openSample(*renamed);
    return true;
}

// ---- What the panel shows --------------------------------------------------------------

void EditSampleViewController::setStatus(const QString& text) { statusLabel_->setText(text); }
QString EditSampleViewController::nameText() const { return nameLabel_->text(); }
QString EditSampleViewController::statusText() const { return statusLabel_->text(); }
QString EditSampleViewController::timeText() const { return timeLabel_->text(); }

void EditSampleViewController::alert(const QString& title, const QString& message) {
    // The editor logs what it met where it met it.
    ui::kit::Context::current().problems().alert(title.toStdString(), message.toStdString(),
                                                 ui::kit::ProblemReporter::Log::notHere);
}

}  // namespace strombel::editor
