// The flat graph handed to a rewrite engine, and the engine interface.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "graph/hash_table.hpp"
#include "graph/node.hpp"
#include "graph/support.hpp"

namespace veltrix {

// 8-byte slots: the low 32 bits of the hash beside index + 1. The kept bits
// hold the whole position up to 2^32 slots, so growing needs no hashes, and
// an 8-byte slot halves the memory a lookup misses in.
using IndexSlots = TagIdSlots<std::uint32_t, 0>;

// Open-addressing table of indices. It stores only hashes and indices; the
// caller owns the keys and decides equality through a predicate on an index.
class IndexTable {
public:
    explicit IndexTable(std::size_t expected = 0);

    template <class Eq>
    std::optional<std::uint64_t> find(std::uint64_t hash, Eq&& eq) const {
        return table_.find(hash, eq);
    }
    // Adds an entry; does not look for an equal one first.
    void insert(std::uint64_t hash, std::uint64_t index);
    // Starts loading the slot a lookup of `hash` reads first.
    void prefetch(std::uint64_t hash) const noexcept { table_.prefetch(hash); }
    std::size_t size() const noexcept { return table_.size(); }

private:
    OpenTable<IndexSlots> table_;
};

// Position of an engine label in its Labels.
using LabelId = std::uint32_t;

// The labels of a family of engine graphs (a reduction's input graph, the
// engine's answer and its deduplicated form), each distinct text once. Nodes
// carry label ids: equal ids for equal texts, and no text per node.
class Labels {
public:
    Labels() = default;
    Labels(const Labels&) = delete;
    Labels& operator=(const Labels&) = delete;

    // The id of `text`, adding it when new.
    LabelId intern(std::string_view text);
    // The id of `text`, if it is here.
    std::optional<LabelId> find(std::string_view text) const;
    std::string_view text(LabelId id) const {
        return std::string_view(chars_).substr(starts_.at(id), starts_.at(id + 1) - starts_[id]);
    }
    // Every label but an operation's (an operation's token starts with "op|").
    bool boundary(LabelId id) const { return boundary_.at(id) != 0; }
    std::size_t size() const noexcept { return boundary_.size(); }

    static std::uint64_t hash(std::string_view text) noexcept;

private:
    std::string chars_;                      // the texts, back to back
    std::vector<std::size_t> starts_{0};     // text k is chars_[starts_[k], starts_[k + 1])
    std::vector<std::uint8_t> boundary_;
    IndexTable index_;
};

// An engine graph: node i has a label and a list of input indices, each
// smaller than i. The nodes are kept flat (label ids, and the input lists
// back to back) so that a graph of millions of nodes takes a few arrays.
// Indices are 32-bit: an engine graph holds fewer than 2^32 - 1 nodes and
// input entries.
class EngineGraph {
public:
    // An empty graph with labels of its own, or sharing `labels`.
    EngineGraph() : EngineGraph(std::make_shared<Labels>()) {}
    explicit EngineGraph(std::shared_ptr<Labels> labels) : labels_(std::move(labels)) {}
    // A graph made of ready arrays: node i has label `label[i]` and the
    // inputs inputs[first[i], first[i + 1]); first[0] is 0.
    EngineGraph(std::shared_ptr<Labels> labels, LargeVector<LabelId> label, LargeVector<std::uint32_t> first,
                LargeVector<std::uint32_t> inputs);

    std::size_t size() const noexcept { return label_.size(); }
    LabelId label_id(std::size_t i) const { return label_[i]; }
    std::string_view label(std::size_t i) const { return labels_->text(label_[i]); }
    // True for every node that is not an operation.
    bool boundary(std::size_t i) const { return labels_->boundary(label_[i]); }
    std::span<const std::uint32_t> inputs(std::size_t i) const {
        return {inputs_.data() + first_[i], first_[i + 1] - first_[i]};
    }
    std::size_t input_count() const noexcept { return inputs_.size(); }

    const std::shared_ptr<Labels>& labels() const noexcept { return labels_; }

    // Appends a node with a label of labels().
    void add(LabelId label, std::span<const std::uint32_t> inputs);
    // Appends a node, interning its label.
    void add(std::string_view label, std::initializer_list<std::uint64_t> inputs);
    void add(std::string_view label, std::span<const std::uint64_t> inputs);
    void reserve(std::size_t nodes, std::size_t inputs);
    // Gives back the memory of the node lists now.
    void release();
    // Moves the label array out, for a consumer that reads each node's label
    // once and then reuses the array: afterwards size() is 0 and only
    // inputs(i) may be read, until release().
    LargeVector<LabelId> take_labels() { return std::move(label_); }

    std::vector<std::uint64_t> outputs;  // indices of the requested outputs, in request order

private:
    std::shared_ptr<Labels> labels_;
    LargeVector<LabelId> label_;
    LargeVector<std::uint32_t> first_{0};  // node i's inputs are inputs_[first_[i], first_[i + 1])
    LargeVector<std::uint32_t> inputs_;
};

struct Canonical {
    EngineGraph graph;
    LargeVector<std::uint32_t> map;  // one entry per node handed in
    // Set by an engine that vouches that no two nodes of `graph` have the
    // same label and the same inputs: common-subexpression elimination then
    // has nothing to merge, and the pipeline skips it.
    bool duplicate_free = false;
};

// Merges nodes that are equal under the engine's rules and under structural
// identity. Must keep no state between calls.
class RewriteEngine {
public:
    virtual ~RewriteEngine() = default;
    virtual Canonical canonicalize(const EngineGraph& graph) const = 0;
    // The same, for a caller that has no further use for `graph`: an engine
    // may give its memory back as soon as it has read it.
    virtual Canonical canonicalize(EngineGraph&& graph) const { return canonicalize(graph); }
};

}  // namespace veltrix
