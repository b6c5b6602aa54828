#include "media/AudioMixer.h"

#include <algorithm>
#include <cstring>

namespace mirelo {
namespace loopback {

namespace {

int16_t Clamp(int32_t value) {
    return static_cast<int16_t>(std::min<int32_t>(32767, std::max<int32_t>(-32768, value)));
}

}  // namespace

void AudioMixer::MixInto(int16_t* accumulator, const int16_t* samples, size_t count) {
    if (accumulator == nullptr || samples == nullptr) {
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        accumulator[i] = Clamp(int32_t{accumulator[i]} + int32_t{samples[i]});
    }
}

AudioMixer::AudioMixer(size_t max_buffered_samples) : capacity_limit_(max_buffered_samples) {}

size_t AudioMixer::Push(uint64_t source, const int16_t* samples, size_t count) {
    if (samples == nullptr || count == 0) {
        return 0;
    }
    Fifo* fifo = Find(source);
    if (fifo == nullptr) {
        fifos_.push_back(Fifo{});
        fifo = &fifos_.back();
        fifo->source = source;
    }
    size_t dropped = 0;
    if (count > capacity_limit_) {
        // Only the newest capacity_limit_ samples of this push can stay.
        const size_t skipped = count - capacity_limit_;
        dropped = skipped + fifo->size;
        fifo->Discard(fifo->size);
        samples += skipped;
        count = capacity_limit_;
    } else if (fifo->size + count > capacity_limit_) {
        dropped = fifo->size + count - capacity_limit_;
        fifo->Discard(dropped);
    }
    dropped_ += dropped;
    if (count == 0) {
        return dropped;  // a limit of zero keeps nothing
    }
    fifo->Reserve(fifo->size + count, capacity_limit_);
    fifo->Append(samples, count);
    return dropped;
}

bool AudioMixer::Pop(size_t count, std::vector<int16_t>& out) {
    if (count == 0 || buffered() < count) {
        return false;
    }
    sum_.assign(count, 0);
    for (Fifo& fifo : fifos_) {
        fifo.DrainInto(sum_.data(), count);
    }
    out.resize(count);
    for (size_t i = 0; i < count; ++i) {
        out[i] = Clamp(sum_[i]);
    }
    return true;
}

size_t AudioMixer::buffered() const {
    size_t longest = 0;
    for (const Fifo& fifo : fifos_) {
        longest = std::max(longest, fifo.size);
    }
    return longest;
}

size_t AudioMixer::held() const {
    size_t total = 0;
    for (const Fifo& fifo : fifos_) {
        total += fifo.size;
    }
    return total;
}

void AudioMixer::AddSource(uint64_t source) {
    if (Find(source) == nullptr) {
        fifos_.push_back(Fifo{});
        fifos_.back().source = source;
    }
}

size_t AudioMixer::shortest() const {
    if (fifos_.empty()) {
        return 0;
    }
    size_t shortest = fifos_.front().size;
    for (const Fifo& fifo : fifos_) {
        shortest = std::min(shortest, fifo.size);
    }
    return shortest;
}

size_t AudioMixer::RemoveSource(uint64_t source) {
    const Fifo* fifo = Find(source);
    const size_t held = fifo == nullptr ? 0 : fifo->size;
    fifos_.erase(
        std::remove_if(fifos_.begin(), fifos_.end(), [source](const Fifo& fifo) { return fifo.source == source; }),
        fifos_.end());
    return held;
}

AudioMixer::Fifo* AudioMixer::Find(uint64_t source) {
    for (Fifo& fifo : fifos_) {
        if (fifo.source == source) {
            return &fifo;
        }
    }
    return nullptr;
}

void AudioMixer::Fifo::Reserve(size_t wanted, size_t limit) {
    if (wanted <= ring.size()) {
        return;
    }
    // Geometric growth, so a steady stream settles after a few pushes and then never allocates.
    const size_t grown = std::min(limit, std::max(wanted, ring.size() * 2));
    std::vector<int16_t> larger(grown);
    const size_t first = std::min(size, ring.size() - head);
    std::copy_n(ring.data() + head, first, larger.data());
    std::copy_n(ring.data(), size - first, larger.data() + first);
    ring.swap(larger);
    head = 0;
}

void AudioMixer::Fifo::Append(const int16_t* samples, size_t count) {
    const size_t capacity = ring.size();
    const size_t tail = (head + size) % capacity;
    const size_t first = std::min(count, capacity - tail);
    std::memcpy(ring.data() + tail, samples, first * sizeof(int16_t));
    std::memcpy(ring.data(), samples + first, (count - first) * sizeof(int16_t));
    size += count;
}

void AudioMixer::Fifo::Discard(size_t count) {
    count = std::min(count, size);
    size -= count;
    head = size == 0 ? 0 : (head + count) % ring.size();
}

void AudioMixer::Fifo::DrainInto(int32_t* sum, size_t count) {
    const size_t take = std::min(count, size);
    const size_t capacity = ring.size();
    for (size_t i = 0, index = head; i < take; ++i) {
        sum[i] += ring[index];
        if (++index == capacity) {
            index = 0;
        }
    }
    Discard(take);
}

}  // namespace loopback
}  // namespace mirelo
