// What a search accepts: a mask screen, id lists as node sets, a bound on the node's cached squared
// norm and a bound on its distance. The three searches read their norm argument differently and treat NaN differently; each
// named constructor below is one search's reading, so they can be compared side by side.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vek {

struct Filter {
    uint64_t mask = 0;  // bits a node must carry; 0 accepts every node
    uint64_t any = 0;   // bits of which a node must carry at least one; 0 accepts every node

    bool norm_on = false;
    float norm_floor = 0.0f;       // smallest cached squared norm accepted
    bool nan_norm_passes = false;  // whether a NaN cached norm passes

    bool ceiling_on = false;
    float norm_ceiling = 0.0f;  // largest cached squared norm accepted

    bool radius_on = false;
    float radius = 0.0f;               // largest distance accepted, in the metric's own units
    bool nan_distance_passes = false;  // whether a NaN distance passes

    // Node lists, each a bitmap over the nodes (bit i of word i / 64 for node i) or null: a node must be
    // set in `allowed` and clear in `denied`. `allowed_nodes` holds the nodes of `allowed` ascending,
    // so that a scan can visit those alone.
    const uint64_t* allowed = nullptr;
    const uint64_t* denied = nullptr;
    const int32_t* allowed_nodes = nullptr;
    size_t allowed_count = 0;

    // Graph search: `min_norm` is a plain norm, squared in float32 before the comparison; the bounds
    // reject only what compares as out of range, so a NaN norm or distance passes.
    static Filter graph(uint64_t mask, float max_radius, float min_norm) {
        return make(mask, min_norm >= 0.0f, min_norm * min_norm, true, max_radius, true);
    }
    // Filtered search: `min_norm` is compared with the cached squared norm as it is; a NaN norm or
    // distance fails.
    static Filter filtered(uint64_t mask, float max_radius, float min_norm) {
        return make(mask, min_norm >= 0.0f, min_norm, false, max_radius, false);
    }
    // Exhaustive search: `min_norm_sq` is a squared norm accepted with a slack of 0.15 (subtracted in
    // float32); a NaN norm passes, a NaN distance fails.
    static Filter exhaustive(uint64_t mask, float max_radius, float min_norm_sq) {
        return make(mask, min_norm_sq >= 0.0f, min_norm_sq - 0.15f, true, max_radius, false);
    }

    // quellix's searches: inclusive bounds on the cached squared norm, each off when negative, and a
    // bound on the metric's distance value, off when negative. A NaN norm or distance fails.
    static Filter norm_range(uint64_t mask, float max_value, float min_norm_sq, float max_norm_sq) {
        Filter f = make(mask, min_norm_sq >= 0.0f, min_norm_sq, false, max_value, false);
        f.ceiling_on = max_norm_sq >= 0.0f;
        f.norm_ceiling = max_norm_sq;
        return f;
    }

    // Whether screen() passes every node, so that a scan need not read masks or norms for it.
    bool screens_nothing() const {
        return mask == 0 && any == 0 && !norm_on && !ceiling_on && allowed == nullptr && denied == nullptr;
    }
    bool admits(size_t node) const {
        if (allowed != nullptr && !(allowed[node / 64] >> (node % 64) & 1)) return false;
        return denied == nullptr || !(denied[node / 64] >> (node % 64) & 1);
    }
    // The screens that need no distance: node lists, mask and norm.
    bool screen(size_t node, uint64_t node_mask, float node_norm) const {
        if (!admits(node)) return false;
        if ((node_mask & mask) != mask) return false;
        if (any != 0 && (node_mask & any) == 0) return false;
        if (norm_on && !(nan_norm_passes ? !(node_norm < norm_floor) : node_norm >= norm_floor)) return false;
        if (ceiling_on && !(node_norm <= norm_ceiling)) return false;
        return true;
    }
    bool within(float d) const {
        return !radius_on || (nan_distance_passes ? !(d > radius) : d <= radius);
    }
    bool passes(size_t node, uint64_t node_mask, float node_norm, float d) const {
        return screen(node, node_mask, node_norm) && within(d);
    }

private:
    // A negative (or NaN) max_radius switches the radius bound off.
    static Filter make(uint64_t mask, bool norm_on, float norm_floor, bool nan_norm_passes, float max_radius,
                       bool nan_distance_passes) {
        Filter f;
        f.mask = mask;
        f.norm_on = norm_on;
        f.norm_floor = norm_floor;
        f.nan_norm_passes = nan_norm_passes;
        f.radius_on = max_radius >= 0.0f;
        f.radius = max_radius;
        f.nan_distance_passes = nan_distance_passes;
        return f;
    }
};

}  // namespace vek
