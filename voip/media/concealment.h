#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace voip {

/// Fills the gaps lost packets leave in decoded speech, for any waveform codec (G.711,
/// G.722): the last pitch period heard is repeated, from one period at first to three as
/// the gap grows, so that a voice goes on rather than clicking into silence; after 10 ms
/// the fill fades, 20 % each further 10 ms, and from 60 ms on it is silence.  The first
/// audio after a gap is blended with the fill's continuation, the longer the gap the longer
/// the blend.  The timeline is kept: a gap gives exactly as many samples as it lasted.
///
/// One thread at a time.
class LossConcealer
{
public:
    explicit LossConcealer(unsigned sampleRate);

    /// Decoded audio that arrived: `pcm[from..]` is the new part.  After a gap, its start
    /// is blended with the fill.
    void received(std::vector<int16_t>& pcm, std::size_t from = 0);
    /// `samples` were lost: appends their fill to `out`.  Nothing heard yet: silence.
    void conceal(std::size_t samples, std::vector<int16_t>& out);

    /// The pitch period the last gap was filled with, in samples (0 before a gap).
    std::size_t pitchPeriod() const { return period_; }

private:
    void remember(const int16_t* samples, std::size_t count);
    std::size_t findPeriod() const;
    /// The next sample of the fill at full strength.
    float nextSynthetic();
    float gainAt(std::size_t lostSoFar) const;

    const unsigned rate_;
    const std::size_t historySize_; ///< enough for three of the longest periods and a blend
    const std::size_t shortestPeriod_;
    const std::size_t longestPeriod_;
    std::vector<int16_t> history_; ///< the last historySize_ samples, oldest first

    // The gap being filled.
    std::size_t lost_ = 0;           ///< samples filled in this gap so far
    std::size_t period_ = 0;
    std::size_t periods_ = 0;        ///< periods of the history the fill cycles through
    std::vector<int16_t> heardBefore_; ///< the history when the gap began
    std::vector<float> source_;      ///< those periods, oldest first
    std::size_t position_ = 0;       ///< where in source_ the next fill sample comes from
    /// The periods cycled through before the last widening, faded out over a quarter period.
    std::vector<float> previous_;
    std::size_t previousPosition_ = 0;
    std::size_t fadeLeft_ = 0;
    std::size_t fadeLength_ = 0;
};

} // namespace voip
