// The e-graph: hash-consed e-nodes grouped into equivalence classes, with
// union-find and congruence closure restored by rebuild().
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "graph/hash_table.hpp"
#include "graph/support.hpp"
#include "saturation/symbol.hpp"

namespace veltrix::sat {

// E-class id. Handed out densely from 0, one per class ever created.
using Id = std::uint32_t;
// Never an id: ids stay below it.
inline constexpr Id kNoId = 0xffffffffu;

// An operator applied to an ordered list of child classes. Up to two
// children live inline, so the common e-node is a 16-byte value that copies
// without touching the heap.
class ENode {
public:
    static constexpr std::uint32_t kInline = 2;

    ENode() noexcept : op_(), size_(0), heap_(nullptr) {}
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
    // Whether this is the e-node (op, children). A plain loop: the child
    // lists are short, and a library compare would call memcmp.
    bool is(Symbol op, std::span<const Id> children) const noexcept {
        if (op_ != op || size_ != children.size()) return false;
        const Id* x = data();
        for (std::uint32_t i = 0; i < size_; ++i) {
            if (x[i] != children[i]) return false;
        }
        return true;
    }

    std::uint64_t hash() const noexcept { return hash_of(op_, children()); }
    // The hash of an e-node with this operator and these children.
    static std::uint64_t hash_of(Symbol op, std::span<const Id> children) noexcept;

    friend bool operator==(const ENode& a, const ENode& b) noexcept {
        if (a.op_ != b.op_ || a.size_ != b.size_) return false;
        const Id* x = a.data();
        const Id* y = b.data();
        for (std::uint32_t i = 0; i < a.size_; ++i) {
            if (x[i] != y[i]) return false;
        }
        return true;
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

// A snapshot of one equivalence class, its e-nodes in ascending order.
// `parents` lists the (e-node, class)
// entries that use this class as a child; entry k stands for the e-node that
// created class k, exactly as it was added, paired with k.
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

    // Room for `nodes` ids without moving the records, and a hash-cons
    // table sized for `entries` (the table is touched in full; the records
    // only as they fill).
    void reserve(std::size_t nodes, std::size_t entries);

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
    std::size_t id_count() const noexcept { return uf_.size(); }
    bool clean() const noexcept { return clean_; }
    // Unions that merged two classes, counted over the e-graph's life.
    std::uint64_t merge_count() const noexcept { return merge_count_; }
    // Whether `id` (a valid id) is the root of its class.
    bool is_root(Id id) const noexcept { return uf_[id] == id; }

    // A value the caller attaches to the class with root `root`, kept in a
    // dense array of its own (made on the first set_tag) so that reading
    // tags after a find touches no class record. Starts as kNoTag; a union
    // that absorbs a class drops its tag, so tags are meant for an e-graph
    // that no longer changes.
    static constexpr std::uint32_t kNoTag = 0xffffffffu;
    std::uint32_t tag(Id root) const { return root < tags_.size() ? tags_[root] : kNoTag; }
    void set_tag(Id root, std::uint32_t value) {
        check_id(root);
        if (root >= tags_.size()) tags_.resize(classes_.size(), kNoTag);
        tags_[root] = value;
    }
    // Hints that tag(root) is coming.
    void prefetch_tag(Id root) const {
        if (root < tags_.size()) __builtin_prefetch(&tags_[root]);
    }

    // A copy of the class of `id` (looked up through find).
    EClass eclass(Id id) const;

    // Number of e-nodes with operator `op` and `arity` over all classes
    // (each counted once). Only meaningful on a clean e-graph.
    std::uint64_t node_count(Symbol op, std::uint32_t arity) const;

    // Calls f(Id root) for every class, in id order.
    template <class F>
    void for_each_class(F&& f) const {
        for (Id id = 0; id < classes_.size(); ++id) {
            if (uf_[id] == id) f(id);
        }
    }

    // Calls f(Id root) once for every class holding an e-node with operator
    // `op`, without looking at other classes. Stops early when f returns
    // false. Not reentrant: f must not start another such traversal.
    template <class F>
    void for_each_class_with_op(Symbol op, F&& f) const {
        if (op.is_atom()) panic("atoms are not indexed by operator");
        const std::uint32_t slot = op_slot(op);
        if (slot == kNone) return;
        begin_visits();
        const LargeVector<Id>& ids = op_heads_[slot].ids;
        // In stages, some ids ahead: the id's link, the record of its
        // parent (the root for all but long paths, and its first e-node),
        // then the root's second e-node (all of them in the common classes
        // of one or two). A step here is short, so the stages are 16 ids
        // apart to cover a miss to main memory.
        constexpr std::size_t kStageGap = 16;
        for (std::size_t j = 0; j < ids.size(); ++j) {
            if (j + 3 * kStageGap < ids.size()) __builtin_prefetch(&uf_[ids[j + 3 * kStageGap]]);
            if (j + 2 * kStageGap < ids.size()) {
                const Id up = uf_[ids[j + 2 * kStageGap]];
                __builtin_prefetch(&uf_[up]);
                prefetch_record(up);
            }
            if (j + kStageGap < ids.size()) {
                const Id soon = uf_[uf_[ids[j + kStageGap]]];
                const std::uint32_t second = classes_[soon].next;
                if (second != soon) prefetch_record(second);
            }
            const Id root = find(ids[j]);
            if (!first_visit(root)) continue;
            if (!f(root)) return;
        }
    }

    // Hints that add(node) is coming. Meant to be issued in stages, each a
    // little later than the previous one: the table slot, then the entry
    // (the record) the slot points to, then that record's union-find link,
    // or when there is no such entry the records of the children, which a
    // new e-node enters itself in. A child may be an id not handed out yet,
    // which the caller expects a later add to create.
    enum class AddStage { Slot, Entry, Class };
    void prefetch_add(const ENode& node, AddStage stage = AddStage::Slot) const {
        prefetch_add(node.op(), node.children(), stage);
    }
    void prefetch_add(Symbol op, std::span<const Id> children, AddStage stage = AddStage::Slot) const;
    // The union-find link of `id` (a valid id): one step towards its root.
    Id link(Id id) const noexcept { return uf_[id]; }
    // Hints that find(id) is coming. While every id is a root, a find reads
    // no link.
    void prefetch_link(Id id) const {
        if (!all_roots() && id < uf_.size()) __builtin_prefetch(&uf_[id]);
    }
    // Hints that find(id) or a union involving id is coming.
    void prefetch_class(Id id) const {
        if (id < classes_.size()) {
            if (!all_roots()) __builtin_prefetch(&uf_[id]);
            prefetch_record(id);
        }
    }

    // Calls f(const ENode&) for every e-node of the class with root `root`.
    template <class F>
    void for_each_node(Id root, F&& f) const {
        for_each_record(root, [&](Id, const ENode& n) { f(n); });
    }
    // The same, with the id of the record holding the e-node: f(Id, const ENode&).
    template <class F>
    void for_each_record(Id root, F&& f) const {
        std::uint32_t r = root;
        do {
            f(r, classes_[r].node);
            r = classes_[r].next;
        } while (r != root);
    }

    // Gives back the hash-cons table, the operator index and the parent
    // chains, for a caller that from here on only reads classes, tags and
    // the e-nodes of ids (node_of): afterwards nothing may change the
    // e-graph but set_tag.
    void drop_index();
    // Gives back the union-find too: afterwards only tag and node_of may be
    // used (the children of a rebuilt e-graph's e-nodes are roots, whose
    // tags need no find).
    void drop_links();
    // The e-node that created id `id`, its children kept canonical as their
    // classes merged.
    const ENode& node_of(Id id) const {
        if (id >= classes_.size()) panic("no e-class with id " + std::to_string(id));
        return classes_[id].node;
    }
    // Hints that node_of(id) is coming.
    void prefetch_node_of(Id id) const {
        if (id < classes_.size()) prefetch_record(id);
    }

    // Checks that every class is canonical and duplicate-free and
    // that no two classes share an e-node. Only meaningful on a clean
    // e-graph; used by tests.
    std::optional<std::string> check_invariants() const;

private:
    static constexpr std::uint32_t kNone = 0xffffffffu;

    // Until a union has merged two classes, every id is its own root.
    bool all_roots() const noexcept { return merge_count_ == 0; }

    // One record per id. It holds the e-node that created the id, kept
    // canonical as its children's classes merge, and a link in the e-node
    // chain of the class it belongs to; while the id is a root, it also
    // describes that class. Every class is created with one e-node and
    // unions and rebuilds only relink chains, never move e-nodes between
    // records, so a root's chain always starts at the root's own record:
    // finding a class also brings in its first e-node. The chains are
    // circular, so a union splices two of them by swapping the `next` links
    // of the two roots, touching no record but theirs. The hash-cons table
    // refers to records instead of holding e-nodes of its own, so each
    // e-node is stored once. The parent entries live in a shared pool as
    // singly linked chains, so a class costs no allocation of its own and a
    // union splices chains in constant time. The union-find links are kept
    // apart in uf_: finds walk only that dense array, which stays far more
    // cache-resident than the records.
    //
    // The parent chains are only needed to repair the users of a class that
    // a union absorbs, and many e-graphs never see such a union (one whose
    // absorbed class has users). So a record only counts its parent entries,
    // and the chains are built, in full, just before the first union that
    // needs them (build_parents); from then on they are kept up to date.
    //
    // A record does not destroy its e-node: dropping a large e-graph would
    // otherwise read every record once more only to find that its children
    // are inline. The few e-nodes that hold their children on the heap are
    // listed and destroyed by Records.
    struct ClassRec {
        union {
            ENode node;
        };
        std::uint32_t next = kNone;  // next record of the (circular) e-node chain
        // Parent entries of the class while the id is a root.
        std::uint32_t parent_count = 0;

        ClassRec() noexcept : node() {}
        ClassRec(ClassRec&& o) noexcept : node(std::move(o.node)), next(o.next), parent_count(o.parent_count) {}
        ClassRec& operator=(ClassRec&&) = delete;
        ~ClassRec() {}  // see Records
    };
    // The two ends of a class's chain of parent entries.
    struct ParentEnds {
        std::uint32_t head = kNone;
        std::uint32_t tail = kNone;
    };
    // The records, indexed by id, and the ids of those whose e-node holds
    // its children on the heap, which are destroyed with the records.
    class Records {
    public:
        Records() = default;
        Records(Records&&) noexcept = default;  // leaves the source empty
        Records& operator=(Records&& o) noexcept {
            if (this != &o) {
                destroy_wide();
                v_ = std::move(o.v_);
                wide_ = std::move(o.wide_);
                o.v_.clear();
                o.wide_.clear();
            }
            return *this;
        }
        ~Records() { destroy_wide(); }

        std::size_t size() const noexcept { return v_.size(); }
        std::size_t capacity() const noexcept { return v_.capacity(); }
        ClassRec* data() noexcept { return v_.data(); }
        const ClassRec* data() const noexcept { return v_.data(); }
        ClassRec& operator[](std::size_t i) noexcept { return v_[i]; }
        const ClassRec& operator[](std::size_t i) const noexcept { return v_[i]; }
        void reserve(std::size_t n) { v_.reserve(n); }
        // A new record holding `node`.
        ClassRec& append(ENode node) {
            const bool wide = node.arity() > ENode::kInline;
            // Room for the listing first, so that nothing can fail once the record exists.
            if (wide && wide_.size() == wide_.capacity()) wide_.reserve(2 * wide_.size() + 8);
            ClassRec& r = v_.emplace_back();
            if (wide) wide_.push_back(static_cast<Id>(v_.size() - 1));
            r.node = std::move(node);
            return r;
        }

    private:
        void destroy_wide() noexcept {
            for (Id id : wide_) v_[id].node.~ENode();
            wide_.clear();
        }
        LargeVector<ClassRec> v_;
        std::vector<Id> wide_;
    };
    // Open-addressing hash-cons table over the records: a slot names the
    // record whose e-node is its key. Entries are never removed. A record's
    // e-node is canonicalised in place, so a slot may later hold a key that
    // no longer hashes to it; such a key has a non-canonical original that
    // no lookup asks for again, and its canonical form gets a slot of its
    // own when the record is repaired. A slot is 4 bytes: record + 1 in the
    // low log2(size) bits (at most 3/4 of the slots fill and every record
    // made an entry, so it fits) and low bits of the hash above it; the
    // slot's place comes from the hash's upper half.
    class NodeTable {
    public:
        // Entries ever committed.
        std::size_t size() const noexcept { return table_.size(); }
        void reserve(std::size_t n, const ClassRec* records);
        // The record holding `key`, or kNoId.
        Id find(const ENode& key, std::uint64_t hash, const ClassRec* records) const;
        // Finds `key` and returns its slot, or claims the slot where it
        // would go (growing first) and returns nullptr; commit() then fills
        // the claimed slot.
        std::uint32_t* find_or_claim(const ENode& key, std::uint64_t hash, const ClassRec* records);
        void commit(Id record);
        Id record_of(std::uint32_t slot) const noexcept { return static_cast<Id>(table_.id(slot)); }
        void point_to(std::uint32_t& slot, Id record) const noexcept { table_.repoint(slot, record); }
        void prefetch(std::uint64_t hash) const { table_.prefetch(hash); }
        // Reads the (already requested) slots of `key` and requests the
        // record, or with `to_class` reads it and requests its class.
        // Returns whether a match was found.
        bool prefetch_match(Symbol op, std::span<const Id> children, std::uint64_t hash, const EGraph& owner,
                            bool to_class) const;

    private:
        // Packed 4-byte slots (tag | record + 1), placed by the hash's upper
        // half. Growing places every entry by its record's e-node as it is now.
        struct Slots : PackedSlots32 {
            static std::size_t position(std::uint64_t hash, TableShape s) noexcept { return (hash >> 32) & s.mask; }
        };
        OpenTable<Slots> table_;
        std::uint32_t* claimed_ = nullptr;
        std::uint64_t claimed_hash_ = 0;
    };

    // A record may straddle two cache lines: both are asked for.
    void prefetch_record(std::uint32_t r) const {
        const char* p = reinterpret_cast<const char*>(&classes_[r]);
        __builtin_prefetch(p);
        __builtin_prefetch(p + sizeof(ClassRec) - 1);
    }
    struct ParentRec {
        Id user;  // the class created by the parent e-node
        std::uint32_t next;
    };
    // A run of `count` parent entries starting at `head`, awaiting repair.
    struct PendingRun {
        std::uint32_t head;
        std::uint32_t count;
    };
    struct OpList {
        Symbol op;
        // Classes created by an e-node with this operator. Only kept for an
        // interned operator: patterns name no atoms, so no search asks for
        // an atom's classes.
        LargeVector<Id> ids;
        // E-nodes with this operator held by the classes, by arity; exact
        // whenever the e-graph is clean.
        std::vector<std::uint64_t> by_arity;
    };
    void count_node(Symbol op, std::uint32_t arity, std::int64_t delta);

    Id find_mut(Id id);
    void canonicalize(ENode& node);
    std::uint32_t op_slot(Symbol op) const;
    std::uint32_t op_slot_or_insert(Symbol op);
    // Marks of one traversal, one bit per id: far smaller than the records,
    // so checking a mark rarely costs a memory access of its own.
    void begin_visits() const { visited_.assign((classes_.size() + 63) / 64, 0); }
    // The parts of check_invariants: one live class (`uses` counts its uses
    // when there are no parent chains), and the e-node counts by operator.
    std::optional<std::string> check_class(Id id, const std::vector<std::uint32_t>& uses) const;
    std::optional<std::string> check_op_counts() const;
    bool first_visit(Id id) const {
        std::uint64_t& word = visited_[id >> 6];
        const std::uint64_t bit = std::uint64_t{1} << (id & 63);
        if (word & bit) return false;
        word |= bit;
        return true;
    }
    // Drops duplicate e-nodes from the (canonical) class of root `root`.
    void dedup_class(Id root);
    void repair(Id user, std::size_t& merges);
    void check_id(Id id) const;
    // Builds every class's parent chain from the records (see ClassRec).
    void build_parents();
    void add_parent(Id child, Id user);
    // The parent entries of root `root`, newest first.
    std::vector<Id> parents_of(Id root) const;

    LargeVector<Id> uf_;                   // union-find parent of each id; own id for a root
    Records classes_;                      // indexed by id
    LargeVector<ParentRec> parent_pool_;
    LargeVector<ParentEnds> parent_ends_;  // by id, once the chains are built
    bool parents_built_ = false;
    NodeTable table_;
    std::vector<PendingRun> pending_;
    std::vector<Id> touched_;              // repaired records, whose classes may hold duplicates
    std::vector<Id> repair_scratch_;
    std::vector<Id> sort_scratch_;     // records of a class being deduplicated
    std::size_t live_classes_ = 0;
    std::uint64_t merge_count_ = 0;
    bool clean_ = false;

    // Index by operator: the ids that each operator's e-nodes created, and
    // an open-addressing map from operator to its list.
    std::vector<OpList> op_heads_;
    // Slots holding only an index of op_heads_ + 1 (0 = empty): a probe
    // compares the operators themselves.
    struct OpSlots {
        using Slot = std::uint32_t;
        static constexpr std::size_t kMinSlots = 16, kLoadNum = 1, kLoadDen = 2;
        static std::size_t position(std::uint64_t hash, TableShape s) noexcept { return hash & s.mask; }
        static Slot tag(std::uint64_t, TableShape) noexcept { return 0; }
        static bool has_tag(Slot, Slot, TableShape) noexcept { return true; }
        static Slot with_id(Slot, std::uint64_t id, TableShape) noexcept { return static_cast<Slot>(id + 1); }
        static std::uint64_t id(Slot slot, TableShape) noexcept { return slot - 1; }
        static bool empty(Slot slot) noexcept { return slot == 0; }
        static constexpr bool tags_place(TableShape) noexcept { return false; }
        static std::uint64_t kept_hash(Slot) noexcept { return 0; }
    };
    OpenTable<OpSlots> op_index_;  // op_heads_ by operator

    mutable LargeVector<std::uint64_t> visited_;
    LargeVector<std::uint32_t> tags_;  // see tag()
};

}  // namespace veltrix::sat
