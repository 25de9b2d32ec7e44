#pragma once

#include <QPointF>
#include <cstdint>

#include "ui/kit/table_view.h"

namespace strombel::ui {

/// What the library browser asks of the pad screen. Main loop only.
class DragDropTableViewControllerDelegate {
public:
    virtual ~DragDropTableViewControllerDelegate() = default;
    /// A pack sample (section = pack, row = sample of the library's pack sample
    /// results) was dropped outside the browser, at `droppedAt` in the browser
    /// view's points.
    virtual void soundpackSampleWithIndexPath(const kit::IndexPath& indexPath, const QPointF& droppedAt) = 0;
    virtual void renameSoundbank(uint64_t bankIndex) = 0;
    virtual void editUserSample(uint64_t userSampleIndex) = 0;
    virtual void soundbankSelected(uint64_t bankIndex) = 0;
    /// "PASTE SAMPLE": opens the paste sheet.
    virtual void engageExchangePaste() = 0;
    /// "RECORD SAMPLE": opens or closes the sample editor panel.
    virtual void toggleSampleRecording() = 0;
};

}  // namespace strombel::ui
