#include "cpu/leaf_tally.h"

namespace norvi::embree {

LeafTally::LeafTally(const EmbreeSceneManager& scene, int num_bands, bool enabled)
    : num_bands_(num_bands > 0 ? static_cast<std::size_t>(num_bands) : 0) {
    if (!enabled || num_bands_ == 0) return;
    const std::vector<uint32_t> counts = scene.instance_triangle_counts();
    offsets_.assign(counts.size() + 1, 0);
    for (std::size_t i = 0; i < counts.size(); ++i) offsets_[i + 1] = offsets_[i] + counts[i];
    values_.assign(offsets_.back() * num_bands_, 0.0);
    if (values_.empty()) offsets_.clear();
}

void LeafTally::add(Pending& pending, int instance_id, int prim_id, int band, double energy) {
    if (instance_id < 0 || prim_id < 0 || band < 0 || !active()) return;
    const auto inst = static_cast<std::size_t>(instance_id);
    if (inst + 1 >= offsets_.size() || band >= static_cast<int>(num_bands_)) return;
    const std::size_t tri = offsets_[inst] + static_cast<std::size_t>(prim_id);
    if (tri >= offsets_[inst + 1]) return;
    pending.items_.emplace_back(tri * num_bands_ + static_cast<std::size_t>(band), energy);
    if (pending.items_.size() >= Pending::kCapacity) flush(pending);
}

void LeafTally::flush(Pending& pending) {
    if (pending.items_.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [j, e] : pending.items_) values_[j] += e;
    }
    pending.items_.clear();
}

std::vector<float> LeafTally::to_float() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<float>(values_.begin(), values_.end());
}

}  // namespace norvi::embree
