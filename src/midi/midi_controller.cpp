#include "midi/midi_controller.h"

#include <algorithm>
#include <utility>

#include "logging/log.h"
#include "platform/application_state.h"
#include "platform/devices/jack_opener.h"
#include "platform/devices/rtmidi_backend.h"
#include "platform/sandbox.h"

namespace strombel::midi {
namespace {

constexpr int64_t kPadCount = 12;
constexpr int32_t kOmniSendChannel = 10;  // the channel notes go out on under omni

std::mutex sharedMutex;
std::unique_ptr<platform::MidiBackend>& sharedBackend() {
    static std::unique_ptr<platform::MidiBackend> backend;
    return backend;
}
std::unique_ptr<MidiController>& sharedController() {
    static std::unique_ptr<MidiController> controller;
    return controller;
}

bool contains(const MidiSystem::Destinations& list, const MidiDestination* destination) {
    return std::any_of(list.begin(), list.end(), [destination](const auto& d) { return d.get() == destination; });
}

}  // namespace

MidiController& MidiController::shared() {
    std::lock_guard lock(sharedMutex);
    auto& controller = sharedController();
    if (!controller) {
        auto& backend = sharedBackend();
        if (!backend) backend = platform::RtMidiBackend::open(platform::SystemClock::shared(), platform::JackOpener::shared());
        platform::Sandbox& sandbox = platform::Sandbox::shared();
        controller = std::make_unique<MidiController>(Setup{
            *backend, platform::MainLoop::shared(), platform::NotificationCenter::shared(),
            platform::UserDefaults::shared(), sandbox.documents(),
            std::filesystem::path(platform::Sandbox::kBundleFolderName).stem().string(), nullptr});
    }
    return *controller;
}

void MidiController::resetShared() {
    std::unique_ptr<MidiController> leaving;
    {
        std::lock_guard lock(sharedMutex);
        leaving = std::move(sharedController());
    }
}

MidiController::MidiController(Setup setup)
    : mainLoop_(setup.mainLoop),
      defaults_(setup.defaults),
      notificationCenter_(setup.notificationCenter),
      documentsFolder_(std::move(setup.documentsFolder)) {
    engine_.store(setup.engine);

    midi_ = std::make_unique<MidiSystem>(setup.backend, setup.mainLoop, setup.notificationCenter, setup.defaults,
                                         setup.bundleName);
    midi_->setDelegate(this);
    midi_->setNetworkEnabled(true);
    midi_->setVirtualSourceEnabled(true);
    midi_->setVirtualDestinationEnabled(true);
    if (!setup.backend.available())
        tellAbsenceIfItLasts("No MIDI system found (no ALSA sequencer, no JACK server): no MIDI ports until one runs");
    STROMBEL_LOG_INFO("MIDI started");

    initMidiMaps();
    initPortConnections();
    actionThread_ = platform::Worker("MIDI action", [this] { threadMain(); }, [this] {
        keepActionThreadAlive_.store(false);
        wakeup_.signal();
    });
    attachToAllWhitelistedSourcesAndDestinations();
    // Quitting with LEARN still on keeps what was learned.
    terminateObserver_ = notificationCenter_.addObserver(platform::kApplicationWillTerminateNotification, nullptr,
                                                         [this](const platform::Notification&) { persistLearnedNotes(); });
}

MidiController::~MidiController() {
    if (absenceCheck_) mainLoop_.cancel(absenceCheck_);
    notificationCenter_.removeObserver(terminateObserver_);
    midi_->setDelegate(nullptr);
    // Once removed, no read reaches the hub: removeDelegate waits out reads under way.
    for (const auto& source : midi_->sources()) source->removeDelegate(this);
    if (auto own = midi_->virtualDestinationSource()) own->removeDelegate(this);
    actionThread_.stop();
    // Whoever wanted to hear of write problems may be gone by now.
    setNoteMapProblemHandler({});
    persistLearnedNotes();
    midi_.reset();
}

void MidiController::setChannel(int32_t channel) { channel_.store(channel >= 0 && channel <= 15 ? channel : -1); }

// --- Note map ---

std::filesystem::path MidiController::noteToButtonMapFilePath() const {
    return documentsFolder_ / kNoteToButtonMapFileName;
}

void MidiController::initMidiMaps() {
    const std::filesystem::path path = noteToButtonMapFilePath();
    NoteMapRead read = readNoteToButtonMapFile(path);
    noteMapRead_ = read.outcome;
    noteMapReadError_ = read.error;
    if (read.outcome == NoteMapRead::Outcome::loaded) {
        std::lock_guard lock(mapMutex_);
        noteToButtonMap_ = std::move(read.map);
        return;
    }
    if (read.outcome == NoteMapRead::Outcome::inaccessible) {
        // The disk refused, not the file: keep it, and run on the default map.
        STROMBEL_LOG_ERROR("The note map {} could not be read ({}); it is kept as it is and not written this run",
                           path.string(), read.error);
        std::lock_guard lock(mapMutex_);
        mayPersistMap_ = false;
    }
    if (read.outcome == NoteMapRead::Outcome::unreadable) {
        // Keep the user's file: set it aside before the defaults take its place.
        setAsideNoteMap_ = setAsideNoteToButtonMapFile(path);
        if (setAsideNoteMap_) {
            STROMBEL_LOG_ERROR("The note map {} could not be read ({}); it was set aside as {}", path.string(),
                               read.error, setAsideNoteMap_->string());
        } else {
            STROMBEL_LOG_ERROR("The note map {} could not be read ({}) nor set aside; it is left as it is",
                               path.string(), read.error);
            std::lock_guard lock(mapMutex_);
            mayPersistMap_ = false;
        }
    }
    {
        std::lock_guard lock(mapMutex_);
        noteToButtonMap_ = defaultNoteToButtonMap();
    }
    persistMidiMaps();
}

bool MidiController::persistMidiMaps() {
    NoteToButtonMap map;
    bool mayPersist;
    {
        std::lock_guard lock(mapMutex_);
        map = noteToButtonMap_;
        mayPersist = mayPersistMap_;
    }
    std::string error;
    bool written = false;
    if (mayPersist) {
        const platform::Result<void> write = writeNoteToButtonMapFile(noteToButtonMapFilePath(), map);
        written = write.ok();
        if (!written) error = write.error().message();
    }
    std::string problem;
    if (written) {
        STROMBEL_LOG_DEBUG("noteToButtonMap persisted");
    } else if (mayPersist) {
        problem = error.empty() ? std::string("it could not be written") : error;
        STROMBEL_LOG_ERROR("The MIDI note map could not be saved to {}: {}", noteToButtonMapFilePath().string(),
                           problem);
    }
    // A map kept aside on purpose (unreadable at start) is no write problem.
    std::function<void(const std::string&)> handler;
    {
        std::lock_guard lock(mapMutex_);
        if (written) mapChanged_ = false;
        if (problem != mapWriteProblem_) {
            mapWriteProblem_ = problem;
            handler = mapProblemHandler_;
        }
    }
    if (handler) handler(problem);
    return written;
}

std::string MidiController::noteMapWriteProblem() const {
    std::lock_guard lock(mapMutex_);
    return mapWriteProblem_;
}

void MidiController::setNoteMapProblemHandler(std::function<void(const std::string&)> handler) {
    std::lock_guard lock(mapMutex_);
    mapProblemHandler_ = std::move(handler);
}

int32_t MidiController::buttonToNote(int64_t padIndex) {
    return padIndex >= 0 && padIndex < kPadCount ? static_cast<int32_t>(60 + padIndex) : -1;
}

NoteToButtonMap MidiController::noteToButtonMap() const {
    std::lock_guard lock(mapMutex_);
    return noteToButtonMap_;
}

std::map<int64_t, int32_t> MidiController::buttonIdxToNoteMap() const {
    std::map<int64_t, int32_t> inverse;
    std::lock_guard lock(mapMutex_);
    for (const auto& [note, pad] : noteToButtonMap_) inverse[pad] = note;
    return inverse;
}

void MidiController::startMidiLearnForBtn(uint64_t padIndex) { midiLearnBtnIdx_.store(padIndex); }

void MidiController::stopMidiLearning() {
    midiLearnBtnIdx_.store(kNotFound);
    persistLearnedNotes();
}

void MidiController::persistLearnedNotes() {
    // Written when learning changed it (or an earlier write of a change failed),
    // not whenever a panel switch turns LEARN off.
    bool changed;
    {
        std::lock_guard lock(mapMutex_);
        changed = mapChanged_;
    }
    if (changed) persistMidiMaps();
}

// --- Whitelists ---

std::shared_ptr<const MidiController::PortChoice> MidiController::portChoice() const {
    std::lock_guard lock(portsMutex_);
    return ports_;
}

void MidiController::setPortChoice(std::shared_ptr<const PortChoice> choice) {
    std::lock_guard lock(portsMutex_);
    ports_ = std::move(choice);
}

std::vector<std::string> MidiController::arrayOf(const std::set<std::string>& names) {
    return std::vector<std::string>(names.begin(), names.end());
}

void MidiController::initPortConnections() {
    auto choice = std::make_shared<PortChoice>();
    if (defaults_.hasObject(kClockInWhitelistKey)) {
        std::string name = defaults_.stringForKey(kClockInWhitelistKey);
        if (!name.empty()) choice->clockInSourceName = std::move(name);
    }
    for (const std::string& name : defaults_.stringArrayForKey(kNotesInWhitelistKey)) {
        choice->notesInSourceNames.insert(name);
    }
    for (const std::string& name : defaults_.stringArrayForKey(kClockOutWhitelistKey)) {
        choice->clockOutDestinationNames.insert(name);
    }
    for (const std::string& name : defaults_.stringArrayForKey(kNotesOutWhitelistKey)) {
        choice->notesOutDestinationNames.insert(name);
    }
    setPortChoice(std::move(choice));
}

void MidiController::attachToAllWhitelistedSourcesAndDestinations() {
    for (const auto& source : midi_->sources()) sourceAdded(*midi_, source);
    for (const auto& destination : midi_->destinations()) destinationAdded(*midi_, destination);
}

void MidiController::receiveNotesFrom(const std::string& name, bool enabled) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    auto choice = std::make_shared<PortChoice>(*portChoice());
    std::shared_ptr<MidiSource> source = midi_->findSourceCalled(name);
    if (enabled) {
        choice->notesInSourceNames.insert(name);
        setPortChoice(choice);
        if (source) source->addDelegate(this);
    } else {
        choice->notesInSourceNames.erase(name);
        setPortChoice(choice);
        if (source && choice->clockInSourceName != name) source->removeDelegate(this);
    }
    defaults_.setStringArray(kNotesInWhitelistKey, arrayOf(choice->notesInSourceNames));
}

void MidiController::receiveClockFrom(const std::string& name, bool enabled) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    auto choice = std::make_shared<PortChoice>(*portChoice());
    std::shared_ptr<MidiSource> source = midi_->findSourceCalled(name);
    if (enabled) {
        choice->clockInSourceName = name;
        setPortChoice(choice);
        if (source) source->addDelegate(this);
        defaults_.setString(kClockInWhitelistKey, name);
    } else {
        if (choice->clockInSourceName != name) return;
        choice->clockInSourceName.reset();
        setPortChoice(choice);
        if (source && !choice->notesInSourceNames.count(name)) source->removeDelegate(this);
        defaults_.removeObject(kClockInWhitelistKey);
    }
}

const MidiController::Output MidiController::kNotesOut{&PortChoice::notesOutDestinationNames,
                                                     &PortChoice::notesOutDestinations, kNotesOutWhitelistKey};
const MidiController::Output MidiController::kClockOut{&PortChoice::clockOutDestinationNames,
                                                     &PortChoice::clockOutDestinations, kClockOutWhitelistKey};

void MidiController::sendNotesTo(const std::string& name, bool enabled) { sendTo(kNotesOut, name, enabled); }

void MidiController::sendClockTo(const std::string& name, bool enabled) { sendTo(kClockOut, name, enabled); }

void MidiController::sendTo(const Output& output, const std::string& name, bool enabled) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    auto choice = std::make_shared<PortChoice>(*portChoice());
    std::set<std::string>& names = (*choice).*output.names;
    MidiSystem::Destinations& list = (*choice).*output.destinations;
    if (enabled) {
        names.insert(name);
        if (auto destination = midi_->findDestinationCalled(name)) {
            if (!contains(list, destination.get())) list.push_back(destination);
        }
    } else {
        names.erase(name);
        auto found = std::find_if(list.begin(), list.end(), [&name](const auto& d) { return d->name() == name; });
        if (found != list.end()) list.erase(found);
    }
    setPortChoice(choice);
    defaults_.setStringArray(output.whitelistKey, arrayOf(names));
}

std::vector<MidiPort> MidiController::sources() const {
    auto choice = portChoice();
    std::vector<MidiPort> rows;
    for (const auto& source : midi_->sources()) {
        rows.push_back({choice->notesInSourceNames.count(source->name()) > 0,
                        choice->clockInSourceName == source->name(), source->name()});
    }
    return rows;
}

std::vector<MidiPort> MidiController::destinations() const {
    auto choice = portChoice();
    std::vector<MidiPort> rows;
    for (const auto& destination : midi_->destinations()) {
        rows.push_back({contains(choice->notesOutDestinations, destination.get()),
                        contains(choice->clockOutDestinations, destination.get()), destination->name()});
    }
    return rows;
}

// --- Ports coming and going ---

void MidiController::sourceAdded(MidiSystem&, const std::shared_ptr<MidiSource>& source) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    auto choice = portChoice();
    if (choice->clockInSourceName == source->name() || choice->notesInSourceNames.count(source->name())) {
        source->addDelegate(this);
        STROMBEL_LOG_DEBUG("attached to new source: {}", source->name());
    } else {
        STROMBEL_LOG_DEBUG("ignored new source (not whitelisted): {}", source->name());
    }
    if (portsDelegate_) portsDelegate_->sourcePortsChanged();
}

void MidiController::sourceRemoved(MidiSystem&, const std::shared_ptr<MidiSource>& source) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    STROMBEL_LOG_DEBUG("source disappeared: {}", source->name());
    source->removeDelegate(this);
    // The action thread lets go of the source's parser after what it read last.
    const bool queued = input_.tryPush([&](InputRecord& record) {
        record.source = source->sharedName();
        record.length = 0;
        record.forget = true;
    });
    if (queued) handedOver();
    if (portsDelegate_) portsDelegate_->sourcePortsChanged();
}

void MidiController::destinationAdded(MidiSystem&, const std::shared_ptr<MidiDestination>& destination) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    auto current = portChoice();
    if (current->clockOutDestinationNames.count(destination->name()) ||
        current->notesOutDestinationNames.count(destination->name())) {
        auto choice = std::make_shared<PortChoice>(*current);
        if (choice->clockOutDestinationNames.count(destination->name()) &&
            !contains(choice->clockOutDestinations, destination.get())) {
            choice->clockOutDestinations.push_back(destination);
            STROMBEL_LOG_DEBUG("destination added (clock): {}", destination->name());
        }
        if (choice->notesOutDestinationNames.count(destination->name()) &&
            !contains(choice->notesOutDestinations, destination.get())) {
            choice->notesOutDestinations.push_back(destination);
            STROMBEL_LOG_DEBUG("destination added (notes): {}", destination->name());
        }
        setPortChoice(choice);
    }
    if (portsDelegate_) portsDelegate_->destinationPortsChanged();
}

void MidiController::destinationRemoved(MidiSystem&, const std::shared_ptr<MidiDestination>& destination) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    STROMBEL_LOG_DEBUG("destination disappeared: {}", destination->name());
    auto choice = std::make_shared<PortChoice>(*portChoice());
    std::erase(choice->notesOutDestinations, destination);
    std::erase(choice->clockOutDestinations, destination);
    setPortChoice(choice);
    if (portsDelegate_) portsDelegate_->destinationPortsChanged();
}

void MidiController::systemAvailabilityChanged(MidiSystem& midi, bool available) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (available) {
        if (absenceCheck_) mainLoop_.cancel(absenceCheck_);
        absenceCheck_ = 0;
        if (toldSystemMissing_) {
            // Said as loudly as its absence was.
            STROMBEL_LOG_WARN("MIDI is back: Strombel's MIDI ports are on {} again", midi.backend().systemName());
        } else {
            STROMBEL_LOG_INFO("MIDI system found: {}", midi.backend().systemName());
        }
        toldSystemMissing_ = false;
    } else {
        tellAbsenceIfItLasts("The MIDI system went away: no MIDI ports until it runs again");
    }
    // The panel's empty lists say why they are empty.
    if (portsDelegate_) {
        portsDelegate_->sourcePortsChanged();
        portsDelegate_->destinationPortsChanged();
    }
}

void MidiController::tellAbsenceIfItLasts(const char* told) {
    STROMBEL_LOG_DEBUG("no MIDI system for now");
    if (absenceCheck_ || toldSystemMissing_) return;
    absenceCheck_ = mainLoop_.schedule(kAbsenceGrace, [this, told] {
        absenceCheck_ = 0;  // a return of the system cancels this check
        toldSystemMissing_ = true;
        STROMBEL_LOG_WARN("{}", told);
    });
}

// --- Receiving (MIDI read thread) ---

void MidiController::handedOver() {
    handedOver_.fetch_add(1, std::memory_order_acq_rel);
    wakeup_.signal();
}

void MidiController::midiReceived(MidiSource& source, MidiPacketList packets) {
    STROMBEL_EXPECT_THREAD(kMidiInputThread);
    // Copying the name's pointer only counts a reference: the source holds another.
    const std::shared_ptr<const std::string>& name = source.sharedName();
    for (const platform::MidiPacket& packet : packets) {
        const uint8_t* bytes = packet.bytes.data();
        size_t left = packet.bytes.size();
        while (left > 0) {
            const size_t length = std::min(left, InputRecord::kBytes);
            const bool queued = input_.tryPush([&](InputRecord& record) {
                record.source = name;
                record.timeStamp = packet.timeStamp;
                record.length = static_cast<uint16_t>(length);
                record.forget = false;
                record.more = length < left;
                std::copy_n(bytes, length, record.bytes.begin());
            });
            if (queued) {
                handedOver();
            } else {
                dropped_.fetch_add(1, std::memory_order_relaxed);
            }
            bytes += length;
            left -= length;
        }
    }
}

void MidiController::takeInput() {
    InputRecord record;
    while (input_.pop(record)) {
        const std::string* key = record.source.get();
        if (record.forget) {
            parsers_.erase(key);
        } else if (key) {
            SourceInput& entry = parsers_[key];
            if (!entry.parser) {
                entry.name = record.source;
                entry.parser = std::make_unique<MidiParser>();
            }
            std::span<const uint8_t> bytes(record.bytes.data(), record.length);
            if (record.more || !entry.pieces.empty()) {
                // A long packet is parsed whole, so that a message (or a run of
                // running-status data) is never cut where a record ends.
                entry.pieces.insert(entry.pieces.end(), bytes.begin(), bytes.end());
                bytes = entry.pieces;
            }
            if (!record.more) {
                const platform::MidiPacket packet{record.timeStamp, bytes};
                entry.parser->parse(platform::MidiPacketList(&packet, 1), channel_.load(),
                                    [&](const ParsedMidiMessage& parsed) {
                                        handleMidiMessage(MidiMessage(record.source, parsed.messageType, parsed.data1,
                                                                      parsed.data2));
                                    });
                entry.pieces.clear();
            }
        }
        record.source.reset();
        carriedOut_.fetch_add(1, std::memory_order_acq_rel);
    }
}

void MidiController::carryOutCancels() {
    const uint64_t asked = cancelsAsked_.load(std::memory_order_acquire);
    if (asked == cancelsCarriedOut_) return;
    cancelsCarriedOut_ = asked;
    midi_->backend().flushOutput(0);
    STROMBEL_LOG_DEBUG("Scheduled MIDI messages cancelled");
}

void MidiController::takeClockRequests() {
    ClockRequest request;
    while (clockRequests_.pop(request)) {
        // A tick asked for before a cancel is cancelled with what was scheduled,
        // even when the cancel came before this thread got to the tick.
        const bool cancelled = request.kind == ClockRequest::Kind::tick &&
                               request.cancels < cancelsAsked_.load(std::memory_order_acquire);
        if (request.cancels > cancelsCarriedOut_) carryOutCancels();
        auto choice = portChoice();
        if (!cancelled && request.kind != ClockRequest::Kind::cancel && !choice->clockOutDestinations.empty()) {
            switch (request.kind) {
                case ClockRequest::Kind::start: {
                    const uint8_t byte = 0xFA;
                    midi_->sendBytes(&byte, 1, &choice->clockOutDestinations);
                    STROMBEL_LOG_DEBUG("SEND clock start");
                    break;
                }
                case ClockRequest::Kind::stop: {
                    const uint8_t byte = 0xFC;
                    midi_->sendBytes(&byte, 1, &choice->clockOutDestinations);
                    STROMBEL_LOG_DEBUG("SEND clock stop");
                    break;
                }
                case ClockRequest::Kind::tick: {
                    const uint8_t byte = 0xF8;
                    midi_->sendBytes(&byte, 1, request.hostTime, &choice->clockOutDestinations);
                    break;
                }
                case ClockRequest::Kind::cancel: break;
            }
        }
        carriedOut_.fetch_add(1, std::memory_order_acq_rel);
    }
    carryOutCancels();
}

void MidiController::threadMain() {
    platform::setThreadRole(platform::ThreadRole::midiAction);
    uint64_t reportedDrops = 0, reportedClockDrops = 0;
    for (;;) {
        wakeup_.wait();
        takeInput();
        takeClockRequests();
        {
            std::lock_guard lock(idleMutex_);
        }
        idle_.notify_all();
        if (const uint64_t drops = dropped_.load(); drops != reportedDrops) {
            STROMBEL_LOG_WARN("{} MIDI messages dropped: the MIDI action thread fell behind", drops - reportedDrops);
            reportedDrops = drops;
        }
        if (const uint64_t drops = droppedClock_.load(); drops != reportedClockDrops) {
            STROMBEL_LOG_WARN("{} MIDI clock messages dropped: the MIDI action thread fell behind",
                              drops - reportedClockDrops);
            reportedClockDrops = drops;
        }
        // Asked to stop: everything handed over before is done.
        if (!keepActionThreadAlive_.load() && input_.empty() && clockRequests_.empty()) break;
    }
    idle_.notify_all();
}

void MidiController::waitUntilActionThreadIdle() {
    const uint64_t target = handedOver_.load(std::memory_order_acquire);
    std::unique_lock lock(idleMutex_);
    idle_.wait(lock, [&] {
        return carriedOut_.load(std::memory_order_acquire) >= target || !actionThread_.running();
    });
}

// --- Carrying out (MIDI action thread) ---

void MidiController::handleMidiMessage(const MidiMessage& message) {
    STROMBEL_EXPECT_THREAD(kMidiActionThread);
    auto choice = portChoice();
    const std::string& source = message.sourceName();
    const bool notes = choice->notesInSourceNames.count(source) > 0;
    if (!notes) STROMBEL_LOG_DEBUG("ignoring MIDI note msgs from {}", source);
    const bool clock = choice->clockInSourceName == source;
    if (!clock) STROMBEL_LOG_DEBUG("ignoring MIDI clock msgs from {}", source);
    MidiClockDelegate* clockDelegate = clockDelegate_.load();
    MidiSoundEngine* engine = engine_.load();

    switch (message.messageType()) {
        case 0x90:
            if (notes) {
                noteOn(message);
                STROMBEL_LOG_DEBUG("Note on: {}, {}", message.data1(), message.data2());
            }
            break;
        case 0x80:
            if (notes && midiLearnBtnIdx_.load() == kNotFound) {
                if (notesMapToButtons_.load()) {
                    int64_t pad = -1;
                    {
                        std::lock_guard lock(mapMutex_);
                        auto found = noteToButtonMap_.find(message.data1());
                        if (found != noteToButtonMap_.end()) pad = found->second;
                    }
                    if (engine) engine->stopSoundbankSample(pad);
                } else if (engine) {
                    engine->stopTrackForMidiNote(message.data1());
                }
                STROMBEL_LOG_DEBUG("Note off: {}, {}", message.data1(), message.data2());
            }
            break;
        case 0xA0: STROMBEL_LOG_DEBUG("Aftertouch: {}, {}", message.data1(), message.data2()); break;
        case 0xB0: STROMBEL_LOG_DEBUG("Control message: {}, {}", message.data1(), message.data2()); break;
        case 0xC0: STROMBEL_LOG_DEBUG("Program change: {}", message.data1()); break;
        case 0xD0: STROMBEL_LOG_DEBUG("Change aftertouch: {}", message.data1()); break;
        case 0xE0: STROMBEL_LOG_DEBUG("Pitch wheel: {}, {}", message.data1(), message.data2()); break;
        case 0xF2:
            if (clock) {
                const int32_t position = message.data1() + message.data2() * 128;
                STROMBEL_LOG_DEBUG("Song pos pointer: {}", position);
                if (clockDelegate) clockDelegate->midiClockSongPosition(position);
            }
            break;
        case 0xF3: STROMBEL_LOG_DEBUG("Song select: {}", message.data1()); break;
        case 0xF8:
            if (clock && clockDelegate) clockDelegate->midiClockTickReceived();
            break;
        case 0xF9: STROMBEL_LOG_DEBUG("Tick"); break;
        case 0xFA:
            if (clock) {
                STROMBEL_LOG_DEBUG("Clock start");
                if (clockDelegate) clockDelegate->midiClockStartReceived();
            }
            break;
        case 0xFB:
            if (clock) {
                STROMBEL_LOG_DEBUG("Clock continue");
                if (clockDelegate) clockDelegate->midiClockContinueReceived();
            }
            break;
        case 0xFC:
            if (clock) {
                STROMBEL_LOG_DEBUG("Clock stop");
                if (clockDelegate) clockDelegate->midiClockStopReceived();
            }
            break;
        default: STROMBEL_LOG_DEBUG("Some other MIDI message: {:X}", message.messageType()); break;
    }
}

void MidiController::noteOn(const MidiMessage& message) {
    const int32_t note = message.data1();
    const uint64_t learning = midiLearnBtnIdx_.load();
    if (learning != kNotFound) {
        // The map and its file know the twelve pads only: a note learned for any
        // other would have the whole map set aside at the next start.
        if (learning >= static_cast<uint64_t>(kPadCount)) {
            STROMBEL_LOG_WARN("MIDI learn: there is no pad {} to learn note {} for", learning, note);
            return;
        }
        {
            std::lock_guard lock(mapMutex_);
            auto previous = std::find_if(noteToButtonMap_.begin(), noteToButtonMap_.end(), [learning](const auto& entry) {
                return static_cast<uint64_t>(entry.second) == learning;
            });
            if (previous != noteToButtonMap_.end()) noteToButtonMap_.erase(previous);
            noteToButtonMap_[note] = static_cast<int64_t>(learning);
            mapChanged_ = true;
        }
        if (MidiLearnDelegate* delegate = learnDelegate_.load()) delegate->midiLearnBtn(learning, note);
        return;
    }
    MidiSoundEngine* engine = engine_.load();
    if (!engine) return;
    const double velocity = message.data2() / 100.0;
    if (notesMapToButtons_.load()) {
        int64_t pad = -1;
        {
            std::lock_guard lock(mapMutex_);
            auto found = noteToButtonMap_.find(note);
            if (found != noteToButtonMap_.end()) pad = found->second;
        }
        if (message.data2() == 0) {
            engine->stopSoundbankSample(pad);
        } else {
            engine->startSoundbankSample(pad, velocity);
        }
    } else if (message.data2() == 0) {
        engine->stopTrackForMidiNote(note);
    } else {
        engine->startTrackForMidiNote(note, velocity);
    }
}

// --- Sending ---

void MidiController::sendToNotesOut(const uint8_t* bytes, uint32_t size) {
    auto choice = portChoice();
    midi_->sendBytes(bytes, size, &choice->notesOutDestinations);
}

void MidiController::sendNoteOn(int32_t note) {
    if (note < 0 || note >= 128) return;
    auto choice = portChoice();
    if (choice->notesOutDestinations.empty()) return;
    const int32_t channel = channel_.load() == -1 ? kOmniSendChannel : channel_.load();
    const uint8_t bytes[3] = {static_cast<uint8_t>(0x90 | channel), static_cast<uint8_t>(note), 127};
    midi_->sendBytes(bytes, 3, &choice->notesOutDestinations);
    STROMBEL_LOG_DEBUG("SEND ({}) note on: {}, {}", channel, note, 127);
}

void MidiController::sendNoteOff(int32_t note) {
    if (note < 0 || note >= 128) return;
    auto choice = portChoice();
    if (choice->notesOutDestinations.empty()) return;
    const int32_t channel = channel_.load() == -1 ? kOmniSendChannel : channel_.load();
    const uint8_t bytes[3] = {static_cast<uint8_t>(0x80 | channel), static_cast<uint8_t>(note), 0};
    midi_->sendBytes(bytes, 3, &choice->notesOutDestinations);
    STROMBEL_LOG_DEBUG("SEND ({}) note off: {}", channel, note);
}

void MidiController::queueClock(ClockRequest::Kind kind, uint64_t hostTime) {
    if (clockRequests_.push(ClockRequest{kind, hostTime, cancelsAsked_.load(std::memory_order_acquire)})) {
        handedOver();
    } else {
        droppedClock_.fetch_add(1, std::memory_order_relaxed);
    }
}

void MidiController::sendClockStart() { queueClock(ClockRequest::Kind::start, 0); }

void MidiController::sendClockStop() { queueClock(ClockRequest::Kind::stop, 0); }

void MidiController::sendClockTickAtTime(uint64_t hostTime) { queueClock(ClockRequest::Kind::tick, hostTime); }

void MidiController::cancelScheduledMidiMessages() {
    // Carried out on the action thread in the order asked, after the ticks asked
    // for before it are scheduled; a full queue still counts the cancel.
    cancelsAsked_.fetch_add(1, std::memory_order_acq_rel);
    queueClock(ClockRequest::Kind::cancel, 0);
    wakeup_.signal();
}

// --- The engine's notifications ---

void MidiController::soundbankTrackStarted(int64_t padIndex) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (!notesMapToButtons_.load()) return;
    if (int32_t note = buttonToNote(padIndex); note >= 0) sendNoteOn(note);
}

void MidiController::soundbankTrackStopped(int64_t padIndex) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (!notesMapToButtons_.load()) return;
    if (int32_t note = buttonToNote(padIndex); note >= 0) sendNoteOff(note);
}

void MidiController::midiNoteOn(int32_t note) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (notesMapToButtons_.load()) return;
    sendNoteOn(note);
}

void MidiController::midiNoteOff(int32_t note) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (notesMapToButtons_.load()) return;
    sendNoteOff(note);
}

}  // namespace strombel::midi
