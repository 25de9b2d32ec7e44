#include "library/entities.h"

#include "library/object_context.h"

namespace strombel::library {
namespace {

template <class T>
std::vector<std::shared_ptr<T>> shared(const std::unordered_set<T*>& objects) {
    std::vector<std::shared_ptr<T>> result;
    result.reserve(objects.size());
    for (T* object : objects) result.push_back(object->shared_from_this());
    return result;
}

template <class T>
std::shared_ptr<T> shared(T* object) {
    return object ? object->shared_from_this() : nullptr;
}

}  // namespace

std::string foldCase(const std::string& text) {
    std::string folded;
    folded.reserve(text.size());
    for (size_t at = 0; at < text.size(); ++at) {
        unsigned char c = static_cast<unsigned char>(text[at]);
        if (c < 0x80) {
            folded.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c));
            continue;
        }
        // Two-byte letters of the Latin, Greek and Cyrillic alphabets.
        if (c >= 0xC2 && c <= 0xDF && at + 1 < text.size()) {
            unsigned char next = static_cast<unsigned char>(text[at + 1]);
            if ((next & 0xC0) == 0x80) {
                char32_t code = (static_cast<char32_t>(c & 0x1F) << 6) | (next & 0x3F);
                if ((code >= 0xC0 && code <= 0xDE && code != 0xD7) || (code >= 0x391 && code <= 0x3AB && code != 0x3A2) ||
                    (code >= 0x410 && code <= 0x42F)) {
                    code += 0x20;
                } else if (code >= 0x400 && code <= 0x40F) {
                    code += 0x50;
                } else if (code == 0x178) {
                    code = 0xFF;
                } else if (code >= 0x100 && code <= 0x17E && code != 0x130) {
                    // Latin Extended-A comes in upper/lower pairs, even-first or odd-first by block.
                    bool evenFirst = code <= 0x137 || (code >= 0x14A && code <= 0x177);
                    bool oddFirst = (code >= 0x139 && code <= 0x148) || code >= 0x179;
                    if ((evenFirst && code % 2 == 0) || (oddFirst && code % 2 == 1)) code += 1;
                }
                folded.push_back(static_cast<char>(0xC0 | (code >> 6)));
                folded.push_back(static_cast<char>(0x80 | (code & 0x3F)));
                ++at;
                continue;
            }
        }
        folded.push_back(static_cast<char>(c));
    }
    return folded;
}

void ManagedObject::changed() {
    if (context_ && !deleted_) context_->markChanged(*this);
}

void Soundpack::setPackId(const std::string& packId) {
    packId_ = packId;
    changed();
}
void Soundpack::setName(const std::string& name) {
    name_ = name;
    changed();
}
void Soundpack::setImagePath(const std::string& imagePath) {
    imagePath_ = imagePath;
    changed();
}
std::vector<std::shared_ptr<Sample>> Soundpack::samplesInPack() const { return shared(samples_); }

void Soundbank::setName(const std::string& name) {
    name_ = name;
    changed();
}
void Soundbank::setOrderId(int64_t orderId) {
    orderId_ = orderId;
    changed();
}
void Soundbank::setSourcePackId(const std::string& packId) {
    sourcePackId_ = packId;
    changed();
}
std::vector<std::shared_ptr<SoundbankSample>> Soundbank::samplesInBank() const { return shared(assignments_); }

void Sample::setFilepath(const std::string& filepath) {
    std::string before = std::move(filepath_);
    filepath_ = filepath;
    if (context_ && !isDeleted()) context_->filepathChanged(*this, before);
    changed();
}
void Sample::setName(const std::string& name) {
    name_ = name;
    foldedName_ = foldCase(name);
    changed();
}
void Sample::setVolume(float volume) {
    volume_ = volume;
    changed();
}
void Sample::setPackOrderId(int64_t packOrderId) {
    packOrderId_ = packOrderId;
    changed();
}
std::shared_ptr<Soundpack> Sample::soundpack() const { return shared(soundpack_); }
void Sample::setSoundpack(const std::shared_ptr<Soundpack>& soundpack) {
    if (context_ && !isDeleted()) context_->link(*this, soundpack.get());
}
std::vector<std::shared_ptr<SoundbankSample>> Sample::soundbanks() const { return shared(assignments_); }
std::vector<std::shared_ptr<SequencerEvent>> Sample::sequencerEvents() const { return shared(events_); }

void SoundbankSample::setOrderId(uint64_t orderId) {
    orderId_ = orderId;
    changed();
}
std::shared_ptr<Sample> SoundbankSample::sample() const { return shared(sample_); }
void SoundbankSample::setSample(const std::shared_ptr<Sample>& sample) {
    if (context_ && !isDeleted()) context_->link(*this, sample.get());
}
std::shared_ptr<Soundbank> SoundbankSample::soundbank() const { return shared(soundbank_); }
void SoundbankSample::setSoundbank(const std::shared_ptr<Soundbank>& soundbank) {
    if (context_ && !isDeleted()) context_->link(*this, soundbank.get());
}

void Pattern::setPatternId(uint64_t patternId) {
    patternId_ = patternId;
    changed();
}
void Pattern::setNumBars(int64_t numBars) {
    numBars_ = numBars;
    changed();
}
std::vector<std::shared_ptr<SequencerEvent>> Pattern::sequencerEvents() const { return shared(events_); }

void SequencerEvent::setStep(uint64_t step) {
    step_ = step;
    changed();
}
void SequencerEvent::setEventType(uint32_t eventType) {
    eventType_ = eventType;
    changed();
}
std::shared_ptr<Pattern> SequencerEvent::pattern() const { return shared(pattern_); }
void SequencerEvent::setPattern(const std::shared_ptr<Pattern>& pattern) {
    if (context_ && !isDeleted()) context_->link(*this, pattern.get());
}
std::shared_ptr<Sample> SequencerEvent::sample() const { return shared(sample_); }
void SequencerEvent::setSample(const std::shared_ptr<Sample>& sample) {
    if (context_ && !isDeleted()) context_->link(*this, sample.get());
}

}  // namespace strombel::library
