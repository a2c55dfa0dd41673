#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

#include "voip/device/soundchannel.h"

/// The tones a telephone plays while a call is being set up: the ring of an incoming call
/// waiting for the user, and the ringback while the far end is alerted.  They are played on
/// the loudspeaker the calls use, so its volume and mute apply to them as to the call.
class KxRinger
{
public:
    enum class Tone
    {
        None,
        Ring,     ///< a call waits for the user: "ring-ring", then a pause
        Ringback, ///< the far end is being alerted: a low tone of one second, then four silent
    };
    static constexpr unsigned SampleRate = 8000;

    KxRinger() = default;
    ~KxRinger();
    KxRinger(const KxRinger&) = delete;
    KxRinger& operator=(const KxRinger&) = delete;

    /// Plays `tone` from its start on `loudspeaker` (its driver and device), in place of any
    /// other tone; the same tone goes on.  Returns at once: the device is opened and written
    /// on a thread of the ringer's.
    void play(Tone tone, const voip::SoundParams& loudspeaker);
    /// Stops the tone at once (within a buffer of 20 ms).
    void stop();
    Tone playing() const;

    /// The tone's samples from sample `first` of its cadence on (it repeats for ever).
    static void fill(Tone tone, std::uint64_t first, std::span<std::int16_t> samples);

private:
    void run(std::stop_token stop, Tone tone, voip::SoundParams params);

    mutable std::mutex mutex_;
    Tone tone_ = Tone::None;
    std::jthread thread_;
};
