#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace strombel::engine {

/// What the library reports to the engine when its contents change. Delivered on
/// the main thread.
class SoundLibraryObserver {
public:
    virtual ~SoundLibraryObserver() = default;
    virtual void samplesChanged() {}
    virtual void soundbanksChanged() {}
    virtual void storeItemsDownloadingCompleted() {}
};

/// One sample of the library: its relative file path (the key everywhere) and its
/// stored volume.
struct LibrarySample {
    std::string filePath;
    std::string name;
    float volume = 1.0f;
};

/// One sample on one pad of one bank. `pad` is the assignment's order number (0
/// to 11 when usable); `hasSample` is false when the assignment names no sample.
struct LibraryPadAssignment {
    int64_t pad = 0;
    bool hasSample = true;
    LibrarySample sample;
};

/// What the engine needs of the sample library: the samples, the banks' pad
/// assignments and change notifications. The library (or the program) provides
/// it; called on the main thread only.
class SoundLibrary {
public:
    virtual ~SoundLibrary() = default;
    virtual std::vector<LibrarySample> samples() const = 0;
    /// The pad assignments of bank `bankIndex` (0 to 9).
    virtual std::vector<LibraryPadAssignment> soundbankSamplesOfSoundbank(uint64_t bankIndex) const = 0;
    virtual void addDelegate(SoundLibraryObserver* observer) = 0;
    virtual void removeDelegate(SoundLibraryObserver* observer) = 0;
};

}  // namespace strombel::engine
