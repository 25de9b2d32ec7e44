// Pack files: a pack's description read into packs, banks and samples.

#include "library/sound_data_manager.h"

#include "library/pack_file.h"
#include "logging/log.h"

namespace strombel::library {

platform::Result<std::shared_ptr<Soundpack>> SoundDataManager::addSoundpackFromJson(const std::string& text) {
    auto read = readPackDescription(text);
    if (!read.ok()) {
        STROMBEL_LOG_ERROR("could not import soundpack: {}", read.error().description());
        return read.error();
    }
    const PackDescription& description = read.value();

    std::shared_ptr<Soundpack> pack;
    for (const auto& existing : soundpacks()) {
        if (existing->packId() == description.id) {
            pack = existing;
            break;
        }
    }
    if (pack) {
        STROMBEL_LOG_DEBUG("soundpack with id {} exists in database", description.id);
    } else {
        pack = context_->insertSoundpack();
        pack->setName(description.name);
        pack->setPackId(description.id);
    }

    const std::string folder = description.bundled ? std::string(platform::Sandbox::kBundleFolderName)
                                                   : std::string(kDownloadsRelative);
    int64_t nextOrder = static_cast<int64_t>(highestSoundbankOrderId()) + 1;
    int64_t soundCounter = 0;
    for (const PackBank& bankDescription : description.banks) {
        // A pack installed again (its first installation removed) fills the bank
        // its removal emptied, in its place, instead of adding one of the same name.
        // Only a bank of this pack's own: never one of the user's of that name.
        auto bank = emptySoundbankOfPack(description, bankDescription.name);
        if (!bank) {
            bank = context_->insertSoundbank();
            bank->setName(bankDescription.name);
            bank->setOrderId(nextOrder++);
            bank->setSourcePackId(description.id);
        }
        for (size_t pad = 0; pad < bankDescription.sounds.size(); ++pad) {
            const PackSound& sound = bankDescription.sounds[pad];
            const std::string path = folder + "/" + sound.file;
            auto sample = sampleWithFilepath(path);
            if (sample) {
                STROMBEL_LOG_DEBUG("sample already exists in DB, skipping: {}", sample->name());
            } else {
                sample = context_->insertSample();
                sample->setFilepath(path);
                sample->setName(sound.name.empty() ? sound.file : sound.name);
                sample->setPackOrderId(soundCounter);
                sample->setVolume(1.0f);
                sample->setSoundpack(pack);
            }
            auto assignment = context_->insertSoundbankSample();
            assignment->setSoundbank(bank);
            assignment->setSample(sample);
            assignment->setOrderId(pad);
            ++soundCounter;
        }
    }
    saveSamples();
    saveSoundbanks();
    STROMBEL_LOG_DEBUG("added soundpack to database: {}", pack->name());
    return pack;
}

std::shared_ptr<Soundbank> SoundDataManager::emptySoundbankOfPack(const PackDescription& description,
                                                                 const std::string& name) const {
    // The user may have renamed the bank before the pack was removed: an emptied
    // bank of the pack whose name none of the pack's banks has is that one.
    auto namedInPack = [&description](const std::string& bankName) {
        for (const PackBank& bank : description.banks)
            if (bank.name == bankName) return true;
        return false;
    };
    std::shared_ptr<Soundbank> renamed;
    for (const auto& bank : soundbanks()) {
        if (bank->sourcePackId() != description.id || !bank->samplesInBankPointers().empty()) continue;
        if (bank->name() == name) return bank;
        if (!renamed && !namedInPack(bank->name())) renamed = bank;
    }
    return renamed;
}

std::optional<std::vector<std::string>> SoundDataManager::relativeSamplePathFromJson(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        STROMBEL_LOG_ERROR("cant parse track paths from json, empty string (or nil)");
        return std::nullopt;
    }
    auto read = readPackDescription(text);
    if (!read.ok()) {
        STROMBEL_LOG_ERROR("cant parse track paths from json: {}", read.error().description());
        return std::nullopt;
    }
    std::vector<std::string> files;
    for (const PackBank& bank : read.value().banks) {
        for (const PackSound& sound : bank.sounds) files.push_back(sound.file);
    }
    return files;
}

}  // namespace strombel::library
