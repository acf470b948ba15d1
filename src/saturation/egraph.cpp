#include "saturation/egraph.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "graph/support.hpp"

namespace veltrix::sat {
namespace {

constexpr std::uint64_t kMaxIds = 0xffffffffULL;  // the last value is reserved as "none"

}  // namespace

static_assert(sizeof(ENode) == 16, "an e-node with up to two children is 16 bytes");
static_assert(sizeof(Id[ENode::kInline]) == sizeof(Id*), "copying the inline ids also copies the heap pointer");

// ---------------------------------------------------------------------------
// ENode

ENode::ENode(Symbol op, std::span<const Id> children) : op_(op), heap_(nullptr) {
    if (children.size() > 0xffffffffULL) panic("e-node has too many children");
    size_ = static_cast<std::uint32_t>(children.size());
    if (size_ > kInline) heap_ = new Id[size_];
    Id* out = data();
    for (std::uint32_t i = 0; i < size_; ++i) out[i] = children[i];
}

ENode::ENode(const ENode& other) : op_(other.op_), size_(other.size_) {
    if (size_ > kInline) {
        heap_ = new Id[size_];
        std::memcpy(heap_, other.heap_, size_ * sizeof(Id));
    } else {
        std::memcpy(inline_, other.inline_, sizeof(inline_));
    }
}

ENode::ENode(ENode&& other) noexcept : op_(other.op_), size_(other.size_) {
    std::memcpy(inline_, other.inline_, sizeof(inline_));  // also moves the heap pointer
    other.size_ = 0;
}

ENode& ENode::operator=(const ENode& other) {
    if (this != &other) {
        ENode copy(other);
        *this = std::move(copy);
    }
    return *this;
}

ENode& ENode::operator=(ENode&& other) noexcept {
    if (this != &other) {
        if (size_ > kInline) delete[] heap_;
        op_ = other.op_;
        size_ = other.size_;
        std::memcpy(inline_, other.inline_, sizeof(inline_));
        other.size_ = 0;
    }
    return *this;
}

std::uint64_t ENode::hash_of(Symbol op, std::span<const Id> children) noexcept {
    std::uint64_t h = ((static_cast<std::uint64_t>(op.index()) << 32) | children.size()) * 0x9e3779b97f4a7c15ULL;
    for (Id c : children) {
        h = (h + c) * 0x9e3779b97f4a7c15ULL;
        h ^= h >> 32;
    }
    return mix64(h);
}

bool operator<(const ENode& a, const ENode& b) noexcept {
    if (a.op_ != b.op_) return a.op_ < b.op_;
    if (a.size_ != b.size_) return a.size_ < b.size_;
    const Id* x = a.data();
    const Id* y = b.data();
    for (std::uint32_t i = 0; i < a.size_; ++i) {
        if (x[i] != y[i]) return x[i] < y[i];
    }
    return false;
}

// ---------------------------------------------------------------------------
// Hash-cons table

void EGraph::NodeTable::reserve(std::size_t n, const ClassRec* records) {
    if (!table_.has_room(n) && table_.slots_for(n) > (std::uint64_t{1} << 32)) panic("hash-cons table is full");
    table_.reserve(
        n, [records](std::uint64_t r) { return records[r].node.hash(); },
        [records](std::uint64_t r) { __builtin_prefetch(&records[r]); });
}

Id EGraph::NodeTable::find(const ENode& key, std::uint64_t hash, const ClassRec* records) const {
    const auto found = table_.find(hash, [&](std::uint64_t r) { return records[r].node == key; });
    return found ? static_cast<Id>(*found) : kNoId;
}

std::uint32_t* EGraph::NodeTable::find_or_claim(const ENode& key, std::uint64_t hash, const ClassRec* records) {
    // Kept at most three quarters full; the hash bits in the slots keep
    // probes from touching records that cannot match.
    if (!table_.has_room(table_.size() + 1)) reserve(table_.size() + 1, records);
    std::uint32_t& slot = table_.slot_for(hash, [&](std::uint64_t r) { return records[r].node == key; });
    if (!table_.empty(slot)) return &slot;
    claimed_ = &slot;
    claimed_hash_ = hash;
    return nullptr;
}

void EGraph::NodeTable::commit(Id record) {
    if (table_.size() >= kMaxIds) panic("hash-cons table is full");
    table_.fill(*claimed_, claimed_hash_, record);
}

// ---------------------------------------------------------------------------
// EGraph

void EGraph::reserve(std::size_t nodes, std::size_t entries) {
    uf_.reserve(nodes);
    classes_.reserve(nodes);
    table_.reserve(entries, classes_.data());
}

void EGraph::check_id(Id id) const {
    if (id >= uf_.size()) panic("no e-class with id " + std::to_string(id));
}

void EGraph::add_parent(Id child, Id user) {
    ParentEnds& ends = parent_ends_[child];
    const auto rec = static_cast<std::uint32_t>(parent_pool_.size());
    parent_pool_.push_back(ParentRec{user, ends.head});
    ends.head = rec;
    if (ends.tail == kNone) ends.tail = rec;
}

void EGraph::build_parents() {
    // Until now no record was repaired, so every record still holds its
    // e-node as added, over classes that were roots then. Those are roots
    // still: a union absorbs a class only while it has no parent entry,
    // and each of these children has one. So entering the records in id
    // order, as add() would have, gives every chain the order it would have.
    std::size_t entries = 0;
    for (Id id = 0; id < classes_.size(); ++id) entries += classes_[id].parent_count;
    parent_pool_.reserve(entries + entries / 2);
    parent_ends_.reserve(classes_.capacity());
    parent_ends_.assign(classes_.size(), ParentEnds{});
    for (Id id = 0; id < classes_.size(); ++id) {
        for (Id c : classes_[id].node.children()) add_parent(c, id);
    }
    parents_built_ = true;
}

std::vector<Id> EGraph::parents_of(Id root) const {
    std::vector<Id> out;
    if (parents_built_) {
        for (std::uint32_t r = parent_ends_[root].head, n = 0; n < classes_[root].parent_count;
             r = parent_pool_[r].next, ++n) {
            out.push_back(parent_pool_[r].user);
        }
        return out;
    }
    // As build_parents() would enter them: every use by a record, newest first.
    for (Id id = static_cast<Id>(classes_.size()); id-- > 0;) {
        const auto kids = classes_[id].node.children();
        for (std::size_t k = kids.size(); k-- > 0;) {
            if (kids[k] == root) out.push_back(id);
        }
    }
    return out;
}

void EGraph::drop_links() {
    if (!clean_) panic("the links of an e-graph that is not rebuilt are needed");
    LargeVector<Id>().swap(uf_);
}

void EGraph::drop_index() {
    LargeVector<ParentRec>().swap(parent_pool_);
    LargeVector<ParentEnds>().swap(parent_ends_);
    table_ = NodeTable();
    std::vector<PendingRun>().swap(pending_);
    std::vector<Id>().swap(touched_);
    std::vector<OpList>().swap(op_heads_);
    op_index_ = OpenTable<OpSlots>();
    LargeVector<std::uint64_t>().swap(visited_);
}

Id EGraph::find(Id id) const {
    check_id(id);
    if (all_roots()) return id;
    while (uf_[id] != id) id = uf_[id];
    return id;
}

Id EGraph::find_mut(Id id) {
    check_id(id);
    if (all_roots()) return id;
    while (uf_[id] != id) {
        const Id grand = uf_[uf_[id]];
        uf_[id] = grand;
        id = grand;
    }
    return id;
}

void EGraph::canonicalize(ENode& node) {
    for (Id& c : node.children()) c = find_mut(c);
}

std::uint32_t EGraph::op_slot(Symbol op) const {
    const auto found = op_index_.find(mix64(op.index()), [&](std::uint64_t k) { return op_heads_[k].op == op; });
    return found ? static_cast<std::uint32_t>(*found) : kNone;
}

std::uint32_t EGraph::op_slot_or_insert(Symbol op) {
    op_index_.reserve_in_order(op_heads_.size() + 1, [&](std::uint64_t k) { return mix64(op_heads_[k].op.index()); });
    std::uint32_t& slot =
        op_index_.slot_for(mix64(op.index()), [&](std::uint64_t k) { return op_heads_[k].op == op; });
    if (!op_index_.empty(slot)) return static_cast<std::uint32_t>(op_index_.id(slot));
    op_heads_.push_back(OpList{op, {}, {}});
    op_index_.fill(slot, 0, op_heads_.size() - 1);
    return static_cast<std::uint32_t>(op_heads_.size() - 1);
}

std::uint64_t EGraph::node_count(Symbol op, std::uint32_t arity) const {
    const std::uint32_t slot = op_slot(op);
    if (slot == kNone) return 0;
    const std::vector<std::uint64_t>& counts = op_heads_[slot].by_arity;
    return arity < counts.size() ? counts[arity] : 0;
}

void EGraph::count_node(Symbol op, std::uint32_t arity, std::int64_t delta) {
    const std::uint32_t slot = op_slot(op);
    if (slot == kNone || arity >= op_heads_[slot].by_arity.size()) panic("e-node count of an unknown operator");
    op_heads_[slot].by_arity[arity] += static_cast<std::uint64_t>(delta);
}

bool EGraph::NodeTable::prefetch_match(Symbol op, std::span<const Id> children, std::uint64_t hash,
                                       const EGraph& owner, bool to_class) const {
    const auto match = table_.find(hash, [&](std::uint64_t record) {
        const auto r = static_cast<Id>(record);
        if (!to_class) {
            owner.prefetch_record(r);
            return true;
        }
        if (!owner.classes_[r].node.is(op, children)) return false;
        owner.prefetch_class(r);
        return true;
    });
    return match.has_value();
}

void EGraph::prefetch_add(Symbol op, std::span<const Id> children, AddStage stage) const {
    constexpr std::size_t kMax = 8;
    if (children.size() > kMax) return;
    Id canonical[kMax];
    for (std::size_t k = 0; k < children.size(); ++k) {
        // An id not handed out yet (a guess of the caller's) will be a root.
        Id c = children[k];
        while (c < uf_.size() && !all_roots() && uf_[c] != c) c = uf_[c];
        canonical[k] = c;
    }
    const std::span<const Id> kids(canonical, children.size());
    const std::uint64_t h = ENode::hash_of(op, kids);
    switch (stage) {
        case AddStage::Slot:
            table_.prefetch(h);
            break;
        case AddStage::Entry:
            table_.prefetch_match(op, kids, h, *this, false);
            break;
        case AddStage::Class:
            // A new e-node is entered in the parent entries of its children.
            if (!table_.prefetch_match(op, kids, h, *this, true)) {
                for (Id c : kids) {
                    if (c < classes_.size()) prefetch_record(c);
                }
            }
            break;
    }
}

Id EGraph::add(ENode node) {
    canonicalize(node);
    const std::uint64_t h = node.hash();
    if (const std::uint32_t* existing = table_.find_or_claim(node, h, classes_.data())) {
        return table_.record_of(*existing);
    }

    if (classes_.size() >= kMaxIds) panic("e-graph is full at id " + std::to_string(classes_.size()));
    const auto id = static_cast<Id>(classes_.size());

    // Parent entries are counted in the child's record, and once the
    // chains are built, prepended to the child's chain.
    for (Id c : node.children()) {
        ++classes_[c].parent_count;
        if (parents_built_) add_parent(c, id);
    }
    if (parents_built_) parent_ends_.push_back(ParentEnds{});

    // The arrays grow at their ends: the lines a few entries on are asked
    // for ahead, for writing.
    prefetch_append(classes_, 8);
    prefetch_append(uf_, 32);
    const Symbol op = node.op();
    const std::uint32_t arity = node.arity();
    uf_.push_back(id);
    ClassRec& cls = classes_.append(std::move(node));
    cls.next = id;
    table_.commit(id);
    OpList& list = op_heads_[op_slot_or_insert(op)];
    if (!op.is_atom()) {
        prefetch_append(list.ids, 32);
        list.ids.push_back(id);
    }
    if (list.by_arity.size() <= size_t{arity}) list.by_arity.resize(size_t{arity} + 1, 0);
    ++list.by_arity[arity];

    ++live_classes_;
    clean_ = false;
    return id;
}

bool EGraph::union_classes(Id a, Id b) {
    clean_ = false;
    Id keep = find_mut(a);
    Id gone = find_mut(b);
    if (keep == gone) return false;
    if (classes_[gone].parent_count > classes_[keep].parent_count) std::swap(keep, gone);

    ClassRec& k = classes_[keep];
    ClassRec& g = classes_[gone];
    if (g.parent_count != 0) {
        if (!parents_built_) build_parents();
        // The absorbed parents are queued as one run and spliced in front of
        // the survivor's chain, so the run stays contiguous.
        ParentEnds& ke = parent_ends_[keep];
        ParentEnds& ge = parent_ends_[gone];
        pending_.push_back(PendingRun{ge.head, g.parent_count});
        parent_pool_[ge.tail].next = ke.head;
        ke.head = ge.head;
        if (ke.tail == kNone) ke.tail = ge.tail;
        k.parent_count += g.parent_count;
        ge = ParentEnds{};
    }
    std::swap(k.next, g.next);

    // The absorbed record keeps its e-node and link, now part of the
    // survivor's chain; only its class description goes.
    g.parent_count = 0;
    if (gone < tags_.size()) tags_[gone] = kNoTag;
    uf_[gone] = keep;
    --live_classes_;
    ++merge_count_;
    return true;
}

void EGraph::dedup_class(Id root) {
    ClassRec& c = classes_[root];
    if (c.next == root) return;
    if (classes_[c.next].next == root) {
        const ENode& second = classes_[c.next].node;
        if (c.node == second) {
            count_node(second.op(), second.arity(), -1);
            c.next = root;
        }
        return;
    }
    // Records are sorted by e-node to find the duplicates; of equal e-nodes
    // the root's record, else the lowest record, stays in the chain, which
    // is relinked with the root's record first.
    std::vector<Id>& records = sort_scratch_;
    records.clear();
    std::uint32_t r = root;
    do {
        records.push_back(r);
        r = classes_[r].next;
    } while (r != root);
    std::sort(records.begin(), records.end(), [&](Id a, Id b) {
        const ENode& x = classes_[a].node;
        const ENode& y = classes_[b].node;
        if (x < y) return true;
        if (y < x) return false;
        return (a == root) != (b == root) ? a == root : a < b;
    });
    std::uint32_t last = root;
    for (std::size_t k = 0; k < records.size(); ++k) {
        const Id record = records[k];
        if (k > 0 && classes_[record].node == classes_[records[k - 1]].node) {
            count_node(classes_[record].node.op(), classes_[record].node.arity(), -1);
            continue;
        }
        if (record == root) continue;
        classes_[last].next = record;
        last = record;
    }
    classes_[last].next = root;
}

void EGraph::repair(Id user, std::size_t& merges) {
    ENode& node = classes_[user].node;
    canonicalize(node);
    if (std::uint32_t* slot = table_.find_or_claim(node, node.hash(), classes_.data())) {
        const Id previous = table_.record_of(*slot);
        if (previous == user) return;
        // Two records now hold this e-node, and one class holds both.
        table_.point_to(*slot, user);
        if (union_classes(previous, user)) ++merges;
        touched_.push_back(user);
    } else {
        table_.commit(user);
    }
}

std::size_t EGraph::rebuild() {
    std::size_t merges = 0;
    std::vector<Id>& users = repair_scratch_;
    while (!pending_.empty()) {
        // Take every queued run at once, the last queued first. The order of
        // repairs only decides which ids end up as roots, never which
        // classes are merged.
        users.clear();
        constexpr std::size_t kRunsAhead = 8;
        for (std::size_t j = pending_.size(); j-- > 0;) {
            if (j >= kRunsAhead) __builtin_prefetch(&parent_pool_[pending_[j - kRunsAhead].head]);
            const PendingRun run = pending_[j];
            for (std::uint32_t r = run.head, n = 0; n < run.count; r = parent_pool_[r].next, ++n) {
                users.push_back(parent_pool_[r].user);
            }
        }
        pending_.clear();

        // A repair reads the e-node that created the user, the classes of
        // its children and the table, all at random; each is requested a few
        // repairs ahead, in the order the repair needs them.
        constexpr std::size_t kStageGap = 4;  // entries between two stages
        const std::size_t count = users.size();
        for (std::size_t j = 0; j < count; ++j) {
            if (j + 4 * kStageGap < count) prefetch_record(users[j + 4 * kStageGap]);
            if (j + 3 * kStageGap < count) {
                for (Id c : classes_[users[j + 3 * kStageGap]].node.children()) prefetch_class(c);
            }
            if (j + 2 * kStageGap < count) prefetch_add(classes_[users[j + 2 * kStageGap]].node, AddStage::Slot);
            if (j + kStageGap < count) prefetch_add(classes_[users[j + kStageGap]].node, AddStage::Entry);
            repair(users[j], merges);
        }
    }

    // Every e-node is canonical now: each one with a child that was absorbed
    // stood in that child's parent entries, was queued with them and
    // repaired. What is left is duplicates. Records with equal e-nodes have
    // the same children, so they stand in the same parent entries and are
    // repaired together: the later repair finds the earlier one's e-node in
    // the table, and a union alone joins no duplicates. So only a class in
    // which a repair found its e-node already present can hold any; that
    // repair listed its record.
    if (!touched_.empty()) {
        begin_visits();
        // Each class is requested in stages a few entries ahead: the link of
        // the listed record, the root's record (and so its first e-node),
        // then its second e-node.
        constexpr std::size_t kStageGap = 6;  // entries between two stages
        const std::size_t count = touched_.size();
        auto root_of = [&](Id t) {
            const Id up = uf_[t];
            return up == t ? t : uf_[up];
        };
        for (std::size_t j = 0; j < count; ++j) {
            if (j + 3 * kStageGap < count) __builtin_prefetch(&uf_[touched_[j + 3 * kStageGap]]);
            if (j + 2 * kStageGap < count) prefetch_record(root_of(touched_[j + 2 * kStageGap]));
            if (j + kStageGap < count) {
                const Id soon = root_of(touched_[j + kStageGap]);
                const std::uint32_t second = classes_[soon].next;
                if (second != soon) prefetch_record(second);
            }
            const Id root = find_mut(touched_[j]);
            if (!first_visit(root)) continue;
            dedup_class(root);
        }
        touched_.clear();
    }
    clean_ = true;
    return merges;
}

std::optional<Id> EGraph::lookup(ENode node) const {
    for (Id& c : node.children()) c = find(c);
    if (const Id r = table_.find(node, node.hash(), classes_.data()); r != kNoId) return find(r);
    return std::nullopt;
}

EClass EGraph::eclass(Id id) const {
    const Id root = find(id);
    EClass out;
    out.id = root;
    for_each_node(root, [&](const ENode& n) { out.nodes.push_back(n); });
    std::sort(out.nodes.begin(), out.nodes.end());
    out.parents = parents_of(root);
    return out;
}

std::optional<std::string> EGraph::check_class(Id id, const std::vector<std::uint32_t>& uses) const {
    // The chain must come back to the root and hold records of this class
    // only.
    std::size_t steps = 0;
    std::uint32_t r = id;
    do {
        if (r >= classes_.size() || find(r) != id || ++steps > classes_.size()) {
            return "class " + std::to_string(id) + " has a broken e-node chain";
        }
        r = classes_[r].next;
    } while (r != id);
    std::vector<const ENode*> nodes;
    std::optional<std::string> problem;
    for_each_node(id, [&](const ENode& n) {
        if (problem) return;
        for (Id ch : n.children()) {
            if (find(ch) != ch) problem = "class " + std::to_string(id) + " has a non-canonical child";
        }
        const Id owner = table_.find(n, n.hash(), classes_.data());
        if (owner == kNoId || find(owner) != id) {
            problem = "an e-node of class " + std::to_string(id) + " is hash-consed elsewhere";
        }
        nodes.push_back(&n);
    });
    if (problem) return problem;
    std::sort(nodes.begin(), nodes.end(), [](const ENode* a, const ENode* b) { return *a < *b; });
    for (std::size_t k = 1; k < nodes.size(); ++k) {
        if (*nodes[k] == *nodes[k - 1]) return "class " + std::to_string(id) + " has duplicates";
    }
    const ClassRec& c = classes_[id];
    std::uint32_t parents = 0;
    if (parents_built_) {
        for (std::uint32_t p = parent_ends_[id].head; p != kNone && parents <= c.parent_count; p = parent_pool_[p].next) {
            ++parents;
        }
    } else {
        parents = uses[id];
    }
    if (parents != c.parent_count) return "class " + std::to_string(id) + " has a bad parent count";
    return std::nullopt;
}

std::optional<std::string> EGraph::check_op_counts() const {
    std::vector<std::vector<std::uint64_t>> counted(op_heads_.size());
    for (Id id = 0; id < classes_.size(); ++id) {
        if (uf_[id] != id) continue;
        for_each_node(id, [&](const ENode& n) {
            std::vector<std::uint64_t>& by_arity = counted[op_slot(n.op())];
            if (by_arity.size() <= n.arity()) by_arity.resize(n.arity() + 1, 0);
            ++by_arity[n.arity()];
        });
    }
    for (std::size_t k = 0; k < op_heads_.size(); ++k) {
        std::vector<std::uint64_t> kept = op_heads_[k].by_arity;
        counted[k].resize(std::max(counted[k].size(), kept.size()), 0);
        kept.resize(counted[k].size(), 0);
        if (kept != counted[k]) {
            const Symbol op = op_heads_[k].op;
            const std::string name = op.is_atom() ? "atom " + std::to_string(op.index()) : std::string(op.text());
            return "e-node count of operator " + name + " is out of date";
        }
    }
    return std::nullopt;
}

std::optional<std::string> EGraph::check_invariants() const {
    // Without chains, a class's parent entries are the uses of it by records.
    std::vector<std::uint32_t> uses;
    if (!parents_built_) {
        uses.assign(classes_.size(), 0);
        for (Id id = 0; id < classes_.size(); ++id) {
            for (Id c : classes_[id].node.children()) ++uses[c];
        }
    }
    std::size_t live = 0;
    for (Id id = 0; id < classes_.size(); ++id) {
        if (uf_[id] != id) {
            if (classes_[id].parent_count != 0 || (parents_built_ && parent_ends_[id].head != kNone)) {
                return "absorbed class " + std::to_string(id) + " still holds parents";
            }
            continue;
        }
        ++live;
        if (auto problem = check_class(id, uses)) return problem;
    }
    if (live != live_classes_) return std::string("class count is out of date");
    return check_op_counts();
}

}  // namespace veltrix::sat
