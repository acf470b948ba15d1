#include "optimizer/engine.hpp"

#include <algorithm>
#include <bit>

namespace veltrix {

// ---------------------------------------------------------------------------
// IndexTable

IndexTable::IndexTable(std::size_t expected) {
    // Room for `expected` entries below the load at which insert grows it.
    if (expected > 0) table_.resize_empty(std::bit_ceil(expected + expected / 3 + 2));
}

void IndexTable::insert(std::uint64_t hash, std::uint64_t index) {
    if (index >= 0xffffffffULL) panic("index table holds indices below 2^32 - 1, not " + std::to_string(index));
    if (!table_.has_room(size() + 1)) {
        if (table_.capacity() >= (std::size_t{1} << 32)) panic("index table is full");
        table_.reserve_one();
    }
    table_.insert(hash, index);
}

// ---------------------------------------------------------------------------
// Labels

std::uint64_t Labels::hash(std::string_view text) noexcept {
    Hasher h;
    h.bytes(text);
    return h.finish();
}

std::optional<LabelId> Labels::find(std::string_view text) const {
    const auto found = index_.find(hash(text), [&](std::uint64_t id) { return this->text(id) == text; });
    if (!found) return std::nullopt;
    return static_cast<LabelId>(*found);
}

LabelId Labels::intern(std::string_view text) {
    const std::uint64_t h = hash(text);
    if (auto found = index_.find(h, [&](std::uint64_t id) { return this->text(id) == text; })) {
        return static_cast<LabelId>(*found);
    }
    const auto id = static_cast<LabelId>(size());
    index_.insert(h, id);  // fails first, for the 2^32nd label
    chars_.append(text);
    starts_.push_back(chars_.size());
    boundary_.push_back(text.starts_with("op|") ? 0 : 1);
    return id;
}

// ---------------------------------------------------------------------------
// EngineGraph

namespace {

// Room for `extra` more elements, growing geometrically.
template <class Vector>
void room_for(Vector& v, std::size_t extra) {
    if (v.size() + extra > v.capacity()) v.reserve(std::max(v.size() + extra, 2 * v.capacity()));
}

}  // namespace

EngineGraph::EngineGraph(std::shared_ptr<Labels> labels, LargeVector<LabelId> label, LargeVector<std::uint32_t> first,
                         LargeVector<std::uint32_t> inputs)
    : labels_(std::move(labels)), label_(std::move(label)), first_(std::move(first)), inputs_(std::move(inputs)) {
    if (first_.size() != label_.size() + 1 || first_.front() != 0 || first_.back() != inputs_.size()) {
        panic("engine graph arrays disagree");
    }
}

void EngineGraph::add(LabelId label, std::span<const std::uint32_t> inputs) {
    const std::size_t i = size();
    if (i >= 0xfffffffeULL || inputs_.size() + inputs.size() >= 0xffffffffULL) {
        panic("an engine graph holds fewer than 2^32 - 1 nodes and input entries");
    }
    if (label >= labels_->size()) panic("label " + std::to_string(label) + " is not one of the graph's labels");
    // Room first: a failed allocation leaves the graph as it was.
    room_for(inputs_, inputs.size());
    room_for(first_, 1);
    label_.push_back(label);
    inputs_.insert(inputs_.end(), inputs.begin(), inputs.end());
    first_.push_back(static_cast<std::uint32_t>(inputs_.size()));
}

void EngineGraph::add(std::string_view label, std::span<const std::uint64_t> inputs) {
    std::vector<std::uint32_t> narrow;
    for (std::uint64_t x : inputs) {
        if (x >= 0xffffffffULL) panic("an engine graph holds fewer than 2^32 - 1 nodes");
        narrow.push_back(static_cast<std::uint32_t>(x));
    }
    add(labels_->intern(label), narrow);
}

void EngineGraph::add(std::string_view label, std::initializer_list<std::uint64_t> inputs) {
    add(label, std::span<const std::uint64_t>(inputs.begin(), inputs.size()));
}

void EngineGraph::reserve(std::size_t nodes, std::size_t inputs) {
    label_.reserve(nodes);
    first_.reserve(nodes + 1);
    inputs_.reserve(inputs);
}

void EngineGraph::release() {
    release_early(label_);
    release_early(first_);
    release_early(inputs_);
    label_.clear();
    inputs_.clear();
    first_.assign(1, 0);
}

}  // namespace veltrix
