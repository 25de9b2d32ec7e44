#pragma once

// The six kinds of object the library keeps: packs, banks, samples, pad
// assignments, patterns and their events. Each lives in one ObjectContext; its
// setters record the change there, and relationships are kept on both sides by
// the context (set one side, the other follows). Objects are handed out as
// shared pointers: a deleted object stays readable but belongs to nothing.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace strombel::library {

class ObjectContext;
class Sample;
class SoundbankSample;
class SequencerEvent;

enum class EntityKind : int { Soundpack, Soundbank, Sample, SoundbankSample, Pattern, SequencerEvent };

/// What every stored object has: a row id unique within its kind, and its context.
class ManagedObject {
public:
    virtual ~ManagedObject() = default;
    ManagedObject(const ManagedObject&) = delete;
    ManagedObject& operator=(const ManagedObject&) = delete;

    int64_t rowId() const { return rowId_; }
    virtual EntityKind kind() const = 0;
    /// True once the object was deleted from its context (saved or not).
    bool isDeleted() const { return deleted_; }

protected:
    ManagedObject(ObjectContext* context, int64_t rowId) : context_(context), rowId_(rowId) {}
    void changed();

    ObjectContext* context_;

private:
    friend class ObjectContext;
    int64_t rowId_;
    bool deleted_ = false;
};

/// One sound pack.
class Soundpack final : public ManagedObject, public std::enable_shared_from_this<Soundpack> {
public:
    Soundpack(ObjectContext* context, int64_t rowId) : ManagedObject(context, rowId) {}
    EntityKind kind() const override { return EntityKind::Soundpack; }

    const std::string& packId() const { return packId_; }
    void setPackId(const std::string& packId);
    const std::string& name() const { return name_; }
    void setName(const std::string& name);
    const std::string& imagePath() const { return imagePath_; }
    void setImagePath(const std::string& imagePath);

    /// The pack's samples, in no particular order.
    std::vector<std::shared_ptr<Sample>> samplesInPack() const;
    size_t sampleCount() const { return samples_.size(); }

private:
    friend class ObjectContext;
    std::string packId_, name_, imagePath_;
    std::unordered_set<Sample*> samples_;
};

/// One sound bank: which sample lies on which of the twelve pads.
class Soundbank final : public ManagedObject, public std::enable_shared_from_this<Soundbank> {
public:
    Soundbank(ObjectContext* context, int64_t rowId) : ManagedObject(context, rowId) {}
    EntityKind kind() const override { return EntityKind::Soundbank; }

    const std::string& name() const { return name_; }
    void setName(const std::string& name);
    int64_t orderId() const { return orderId_; }
    void setOrderId(int64_t orderId);
    /// The pack whose import made the bank; empty for a bank of the user's own.
    const std::string& sourcePackId() const { return sourcePackId_; }
    void setSourcePackId(const std::string& packId);

    /// The bank's pad assignments, in no particular order.
    std::vector<std::shared_ptr<SoundbankSample>> samplesInBank() const;
    /// The same, without a reference taken on each.
    const std::unordered_set<SoundbankSample*>& samplesInBankPointers() const { return assignments_; }

private:
    friend class ObjectContext;
    std::string name_;
    int64_t orderId_ = 0;
    std::string sourcePackId_;
    std::unordered_set<SoundbankSample*> assignments_;
};

/// One sample file; `filepath` (relative to the sandbox root) is its identity.
class Sample final : public ManagedObject, public std::enable_shared_from_this<Sample> {
public:
    Sample(ObjectContext* context, int64_t rowId) : ManagedObject(context, rowId) {}
    EntityKind kind() const override { return EntityKind::Sample; }

    const std::string& filepath() const { return filepath_; }
    void setFilepath(const std::string& filepath);
    const std::string& name() const { return name_; }
    void setName(const std::string& name);
    /// The name folded to lower case, the key of every case-insensitive ordering.
    const std::string& foldedName() const { return foldedName_; }
    float volume() const { return volume_; }
    void setVolume(float volume);
    int64_t packOrderId() const { return packOrderId_; }
    void setPackOrderId(int64_t packOrderId);

    std::shared_ptr<Soundpack> soundpack() const;
    Soundpack* soundpackPointer() const { return soundpack_; }
    void setSoundpack(const std::shared_ptr<Soundpack>& soundpack);

    std::vector<std::shared_ptr<SoundbankSample>> soundbanks() const;
    std::vector<std::shared_ptr<SequencerEvent>> sequencerEvents() const;

private:
    friend class ObjectContext;
    std::string filepath_, name_, foldedName_;
    float volume_ = 1.0f;
    int64_t packOrderId_ = 0;
    Soundpack* soundpack_ = nullptr;
    std::unordered_set<SoundbankSample*> assignments_;
    std::unordered_set<SequencerEvent*> events_;
};

/// One sample on one pad (orderId 0 to 11) of one bank.
class SoundbankSample final : public ManagedObject, public std::enable_shared_from_this<SoundbankSample> {
public:
    SoundbankSample(ObjectContext* context, int64_t rowId) : ManagedObject(context, rowId) {}
    EntityKind kind() const override { return EntityKind::SoundbankSample; }

    uint64_t orderId() const { return orderId_; }
    void setOrderId(uint64_t orderId);

    /// Null when the assignment belongs to no sample (never after a delete: the
    /// assignment goes with its sample).
    std::shared_ptr<Sample> sample() const;
    Sample* samplePointer() const { return sample_; }
    void setSample(const std::shared_ptr<Sample>& sample);
    std::shared_ptr<Soundbank> soundbank() const;
    Soundbank* soundbankPointer() const { return soundbank_; }
    void setSoundbank(const std::shared_ptr<Soundbank>& soundbank);

private:
    friend class ObjectContext;
    uint64_t orderId_ = 0;
    Sample* sample_ = nullptr;
    Soundbank* soundbank_ = nullptr;
};

/// One of the sequencer's twelve patterns.
class Pattern final : public ManagedObject, public std::enable_shared_from_this<Pattern> {
public:
    Pattern(ObjectContext* context, int64_t rowId) : ManagedObject(context, rowId) {}
    EntityKind kind() const override { return EntityKind::Pattern; }

    uint64_t patternId() const { return patternId_; }
    void setPatternId(uint64_t patternId);
    int64_t numBars() const { return numBars_; }
    void setNumBars(int64_t numBars);

    std::vector<std::shared_ptr<SequencerEvent>> sequencerEvents() const;

private:
    friend class ObjectContext;
    uint64_t patternId_ = 0;
    int64_t numBars_ = 1;
    std::unordered_set<SequencerEvent*> events_;
};

/// One stored start (0) or stop (1) of a sample at a step of a pattern.
class SequencerEvent final : public ManagedObject, public std::enable_shared_from_this<SequencerEvent> {
public:
    SequencerEvent(ObjectContext* context, int64_t rowId) : ManagedObject(context, rowId) {}
    EntityKind kind() const override { return EntityKind::SequencerEvent; }

    uint64_t step() const { return step_; }
    void setStep(uint64_t step);
    uint32_t eventType() const { return eventType_; }
    void setEventType(uint32_t eventType);

    std::shared_ptr<Pattern> pattern() const;
    Pattern* patternPointer() const { return pattern_; }
    void setPattern(const std::shared_ptr<Pattern>& pattern);
    std::shared_ptr<Sample> sample() const;
    Sample* samplePointer() const { return sample_; }
    void setSample(const std::shared_ptr<Sample>& sample);

private:
    friend class ObjectContext;
    uint64_t step_ = 0;
    uint32_t eventType_ = 0;
    Pattern* pattern_ = nullptr;
    Sample* sample_ = nullptr;
};

/// The text with the letters of the Latin, Greek and Cyrillic alphabets in lower
/// case (the key of case-insensitive orderings); everything else as it is.
std::string foldCase(const std::string& text);

}  // namespace strombel::library
