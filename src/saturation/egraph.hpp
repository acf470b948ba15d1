// The e-graph: hash-consed e-nodes grouped into equivalence classes, with
// union-find and congruence closure restored by rebuild().
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "saturation/symbol.hpp"

namespace veltrix::sat {

// E-class id. Handed out densely from 0, one per class ever created.
using Id = std::uint32_t;

// An operator applied to an ordered list of child classes. Up to four
// children live inline, so the common e-node is a 24-byte value that copies
// without touching the heap.
class ENode {
public:
    static constexpr std::uint32_t kInline = 4;

    ENode() noexcept : op_(), size_(0) {}
    ENode(Symbol op, std::span<const Id> children);
    ENode(Symbol op, std::initializer_list<Id> children)
        : ENode(op, std::span<const Id>(children.begin(), children.size())) {}
    ENode(const ENode& other);
    ENode(ENode&& other) noexcept;
    ENode& operator=(const ENode& other);
    ENode& operator=(ENode&& other) noexcept;
    ~ENode() {
        if (size_ > kInline) delete[] heap_;
    }

    Symbol op() const noexcept { return op_; }
    std::uint32_t arity() const noexcept { return size_; }
    std::span<const Id> children() const noexcept { return {data(), size_}; }
    std::span<Id> children() noexcept { return {data(), size_}; }

    // An e-node matches a pattern node with the same operator and arity.
    bool matches(Symbol op, std::uint32_t arity) const noexcept { return op_ == op && size_ == arity; }

    std::uint64_t hash() const noexcept;

    friend bool operator==(const ENode& a, const ENode& b) noexcept {
        return a.op_ == b.op_ && a.size_ == b.size_ &&
               std::memcmp(a.data(), b.data(), a.size_ * sizeof(Id)) == 0;
    }
    // Total order: operator, then arity, then children.
    friend bool operator<(const ENode& a, const ENode& b) noexcept;

private:
    const Id* data() const noexcept { return size_ > kInline ? heap_ : inline_; }
    Id* data() noexcept { return size_ > kInline ? heap_ : inline_; }

    Symbol op_;
    std::uint32_t size_;
    union {
        Id inline_[kInline];
        Id* heap_;
    };
};

// An equivalence class. `parents` lists the (e-node, class) entries that use
// this class as a child; entry k stands for the e-node that created class k,
// exactly as it was added, paired with k.
struct EClass {
    Id id = 0;
    std::vector<ENode> nodes;
    std::vector<Id> parents;
};

class EGraph {
public:
    EGraph() = default;
    EGraph(const EGraph&) = delete;
    EGraph& operator=(const EGraph&) = delete;
    EGraph(EGraph&&) noexcept = default;
    EGraph& operator=(EGraph&&) noexcept = default;

    void reserve(std::size_t nodes);

    // Hash-consed add. Returns the existing id when the canonical e-node is
    // already known; otherwise creates a class holding it.
    Id add(ENode node);

    // Root of the id's union-find tree.
    Id find(Id id) const;

    // Merges the classes of a and b. Always marks the e-graph not clean.
    // Returns whether two distinct classes were merged.
    bool union_classes(Id a, Id b);

    // Restores the congruence invariant; returns the number of congruence
    // merges it made.
    std::size_t rebuild();

    // Id of the class holding `node` (children canonicalised first), if any.
    std::optional<Id> lookup(ENode node) const;

    // Entries in the hash-cons table.
    std::size_t total_size() const noexcept { return table_.size(); }
    std::size_t class_count() const noexcept { return live_classes_; }
    // Number of ids ever handed out.
    std::size_t id_count() const noexcept { return parent_.size(); }
    bool clean() const noexcept { return clean_; }

    // The class of `id` (looked up through find).
    const EClass& eclass(Id id) const;

    // Calls f(const EClass&) for every class, in id order.
    template <class F>
    void for_each_class(F&& f) const {
        for (const EClass& c : classes_) {
            if (c.id != kDead) f(c);
        }
    }

    // Calls f(const EClass&) once for every class holding an e-node with
    // operator `op`, without looking at other classes. Stops early when f
    // returns false.
    template <class F>
    void for_each_class_with_op(Symbol op, F&& f) const {
        const std::uint32_t slot = op_slot(op);
        if (slot == kNone) return;
        const std::uint32_t stamp = next_visit_stamp();
        for (Id k = op_heads_[slot].head; k != kNone; k = op_next_[k]) {
            const Id root = find(k);
            if (visit_stamp_[root] == stamp) continue;
            visit_stamp_[root] = stamp;
            if (!f(classes_[root])) return;
        }
    }

    // Checks that every class is canonical, sorted and duplicate-free and
    // that no two classes share an e-node. Only meaningful on a clean
    // e-graph; used by tests.
    std::optional<std::string> check_invariants() const;

private:
    static constexpr Id kNone = 0xffffffffu;
    static constexpr Id kDead = 0xffffffffu;

    // Open-addressing hash-cons table; entries are never removed.
    class NodeTable {
    public:
        std::size_t size() const noexcept { return entries_.size(); }
        void reserve(std::size_t n);
        const Id* find(const ENode& key, std::uint64_t hash) const;
        // Inserts or overwrites; returns the previous id when there was one.
        std::optional<Id> insert(ENode key, std::uint64_t hash, Id id, std::uint32_t* entry_index);
        const ENode& key(std::uint32_t entry) const { return entries_[entry].key; }

    private:
        struct Entry {
            ENode key;
            Id id;
        };
        void grow();
        std::vector<Entry> entries_;
        std::vector<std::uint64_t> slots_;  // (hash low 32 << 32) | (entry + 1); 0 = empty
        std::uint64_t mask_ = 0;
    };

    struct OpList {
        Symbol op;
        Id head = kNone;
        Id tail = kNone;
    };

    Id find_mut(Id id);
    void canonicalize(ENode& node);
    std::uint32_t op_slot(Symbol op) const;
    std::uint32_t op_slot_or_insert(Symbol op);
    std::uint32_t next_visit_stamp() const;
    void canonicalize_class(EClass& c);

    std::vector<Id> parent_;               // union-find
    std::vector<EClass> classes_;          // indexed by id; absorbed ones carry kDead
    std::vector<std::uint32_t> created_;   // id -> table entry of the e-node that created it
    NodeTable table_;
    std::vector<Id> pending_;              // parent entries awaiting repair
    std::vector<Id> touched_;              // classes whose e-node lists may need canonicalising
    std::size_t live_classes_ = 0;
    bool clean_ = false;

    // Index by operator: a linked list through the ids that each operator's
    // e-nodes created, and an open-addressing map from operator to its list.
    std::vector<Id> op_next_;
    std::vector<OpList> op_heads_;
    std::vector<std::uint32_t> op_slots_;  // symbol-keyed slots into op_heads_ (+1; 0 = empty)

    // Scratch used to visit each class once per traversal.
    mutable std::vector<std::uint32_t> visit_stamp_;
    mutable std::uint32_t visit_epoch_ = 0;
};

}  // namespace veltrix::sat
