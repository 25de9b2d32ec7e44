#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "library/entities.h"
#include "platform/result.h"
#include "library/persistent_store.h"

namespace strombel::library {

/// The domain of a save with no store to reach (code 1).
inline constexpr std::string_view kObjectContextErrorDomain = "ObjectContextErrorDomain";

/// The library's working copy of its store: every object is held here, every
/// change is visible at once to every fetch, and `save` writes all changes made
/// since the last successful save in one transaction. A failed save keeps the
/// changes so that a later save can write them. Fetches read this memory and so
/// cannot fail: only loading and saving touch the store.
///
/// Deleting an object applies the delete rules at once: a pack takes its samples
/// with it, a bank its pad assignments, a sample its pad assignments and pattern
/// events, a pattern its events; nothing is left pointing at a deleted object.
/// Main thread only.
class ObjectContext {
public:
    template <class T>
    using Registry = std::map<int64_t, std::shared_ptr<T>>;

    /// A context loaded with the rows of `store`. Without a store (none could be
    /// opened) the context works in memory only and every save fails.
    explicit ObjectContext(PersistentStore* store);
    ~ObjectContext();
    ObjectContext(const ObjectContext&) = delete;
    ObjectContext& operator=(const ObjectContext&) = delete;

    std::shared_ptr<Soundpack> insertSoundpack();
    std::shared_ptr<Soundbank> insertSoundbank();
    std::shared_ptr<Sample> insertSample();
    std::shared_ptr<SoundbankSample> insertSoundbankSample();
    std::shared_ptr<Pattern> insertPattern();
    std::shared_ptr<SequencerEvent> insertSequencerEvent();

    /// Deletes the object and, by the delete rules, its dependants. Deleting an
    /// object twice does nothing.
    void deleteObject(ManagedObject& object);

    /// Every live object of a kind, by row id (that is, in order of creation).
    const Registry<Soundpack>& soundpacks() const { return soundpacks_; }
    const Registry<Soundbank>& soundbanks() const { return soundbanks_; }
    const Registry<Sample>& samples() const { return samples_; }
    const Registry<SoundbankSample>& soundbankSamples() const { return soundbankSamples_; }
    const Registry<Pattern>& patterns() const { return patterns_; }
    const Registry<SequencerEvent>& sequencerEvents() const { return sequencerEvents_; }

    /// The samples whose filepath is exactly `filepath`, oldest first.
    std::vector<Sample*> samplesWithFilepath(const std::string& filepath) const;

    /// True when something changed since the last successful save.
    bool hasChanges() const { return !changed_.empty() || !deleted_.empty(); }

    /// Writes every change in one transaction. On failure the changes stay (and
    /// stay visible), and the store's error says why (kObjectContextErrorDomain
    /// when there is no store).
    platform::Result<void> save();

    PersistentStore* store() const { return store_; }

private:
    friend class ManagedObject;
    friend class Soundpack;
    friend class Soundbank;
    friend class Sample;
    friend class SoundbankSample;
    friend class Pattern;
    friend class SequencerEvent;

    using RowKey = std::pair<EntityKind, int64_t>;

    void load(StoreRows rows);
    void markChanged(ManagedObject& object);
    void filepathChanged(Sample& sample, const std::string& before);
    void link(Sample& sample, Soundpack* soundpack);
    void link(SoundbankSample& assignment, Sample* sample);
    void link(SoundbankSample& assignment, Soundbank* soundbank);
    void link(SequencerEvent& event, Pattern* pattern);
    void link(SequencerEvent& event, Sample* sample);
    template <class T>
    std::shared_ptr<T> make(Registry<T>& registry, EntityKind kind, int64_t id, bool inserted);
    void forget(ManagedObject& object);

    PersistentStore* store_;
    Registry<Soundpack> soundpacks_;
    Registry<Soundbank> soundbanks_;
    Registry<Sample> samples_;
    Registry<SoundbankSample> soundbankSamples_;
    Registry<Pattern> patterns_;
    Registry<SequencerEvent> sequencerEvents_;
    std::unordered_map<std::string, std::vector<Sample*>> samplesByFilepath_;
    std::map<EntityKind, int64_t> nextRowId_;

    std::unordered_set<ManagedObject*> changed_;
    std::set<RowKey> insertedSinceSave_;
    std::vector<RowKey> deleted_;
    bool loading_ = false;
};

}  // namespace strombel::library
