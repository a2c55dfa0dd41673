#pragma once

#include <chrono>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "voip/device/soundchannel.h"

namespace voip {

/// What a device test reports while it runs, and how it is stopped early.
struct DeviceTestControl
{
    /// Called on the test's thread after each buffer: the phase ("recording" or
    /// "playing") and the fraction of that phase done, 0 to 1.
    std::function<void(const std::string& phase, double fraction)> progress;
    std::stop_token stop;
};

/// What a device test did.
struct DeviceTestReport
{
    double recordedSeconds = 0;
    double playedSeconds = 0;
    unsigned peakPercent = 0; ///< loudest recorded sample, percent of full scale
    double rmsLevel = 0;      ///< of the recorded audio, in sample units
    bool stopped = false;     ///< stopped early through DeviceTestControl::stop
    std::string text;         ///< one line for the user
};

/// Records `duration` from the recorder device, then plays the recording on the player
/// device (the audio settings' microphone test).  Blocks the calling thread; an error when
/// either device cannot be opened or fails.
MediaResult<DeviceTestReport> runRecorderTest(const SoundParams& recorder,
                                              const SoundParams& player,
                                              std::chrono::milliseconds duration,
                                              const DeviceTestControl& control = {});

/// Plays a sound on the player device (the loudspeaker test): the WAV file `soundFile`, or
/// the built-in chime when it is empty.  Blocks the calling thread.
MediaResult<DeviceTestReport> runPlayerTest(const SoundParams& player,
                                            const std::string& soundFile = {},
                                            const DeviceTestControl& control = {});

/// The built-in test sound: three rising bell-like notes (C6, E6, G6) of 0.5 s each with
/// decaying loudness, then 0.5 s of silence: 2 s in all, interleaved for `channels`.
std::vector<int16_t> makeTestChime(unsigned sampleRate, unsigned channels = 1);

} // namespace voip
