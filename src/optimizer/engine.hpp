// The flat graph handed to a rewrite engine, and the engine interface.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "graph/node.hpp"
#include "graph/support.hpp"

namespace veltrix {

// A node's input indices: up to two inline (nearly every node), more on the
// heap. A value type with the vector operations the passes use.
class InputList {
public:
    using value_type = std::uint64_t;
    using iterator = std::uint64_t*;
    using const_iterator = const std::uint64_t*;

    InputList() noexcept = default;
    InputList(std::initializer_list<std::uint64_t> values) { assign(values.begin(), values.end()); }
    InputList(const std::vector<std::uint64_t>& values) { assign(values.data(), values.data() + values.size()); }
    template <class It>
    InputList(It first, It last) {
        assign(first, last);
    }
    InputList(const InputList& o) { assign(o.begin(), o.end()); }
    InputList(InputList&& o) noexcept { steal(o); }
    InputList& operator=(const InputList& o) {
        if (this != &o) assign(o.begin(), o.end());
        return *this;
    }
    InputList& operator=(InputList&& o) noexcept {
        if (this != &o) {
            free_heap();
            steal(o);
        }
        return *this;
    }
    ~InputList() { free_heap(); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::uint64_t* data() noexcept { return capacity_ > kInline ? heap_ : inline_; }
    const std::uint64_t* data() const noexcept { return capacity_ > kInline ? heap_ : inline_; }
    iterator begin() noexcept { return data(); }
    iterator end() noexcept { return data() + size_; }
    const_iterator begin() const noexcept { return data(); }
    const_iterator end() const noexcept { return data() + size_; }
    std::uint64_t& operator[](std::size_t i) noexcept { return data()[i]; }
    std::uint64_t operator[](std::size_t i) const noexcept { return data()[i]; }

    void clear() noexcept { size_ = 0; }
    void reserve(std::size_t n) {
        if (n > capacity_) grow(n);
    }
    void resize(std::size_t n) {
        reserve(n);
        for (std::size_t i = size_; i < n; ++i) data()[i] = 0;
        size_ = n;
    }
    void push_back(std::uint64_t v) {
        if (size_ == capacity_) grow(capacity_ * 2);
        data()[size_++] = v;
    }
    template <class It>
    void assign(It first, It last) {
        clear();
        reserve(static_cast<std::size_t>(std::distance(first, last)));
        for (; first != last; ++first) data()[size_++] = *first;
    }

    friend bool operator==(const InputList& a, const InputList& b) noexcept {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }
    friend bool operator==(const InputList& a, const std::vector<std::uint64_t>& b) noexcept {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    static constexpr std::size_t kInline = 2;
    void grow(std::size_t n) {
        if (n > UINT32_MAX) panic("a node has fewer than 2^32 inputs");
        auto* fresh = new std::uint64_t[n];
        std::copy(begin(), end(), fresh);
        free_heap();
        heap_ = fresh;
        capacity_ = n;
    }
    void free_heap() noexcept {
        if (capacity_ > kInline) delete[] heap_;
        capacity_ = kInline;
    }
    void steal(InputList& o) noexcept {
        size_ = o.size_;
        capacity_ = o.capacity_;
        if (capacity_ > kInline) {
            heap_ = o.heap_;
        } else {
            std::copy(o.inline_, o.inline_ + size_, inline_);
        }
        o.size_ = 0;
        o.capacity_ = kInline;
    }

    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = kInline;
    union {
        std::uint64_t inline_[kInline];
        std::uint64_t* heap_;
    };
};

struct EngineNode {
    std::string label;        // the node's engine label (operator symbol)
    InputList inputs;         // indices of earlier nodes of the same graph
    bool boundary = false;    // true for every node that is not an Op
};

// A graph's node list: a big one comes from the huge-page allocator, whose
// fresh memory faults in 2 MiB at a time.
using EngineNodes = LargeVector<EngineNode>;

struct EngineGraph {
    EngineNodes nodes;
    std::vector<std::uint64_t> outputs;
};

struct Canonical {
    EngineGraph graph;
    LargeVector<std::uint64_t> map;  // one entry per node handed in
};

// Merges nodes that are equal under the engine's rules and under structural
// identity. Must keep no state between calls.
class RewriteEngine {
public:
    virtual ~RewriteEngine() = default;
    virtual Canonical canonicalize(const EngineGraph& graph) const = 0;
};

// One engine node per key, in order; labels are the keys' engine labels.
EngineGraph to_engine_graph(std::span<const NodeKey> nodes, std::span<const std::uint64_t> outputs);

}  // namespace veltrix
