#include "saturation/egraph.hpp"

#include <algorithm>
#include <utility>

#include "graph/support.hpp"

namespace veltrix::sat {
namespace {

inline std::uint64_t mix64(std::uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

constexpr std::uint64_t kMaxIds = 0xffffffffULL;  // the last value is reserved as "none"

}  // namespace

// ---------------------------------------------------------------------------
// ENode

ENode::ENode(Symbol op, std::span<const Id> children) : op_(op) {
    if (children.size() > 0xffffffffULL) panic("e-node has too many children");
    size_ = static_cast<std::uint32_t>(children.size());
    if (size_ > kInline) heap_ = new Id[size_];
    if (size_ != 0) std::memcpy(data(), children.data(), size_ * sizeof(Id));
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

std::uint64_t ENode::hash() const noexcept {
    std::uint64_t h = ((static_cast<std::uint64_t>(op_.index()) << 32) | size_) * 0x9e3779b97f4a7c15ULL;
    for (Id c : children()) {
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

void EGraph::NodeTable::reserve(std::size_t n) {
    entries_.reserve(n);
    std::size_t want = 16;
    while (want < 2 * n) want *= 2;
    if (want > slots_.size()) {
        std::vector<std::uint64_t> old = std::move(slots_);
        slots_.assign(want, 0);
        mask_ = want - 1;
        for (std::uint64_t s : old) {
            if (s == 0) continue;
            std::uint64_t i = (s >> 32) & mask_;
            while (slots_[i] != 0) i = (i + 1) & mask_;
            slots_[i] = s;
        }
    }
}

void EGraph::NodeTable::grow() { reserve(slots_.empty() ? 8 : slots_.size()); }

const Id* EGraph::NodeTable::find(const ENode& key, std::uint64_t hash) const {
    if (slots_.empty()) return nullptr;
    const std::uint64_t tag = hash >> 32;
    for (std::uint64_t i = tag & mask_;; i = (i + 1) & mask_) {
        const std::uint64_t s = slots_[i];
        if (s == 0) return nullptr;
        if ((s >> 32) == tag) {
            const Entry& e = entries_[(s & 0xffffffffULL) - 1];
            if (e.key == key) return &e.id;
        }
    }
}

std::optional<Id> EGraph::NodeTable::insert(ENode key, std::uint64_t hash, Id id, std::uint32_t* entry_index) {
    if (2 * (entries_.size() + 1) > slots_.size()) grow();
    const std::uint64_t tag = hash >> 32;
    std::uint64_t i = tag & mask_;
    for (;; i = (i + 1) & mask_) {
        const std::uint64_t s = slots_[i];
        if (s == 0) break;
        if ((s >> 32) == tag) {
            Entry& e = entries_[(s & 0xffffffffULL) - 1];
            if (e.key == key) {
                const Id previous = e.id;
                e.id = id;
                if (entry_index) *entry_index = static_cast<std::uint32_t>((s & 0xffffffffULL) - 1);
                return previous;
            }
        }
    }
    if (entries_.size() >= kMaxIds) panic("hash-cons table is full");
    const auto entry = static_cast<std::uint32_t>(entries_.size());
    entries_.push_back(Entry{std::move(key), id});
    slots_[i] = (tag << 32) | (static_cast<std::uint64_t>(entry) + 1);
    if (entry_index) *entry_index = entry;
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// EGraph

void EGraph::reserve(std::size_t nodes) {
    parent_.reserve(nodes);
    classes_.reserve(nodes);
    created_.reserve(nodes);
    op_next_.reserve(nodes);
    visit_stamp_.reserve(nodes);
    table_.reserve(nodes);
}

Id EGraph::find(Id id) const {
    if (id >= parent_.size()) panic("no e-class with id " + std::to_string(id));
    while (parent_[id] != id) id = parent_[id];
    return id;
}

Id EGraph::find_mut(Id id) {
    if (id >= parent_.size()) panic("no e-class with id " + std::to_string(id));
    while (parent_[id] != id) {
        const Id grand = parent_[parent_[id]];
        parent_[id] = grand;
        id = grand;
    }
    return id;
}

void EGraph::canonicalize(ENode& node) {
    for (Id& c : node.children()) c = find_mut(c);
}

std::uint32_t EGraph::op_slot(Symbol op) const {
    if (op_slots_.empty()) return kNone;
    const std::uint64_t mask = op_slots_.size() - 1;
    for (std::uint64_t i = mix64(op.index()) & mask;; i = (i + 1) & mask) {
        const std::uint32_t s = op_slots_[i];
        if (s == 0) return kNone;
        if (op_heads_[s - 1].op == op) return s - 1;
    }
}

std::uint32_t EGraph::op_slot_or_insert(Symbol op) {
    if (2 * (op_heads_.size() + 1) > op_slots_.size()) {
        const std::size_t size = op_slots_.empty() ? 16 : op_slots_.size() * 2;
        op_slots_.assign(size, 0);
        const std::uint64_t mask = size - 1;
        for (std::size_t k = 0; k < op_heads_.size(); ++k) {
            std::uint64_t i = mix64(op_heads_[k].op.index()) & mask;
            while (op_slots_[i] != 0) i = (i + 1) & mask;
            op_slots_[i] = static_cast<std::uint32_t>(k + 1);
        }
    }
    const std::uint64_t mask = op_slots_.size() - 1;
    std::uint64_t i = mix64(op.index()) & mask;
    for (;; i = (i + 1) & mask) {
        const std::uint32_t s = op_slots_[i];
        if (s == 0) break;
        if (op_heads_[s - 1].op == op) return s - 1;
    }
    op_heads_.push_back(OpList{op, kNone, kNone});
    op_slots_[i] = static_cast<std::uint32_t>(op_heads_.size());
    return static_cast<std::uint32_t>(op_heads_.size() - 1);
}

std::uint32_t EGraph::next_visit_stamp() const {
    if (visit_stamp_.size() < parent_.size()) visit_stamp_.resize(parent_.size(), 0);
    if (++visit_epoch_ == 0) {
        std::fill(visit_stamp_.begin(), visit_stamp_.end(), 0);
        visit_epoch_ = 1;
    }
    return visit_epoch_;
}

Id EGraph::add(ENode node) {
    canonicalize(node);
    const std::uint64_t h = node.hash();
    if (const Id* existing = table_.find(node, h)) return *existing;

    if (parent_.size() >= kMaxIds) panic("e-graph is full at id " + std::to_string(parent_.size()));
    const auto id = static_cast<Id>(parent_.size());
    parent_.push_back(id);
    for (Id c : node.children()) classes_[c].parents.push_back(id);

    const Symbol op = node.op();
    EClass cls;
    cls.id = id;
    cls.nodes.push_back(node);
    classes_.push_back(std::move(cls));

    std::uint32_t entry = 0;
    table_.insert(std::move(node), h, id, &entry);
    created_.push_back(entry);

    op_next_.push_back(kNone);
    OpList& list = op_heads_[op_slot_or_insert(op)];
    if (list.tail == kNone) {
        list.head = id;
    } else {
        op_next_[list.tail] = id;
    }
    list.tail = id;

    ++live_classes_;
    clean_ = false;
    return id;
}

bool EGraph::union_classes(Id a, Id b) {
    clean_ = false;
    Id keep = find_mut(a);
    Id gone = find_mut(b);
    if (keep == gone) return false;
    if (classes_[gone].parents.size() > classes_[keep].parents.size()) std::swap(keep, gone);

    parent_[gone] = keep;
    EClass& k = classes_[keep];
    EClass& g = classes_[gone];
    pending_.insert(pending_.end(), g.parents.begin(), g.parents.end());

    // Order inside the lists does not matter (rebuild sorts the e-nodes),
    // so append the shorter list to the longer one.
    if (g.nodes.size() > k.nodes.size()) std::swap(g.nodes, k.nodes);
    k.nodes.insert(k.nodes.end(), std::make_move_iterator(g.nodes.begin()),
                   std::make_move_iterator(g.nodes.end()));
    if (g.parents.size() > k.parents.size()) std::swap(g.parents, k.parents);
    k.parents.insert(k.parents.end(), g.parents.begin(), g.parents.end());

    g = EClass{};
    g.id = kDead;
    --live_classes_;
    touched_.push_back(keep);
    return true;
}

void EGraph::canonicalize_class(EClass& c) {
    for (ENode& n : c.nodes) canonicalize(n);
    if (c.nodes.size() > 1) {
        std::sort(c.nodes.begin(), c.nodes.end());
        c.nodes.erase(std::unique(c.nodes.begin(), c.nodes.end()), c.nodes.end());
    }
}

std::size_t EGraph::rebuild() {
    std::size_t merges = 0;
    while (!pending_.empty()) {
        const Id k = pending_.back();
        pending_.pop_back();
        ENode node = table_.key(created_[k]);
        canonicalize(node);
        const std::uint64_t h = node.hash();
        if (const std::optional<Id> previous = table_.insert(std::move(node), h, k, nullptr)) {
            if (union_classes(*previous, k)) ++merges;
        }
        touched_.push_back(k);
    }

    // Only classes that absorbed another class, or that hold an e-node whose
    // child was absorbed, can have stale children or an unsorted list; every
    // other class is already canonical, sorted and duplicate-free.
    if (!touched_.empty()) {
        const std::uint32_t stamp = next_visit_stamp();
        for (Id t : touched_) {
            const Id root = find_mut(t);
            if (visit_stamp_[root] == stamp) continue;
            visit_stamp_[root] = stamp;
            canonicalize_class(classes_[root]);
        }
        touched_.clear();
    }
    clean_ = true;
    return merges;
}

std::optional<Id> EGraph::lookup(ENode node) const {
    for (Id& c : node.children()) c = find(c);
    if (const Id* id = table_.find(node, node.hash())) return find(*id);
    return std::nullopt;
}

const EClass& EGraph::eclass(Id id) const {
    if (id >= parent_.size()) panic("no e-class with id " + std::to_string(id));
    const EClass& c = classes_[find(id)];
    if (c.id == kDead) panic("no e-class with id " + std::to_string(id));
    return c;
}

std::optional<std::string> EGraph::check_invariants() const {
    std::size_t live = 0;
    for (Id id = 0; id < classes_.size(); ++id) {
        const EClass& c = classes_[id];
        if (c.id == kDead) {
            if (parent_[id] == id) return "absorbed class " + std::to_string(id) + " is still a root";
            continue;
        }
        ++live;
        if (c.id != id || parent_[id] != id) return "class " + std::to_string(id) + " is not a root";
        for (std::size_t i = 0; i < c.nodes.size(); ++i) {
            const ENode& n = c.nodes[i];
            for (Id ch : n.children()) {
                if (find(ch) != ch) return "class " + std::to_string(id) + " has a non-canonical child";
            }
            if (i > 0 && !(c.nodes[i - 1] < n)) {
                return "class " + std::to_string(id) + " is not sorted or has duplicates";
            }
            const Id* owner = table_.find(n, n.hash());
            if (!owner || find(*owner) != id) {
                return "an e-node of class " + std::to_string(id) + " is hash-consed elsewhere";
            }
        }
    }
    if (live != live_classes_) return std::string("class count is out of date");
    return std::nullopt;
}

}  // namespace veltrix::sat
