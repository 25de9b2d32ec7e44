// The library's side of the pack store.

#include "library/sound_data_manager.h"

namespace strombel::library {

void SoundDataManager::setStore(std::unique_ptr<SoundStore> store) {
    soundStore_ = std::move(store);
    if (soundStore_) soundStore_->fetchStoreItems();
}

void SoundDataManager::fetchStoreItems() {
    if (soundStore_) soundStore_->fetchStoreItems();
}

}  // namespace strombel::library
