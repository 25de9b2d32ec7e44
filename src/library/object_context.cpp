#include "library/object_context.h"

#include <algorithm>

namespace strombel::library {

ObjectContext::ObjectContext(PersistentStore* store) : store_(store) {
    for (EntityKind kind : {EntityKind::Soundpack, EntityKind::Soundbank, EntityKind::Sample,
                            EntityKind::SoundbankSample, EntityKind::Pattern, EntityKind::SequencerEvent}) {
        nextRowId_[kind] = 1;
    }
    if (store_) load(store_->takeLoadedRows());
}

ObjectContext::~ObjectContext() {
    // Objects handed out may outlive the context: cut them loose first.
    auto detach = [](auto& registry) {
        for (auto& [id, object] : registry) object->context_ = nullptr;
    };
    detach(soundpacks_), detach(soundbanks_), detach(samples_);
    detach(soundbankSamples_), detach(patterns_), detach(sequencerEvents_);
    for (auto& [id, pack] : soundpacks_) pack->samples_.clear();
    for (auto& [id, bank] : soundbanks_) bank->assignments_.clear();
    for (auto& [id, sample] : samples_) {
        sample->soundpack_ = nullptr;
        sample->assignments_.clear();
        sample->events_.clear();
    }
    for (auto& [id, assignment] : soundbankSamples_) assignment->sample_ = nullptr, assignment->soundbank_ = nullptr;
    for (auto& [id, pattern] : patterns_) pattern->events_.clear();
    for (auto& [id, event] : sequencerEvents_) event->pattern_ = nullptr, event->sample_ = nullptr;
}

template <class T>
std::shared_ptr<T> ObjectContext::make(Registry<T>& registry, EntityKind kind, int64_t id, bool inserted) {
    if (id <= 0) id = nextRowId_[kind];
    nextRowId_[kind] = std::max(nextRowId_[kind], id + 1);
    auto object = std::make_shared<T>(this, id);
    registry[id] = object;
    if (inserted) {
        insertedSinceSave_.insert({kind, id});
        changed_.insert(object.get());
    }
    return object;
}

std::shared_ptr<Soundpack> ObjectContext::insertSoundpack() {
    return make(soundpacks_, EntityKind::Soundpack, 0, true);
}
std::shared_ptr<Soundbank> ObjectContext::insertSoundbank() {
    return make(soundbanks_, EntityKind::Soundbank, 0, true);
}
std::shared_ptr<Sample> ObjectContext::insertSample() {
    auto sample = make(samples_, EntityKind::Sample, 0, true);
    samplesByFilepath_[sample->filepath_].push_back(sample.get());
    return sample;
}
std::shared_ptr<SoundbankSample> ObjectContext::insertSoundbankSample() {
    return make(soundbankSamples_, EntityKind::SoundbankSample, 0, true);
}
std::shared_ptr<Pattern> ObjectContext::insertPattern() { return make(patterns_, EntityKind::Pattern, 0, true); }
std::shared_ptr<SequencerEvent> ObjectContext::insertSequencerEvent() {
    return make(sequencerEvents_, EntityKind::SequencerEvent, 0, true);
}

void ObjectContext::load(StoreRows rows) {
    loading_ = true;
    for (const auto& row : rows.soundpacks) {
        auto pack = make(soundpacks_, EntityKind::Soundpack, row.id, false);
        pack->packId_ = row.packId, pack->name_ = row.name, pack->imagePath_ = row.imagePath;
    }
    for (const auto& row : rows.soundbanks) {
        auto bank = make(soundbanks_, EntityKind::Soundbank, row.id, false);
        bank->name_ = row.name, bank->orderId_ = row.orderId, bank->sourcePackId_ = row.sourcePackId;
    }
    for (const auto& row : rows.samples) {
        auto sample = make(samples_, EntityKind::Sample, row.id, false);
        sample->filepath_ = row.filepath;
        sample->name_ = row.name;
        sample->foldedName_ = foldCase(row.name);
        sample->volume_ = static_cast<float>(row.volume);
        sample->packOrderId_ = row.packOrderId;
        samplesByFilepath_[sample->filepath_].push_back(sample.get());
        if (auto pack = soundpacks_.find(row.soundpack); pack != soundpacks_.end()) link(*sample, pack->second.get());
    }
    // Assignments and events that lost their sample, bank or pattern (a file
    // damaged or written by hand) are dropped, and go from the file at the next save.
    for (const auto& row : rows.soundbankSamples) {
        auto sample = samples_.find(row.sample);
        auto bank = soundbanks_.find(row.soundbank);
        if (sample == samples_.end() || bank == soundbanks_.end()) {
            deleted_.push_back({EntityKind::SoundbankSample, row.id});
            nextRowId_[EntityKind::SoundbankSample] = std::max(nextRowId_[EntityKind::SoundbankSample], row.id + 1);
            continue;
        }
        auto assignment = make(soundbankSamples_, EntityKind::SoundbankSample, row.id, false);
        assignment->orderId_ = static_cast<uint64_t>(row.orderId);
        link(*assignment, sample->second.get());
        link(*assignment, bank->second.get());
    }
    for (const auto& row : rows.patterns) {
        auto pattern = make(patterns_, EntityKind::Pattern, row.id, false);
        pattern->patternId_ = static_cast<uint64_t>(row.patternId), pattern->numBars_ = row.numBars;
    }
    for (const auto& row : rows.sequencerEvents) {
        auto pattern = patterns_.find(row.pattern);
        auto sample = samples_.find(row.sample);
        if (pattern == patterns_.end() || sample == samples_.end()) {
            deleted_.push_back({EntityKind::SequencerEvent, row.id});
            nextRowId_[EntityKind::SequencerEvent] = std::max(nextRowId_[EntityKind::SequencerEvent], row.id + 1);
            continue;
        }
        auto event = make(sequencerEvents_, EntityKind::SequencerEvent, row.id, false);
        event->step_ = static_cast<uint64_t>(row.step), event->eventType_ = static_cast<uint32_t>(row.eventType);
        link(*event, pattern->second.get());
        link(*event, sample->second.get());
    }
    loading_ = false;
}

void ObjectContext::markChanged(ManagedObject& object) {
    if (!loading_) changed_.insert(&object);
}

void ObjectContext::filepathChanged(Sample& sample, const std::string& before) {
    if (auto found = samplesByFilepath_.find(before); found != samplesByFilepath_.end()) {
        std::erase(found->second, &sample);
        if (found->second.empty()) samplesByFilepath_.erase(found);
    }
    samplesByFilepath_[sample.filepath_].push_back(&sample);
}

std::vector<Sample*> ObjectContext::samplesWithFilepath(const std::string& filepath) const {
    auto found = samplesByFilepath_.find(filepath);
    if (found == samplesByFilepath_.end()) return {};
    std::vector<Sample*> result = found->second;
    std::sort(result.begin(), result.end(), [](Sample* a, Sample* b) { return a->rowId() < b->rowId(); });
    return result;
}

void ObjectContext::link(Sample& sample, Soundpack* soundpack) {
    if (sample.soundpack_ == soundpack) return;
    if (sample.soundpack_) sample.soundpack_->samples_.erase(&sample);
    sample.soundpack_ = soundpack;
    if (soundpack) soundpack->samples_.insert(&sample);
    markChanged(sample);
}

void ObjectContext::link(SoundbankSample& assignment, Sample* sample) {
    if (assignment.sample_ == sample) return;
    if (assignment.sample_) assignment.sample_->assignments_.erase(&assignment);
    assignment.sample_ = sample;
    if (sample) sample->assignments_.insert(&assignment);
    markChanged(assignment);
}

void ObjectContext::link(SoundbankSample& assignment, Soundbank* soundbank) {
    if (assignment.soundbank_ == soundbank) return;
    if (assignment.soundbank_) assignment.soundbank_->assignments_.erase(&assignment);
    assignment.soundbank_ = soundbank;
    if (soundbank) soundbank->assignments_.insert(&assignment);
    markChanged(assignment);
}

void ObjectContext::link(SequencerEvent& event, Pattern* pattern) {
    if (event.pattern_ == pattern) return;
    if (event.pattern_) event.pattern_->events_.erase(&event);
    event.pattern_ = pattern;
    if (pattern) pattern->events_.insert(&event);
    markChanged(event);
}

void ObjectContext::link(SequencerEvent& event, Sample* sample) {
    if (event.sample_ == sample) return;
    if (event.sample_) event.sample_->events_.erase(&event);
    event.sample_ = sample;
    if (sample) sample->events_.insert(&event);
    markChanged(event);
}

void ObjectContext::deleteObject(ManagedObject& object) {
    if (object.deleted_ || object.context_ != this) return;
    object.deleted_ = true;
    switch (object.kind()) {
        case EntityKind::Soundpack: {
            auto& pack = static_cast<Soundpack&>(object);
            auto keep = pack.shared_from_this();
            std::vector<Sample*> samples(pack.samples_.begin(), pack.samples_.end());
            for (Sample* sample : samples) deleteObject(*sample);
            forget(pack);
            soundpacks_.erase(pack.rowId());
            break;
        }
        case EntityKind::Soundbank: {
            auto& bank = static_cast<Soundbank&>(object);
            auto keep = bank.shared_from_this();
            std::vector<SoundbankSample*> assignments(bank.assignments_.begin(), bank.assignments_.end());
            for (SoundbankSample* assignment : assignments) deleteObject(*assignment);
            forget(bank);
            soundbanks_.erase(bank.rowId());
            break;
        }
        case EntityKind::Sample: {
            auto& sample = static_cast<Sample&>(object);
            auto keep = sample.shared_from_this();
            std::vector<SoundbankSample*> assignments(sample.assignments_.begin(), sample.assignments_.end());
            for (SoundbankSample* assignment : assignments) deleteObject(*assignment);
            std::vector<SequencerEvent*> events(sample.events_.begin(), sample.events_.end());
            for (SequencerEvent* event : events) deleteObject(*event);
            if (sample.soundpack_) sample.soundpack_->samples_.erase(&sample);
            sample.soundpack_ = nullptr;
            if (auto found = samplesByFilepath_.find(sample.filepath_); found != samplesByFilepath_.end()) {
                std::erase(found->second, &sample);
                if (found->second.empty()) samplesByFilepath_.erase(found);
            }
            forget(sample);
            samples_.erase(sample.rowId());
            break;
        }
        case EntityKind::SoundbankSample: {
            auto& assignment = static_cast<SoundbankSample&>(object);
            auto keep = assignment.shared_from_this();
            if (assignment.sample_) assignment.sample_->assignments_.erase(&assignment);
            if (assignment.soundbank_) assignment.soundbank_->assignments_.erase(&assignment);
            assignment.sample_ = nullptr, assignment.soundbank_ = nullptr;
            forget(assignment);
            soundbankSamples_.erase(assignment.rowId());
            break;
        }
        case EntityKind::Pattern: {
            auto& pattern = static_cast<Pattern&>(object);
            auto keep = pattern.shared_from_this();
            std::vector<SequencerEvent*> events(pattern.events_.begin(), pattern.events_.end());
            for (SequencerEvent* event : events) deleteObject(*event);
            forget(pattern);
            patterns_.erase(pattern.rowId());
            break;
        }
        case EntityKind::SequencerEvent: {
            auto& event = static_cast<SequencerEvent&>(object);
            auto keep = event.shared_from_this();
            if (event.pattern_) event.pattern_->events_.erase(&event);
            if (event.sample_) event.sample_->events_.erase(&event);
            event.pattern_ = nullptr, event.sample_ = nullptr;
            forget(event);
            sequencerEvents_.erase(event.rowId());
            break;
        }
    }
}

void ObjectContext::forget(ManagedObject& object) {
    changed_.erase(&object);
    RowKey key{object.kind(), object.rowId()};
    // An object never saved simply disappears; a saved one leaves its row to delete.
    if (insertedSinceSave_.erase(key) == 0) deleted_.push_back(key);
}

platform::Result<void> ObjectContext::save() {
    auto failed = [](const std::string& why) { return platform::Error::make(kObjectContextErrorDomain, 1, why); };
    if (!store_) return failed("no persistent store");
    if (!hasChanges()) return {};
    StoreChanges changes;
    changes.deletes = deleted_;
    StoreRows& rows = changes.upserts;
    for (ManagedObject* object : changed_) {
        switch (object->kind()) {
            case EntityKind::Soundpack: {
                auto* pack = static_cast<Soundpack*>(object);
                rows.soundpacks.push_back({pack->rowId(), pack->packId_, pack->name_, pack->imagePath_});
                break;
            }
            case EntityKind::Soundbank: {
                auto* bank = static_cast<Soundbank*>(object);
                rows.soundbanks.push_back({bank->rowId(), bank->name_, bank->orderId_, bank->sourcePackId_});
                break;
            }
            case EntityKind::Sample: {
                auto* sample = static_cast<Sample*>(object);
                rows.samples.push_back({sample->rowId(), sample->filepath_, sample->name_, sample->volume_,
                                        sample->packOrderId_, sample->soundpack_ ? sample->soundpack_->rowId() : 0});
                break;
            }
            case EntityKind::SoundbankSample: {
                auto* assignment = static_cast<SoundbankSample*>(object);
                rows.soundbankSamples.push_back(
                    {assignment->rowId(), static_cast<int64_t>(assignment->orderId_),
                     assignment->sample_ ? assignment->sample_->rowId() : 0,
                     assignment->soundbank_ ? assignment->soundbank_->rowId() : 0});
                break;
            }
            case EntityKind::Pattern: {
                auto* pattern = static_cast<Pattern*>(object);
                rows.patterns.push_back(
                    {pattern->rowId(), static_cast<int64_t>(pattern->patternId_), pattern->numBars_});
                break;
            }
            case EntityKind::SequencerEvent: {
                auto* event = static_cast<SequencerEvent*>(object);
                rows.sequencerEvents.push_back({event->rowId(), static_cast<int64_t>(event->step_),
                                                static_cast<int64_t>(event->eventType_),
                                                event->pattern_ ? event->pattern_->rowId() : 0,
                                                event->sample_ ? event->sample_->rowId() : 0});
                break;
            }
        }
    }
    if (platform::Result<void> written = store_->write(changes); !written) return written;
    changed_.clear();
    deleted_.clear();
    insertedSinceSave_.clear();
    return {};
}

}  // namespace strombel::library
