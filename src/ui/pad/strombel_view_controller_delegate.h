#pragma once

namespace strombel::ui {

/// Told by the main pad screen when sequencer playback starts (true) or stops
/// (false). Delivered on the main loop.
class StrombelViewControllerDelegate {
  public:
    virtual ~StrombelViewControllerDelegate() = default;
    virtual void playbackStateChanged(bool isPlaying) = 0;
};

}  // namespace strombel::ui
