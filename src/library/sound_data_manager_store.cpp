#include "library/sound_data_manager.h"

namespace strombel::library {

void SoundDataManager::fetchStoreItems() {
    if (soundStore_) soundStore_->fetchStoreItems();
}

}  // namespace strombel::library
