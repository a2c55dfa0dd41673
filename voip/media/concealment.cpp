#include "voip/media/concealment.h"

#include <algorithm>
#include <cmath>

namespace voip {

namespace {

int16_t clamped(float value)
{
    return int16_t(std::lround(std::clamp(value, -32768.0f, 32767.0f)));
}

} // namespace

LossConcealer::LossConcealer(unsigned sampleRate)
    : rate_(std::max(sampleRate, 8000u))
    , historySize_(rate_ * 39 / 800)  // 48.75 ms: three 15 ms periods and a quarter
    , shortestPeriod_(rate_ / 200)    // 5 ms: a 200 Hz voice
    , longestPeriod_(rate_ * 3 / 200) // 15 ms: a 66 Hz voice
{
    history_.reserve(historySize_ + rate_ / 10);
}

void LossConcealer::remember(const int16_t* samples, std::size_t count)
{
    history_.insert(history_.end(), samples, samples + count);
    if (history_.size() > historySize_)
        history_.erase(history_.begin(), history_.end() - std::ptrdiff_t(historySize_));
}

std::size_t LossConcealer::findPeriod() const
{
    // The lag whose copy of the last 20 ms matches them best (normalised correlation).
    const std::size_t window = rate_ / 50;
    if (history_.size() < window + longestPeriod_)
        return 0;
    const std::size_t end = history_.size();
    std::size_t best = longestPeriod_;
    double bestScore = 0;
    for (std::size_t lag = shortestPeriod_; lag <= longestPeriod_; ++lag) {
        double correlation = 0;
        double energy = 0;
        for (std::size_t i = end - window; i < end; ++i) {
            const double earlier = history_[i - lag];
            correlation += double(history_[i]) * earlier;
            energy += earlier * earlier;
        }
        if (energy <= 0 || correlation <= 0)
            continue;
        const double score = correlation / std::sqrt(energy);
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

float LossConcealer::gainAt(std::size_t lostSoFar) const
{
    const double ms = double(lostSoFar) * 1000.0 / rate_;
    if (ms < 10)
        return 1.0f;
    return float(std::max(0.0, 1.0 - 0.2 * (ms - 10) / 10));
}

float LossConcealer::nextSynthetic()
{
    if (source_.empty())
        return 0;
    float value = source_[position_];
    position_ = (position_ + 1) % source_.size();
    if (fadeLeft_ > 0 && !previous_.empty()) {
        const float old = previous_[previousPosition_];
        previousPosition_ = (previousPosition_ + 1) % previous_.size();
        const float weight = 1.0f - float(fadeLeft_) / float(fadeLength_ + 1);
        value = old * (1 - weight) + value * weight;
        --fadeLeft_;
    }
    return value;
}

void LossConcealer::conceal(std::size_t samples, std::vector<int16_t>& out)
{
    const std::size_t start = out.size();
    for (std::size_t n = 0; n < samples; ++n) {
        if (lost_ == 0) {
            period_ = findPeriod();
            heardBefore_ = history_;
            periods_ = 0;
            source_.clear();
            fadeLeft_ = 0;
        }
        // One period at first, two after 10 ms, three after 20 ms: a longer gap repeats
        // more of what was heard, which sounds less mechanical.
        const std::size_t wanted = lost_ < rate_ / 100 ? 1 : (lost_ < rate_ / 50 ? 2 : 3);
        if (period_ > 0 && wanted != periods_ && heardBefore_.size() >= wanted * period_) {
            // The same phase in the oldest of the periods now cycled through.
            const std::size_t phase = periods_ == 0 ? 0 : position_ % period_;
            if (periods_ > 0) {
                previous_ = source_;
                previousPosition_ = position_;
                fadeLength_ = fadeLeft_ = period_ / 4;
            }
            source_.assign(heardBefore_.end() - std::ptrdiff_t(wanted * period_),
                           heardBefore_.end());
            periods_ = wanted;
            position_ = phase;
        }
        out.push_back(clamped(nextSynthetic() * gainAt(lost_)));
        ++lost_;
    }
    remember(out.data() + start, samples);
}

void LossConcealer::received(std::vector<int16_t>& pcm, std::size_t from)
{
    from = std::min(from, pcm.size());
    if (lost_ > 0) {
        // A quarter period, and 4 ms more for each 10 ms lost, at most 10 ms.
        const std::size_t blend = std::min({period_ / 4 + (rate_ / 250) * (lost_ / (rate_ / 100)),
                                            std::size_t(rate_ / 100), pcm.size() - from});
        for (std::size_t i = 0; i < blend; ++i) {
            const float fill = nextSynthetic() * gainAt(lost_ + i);
            const float weight = float(i + 1) / float(blend + 1);
            pcm[from + i] = clamped(fill * (1 - weight) + float(pcm[from + i]) * weight);
        }
        lost_ = 0;
    }
    remember(pcm.data() + from, pcm.size() - from);
}

} // namespace voip
