// Owned entries kept in the order of T's operator<, each with an id that stays with it.
// Entries equal in that order (neither less than the other) are refused. Failures are
// recorded in af_, never thrown by the list itself.
#pragma once

#include <cstdint>
#include <utility>

#include "RoVodEre/datavect.h"

template <class T>
class NoCrtSortedList : public AllocFailState {
public:
    // Nodes come from the small-block pages: a long list holds one per entry.
    struct Node : SmallBlockObject {
        std::uint32_t id;
        T* entry;  // owned
        explicit Node(std::uint32_t nodeId = 0, T* nodeEntry = nullptr) : id(nodeId), entry(nodeEntry) {}
        Node(const Node&) = delete;
        Node& operator=(const Node&) = delete;
        ~Node() { delete entry; }
    };

    // Makes a copy of the given entry, or a fresh one for null; null when out of memory.
    typedef T* (*Factory)(const T* source);

    // Results of the insert operations. On anything but kInserted the node and the entry
    // stay the caller's.
    enum { kInserted = 0, kDuplicateEntry = 1, kIdInUse = 2, kAllocationFailed = 3 };

    Factory factory_;
    std::uint32_t maxId_;
    datavect<Node*> nodes_;

    NoCrtSortedList() : factory_(nullptr), maxId_(0) {}
    // The factory is never copied: copies are made by this list's own.
    NoCrtSortedList(const NoCrtSortedList& src) : AllocFailState(), factory_(nullptr), maxId_(0) { *this = src; }
    ~NoCrtSortedList() { clear(); }

    NoCrtSortedList& operator=(const NoCrtSortedList& src) {
        if (&src == this || af_) return *this;
        af_ = src.af_;
        if (af_) return *this;
        clear();
        for (std::uint32_t k = 0; k < src.nodes_.size(); ++k) {
            const Node* from = src.nodes_[k];
            T* copy = NewEntry(from->entry);
            if (!copy) {
                af_ = nocrt::FailureMark(1, sizeof(T));
                return *this;
            }
            Node* node;
            try {
                node = nocrt::NewObject<Node>(from->id, copy);
            } catch (...) {
                delete copy;
                throw;
            }
            if (!node) {
                delete copy;
                af_ = nocrt::FailureMark(1, sizeof(Node));
                return *this;
            }
            if (node->id > maxId_) maxId_ = node->id;
            try {
                nodes_.push_back(node);
            } catch (...) {
                delete node;
                throw;
            }
            af_ = nodes_.af_;
            if (af_) {
                delete node;
                return *this;
            }
            Took(node->id);
        }
        return *this;
    }

    void SetFactory(Factory f) { factory_ = f; }

    // Exchanges everything but the factories with other: the nodes, the id counters and
    // the allocation-failure marks.
    void SwapNodes(NoCrtSortedList& other) {
        std::swap(af_, other.af_);
        std::swap(maxId_, other.maxId_);
        std::swap(topId_, other.topId_);
        std::swap(nodes_.af_, other.nodes_.af_);
        std::swap(nodes_.p_, other.nodes_.p_);
        std::swap(nodes_.s_, other.nodes_.s_);
        std::swap(nodes_.cap_, other.nodes_.cap_);
    }

    // A new entry owned by the caller: the factory's, else T's copy or default constructor.
    T* NewEntry(const T* src) const {
        if (factory_) return factory_(src);
        return src ? nocrt::NewObject<T>(*src) : nocrt::NewObject<T>();
    }

    void Insert(int& result, Node* node) {
        NOCRT_CHECK(!af_, "!af_", 220);
        std::uint32_t pos = 0;
        if (FindPlace(*node->entry, pos)) {
            result = kDuplicateEntry;
            return;
        }
        // Room is taken geometrically, so a list filled one insert at a time does not copy
        // its whole store at every insert.
        if (!nodes_.reserve_more(1)) nodes_.insert(nodes_.begin() + pos, node);
        af_ = nodes_.af_;
        result = af_ ? kAllocationFailed : kInserted;
        if (result == kInserted) Took(node->id);
    }

    void AddWithNewId(int& result, T* entry) {
        if (maxId_ == 0xFFFFFFFFu) {
            // Every id has been handed out: a wrapped counter would repeat ids in use.
            result = kIdInUse;
            return;
        }
        Node* node = nocrt::NewObject<Node>(0, entry);
        if (!node) {
            result = kAllocationFailed;
            return;
        }
        node->id = ++maxId_;
        try {
            Insert(result, node);
        } catch (...) {
            node->entry = nullptr;
            delete node;
            throw;
        }
        if (result != kInserted) {
            // The id stays used; the entry goes back to the caller.
            node->entry = nullptr;
            delete node;
        }
    }

    // For decoders that fill a list in one go: the entry goes to the end under the next id
    // without a search for its place (results as AddWithNewId, never kDuplicateEntry).
    // Until SortAppended the list is out of order: nothing may search or insert into it.
    void AppendWithNewId(int& result, T* entry) {
        NOCRT_CHECK(!af_, "!af_", 220);
        if (maxId_ == 0xFFFFFFFFu) {
            result = kIdInUse;
            return;
        }
        Node* node = nocrt::NewObject<Node>(0, entry);
        if (!node) {
            result = kAllocationFailed;
            return;
        }
        node->id = maxId_ + 1;
        AppendWithId(result, node);
        if (result != kInserted) {
            // The entry goes back to the caller.
            node->entry = nullptr;
            delete node;
        }
    }

    // The same for a node that already carries an id, which the caller has made sure no
    // entry holds; maxId_ is raised to it as InsertWithId does.
    void AppendWithId(int& result, Node* node) {
        NOCRT_CHECK(!af_, "!af_", 220);
        if (nodes_.reserve_more(1)) {
            af_ = nodes_.af_;
            result = kAllocationFailed;
            return;
        }
        if (node->id > maxId_) maxId_ = node->id;
        AppendNode(node);
        result = kInserted;
    }

    // Puts the list in order after appends, in n log n whatever order the entries came in
    // (one comparison per entry when they came in order). Of entries equal in order the
    // one with the lowest id stays, the one that inserting each in turn would have kept,
    // and the others are deleted; returns how many were. It allocates nothing and throws
    // nothing, so it can run while an exception passes, and it works on a marked list.
    std::uint32_t SortAppended() {
        Node** p = nodes_.p_;
        const std::uint32_t n = nodes_.s_;
        std::uint32_t ordered = 1;
        while (ordered < n && *p[ordered - 1]->entry < *p[ordered]->entry) ++ordered;
        if (ordered >= n) return 0;
        HeapSort(p, n);
        std::uint32_t kept = 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            Node* node = p[i];
            p[i] = nullptr;
            if (kept > 0 && !(*p[kept - 1]->entry < *node->entry)) {
                delete node;
                continue;
            }
            p[kept++] = node;
        }
        nodes_.s_ = kept;
        if (kept < n) FindTopId();
        return n - kept;
    }

    void InsertWithId(int& result, Node* node) {
        if (FindIndexById(node->id) >= 0) {
            result = kIdInUse;
            return;
        }
        if (node->id > maxId_) maxId_ = node->id;
        Insert(result, node);
    }

    // Puts entry i back in order after it changed. True when it was taken out: then it is
    // either in its new place (removed null) or, being equal to another entry, handed back
    // to the caller through removed.
    bool Resort(std::uint32_t i, Node*& removed) {
        removed = nullptr;
        std::uint32_t n = size();
        bool rightInOrder = !(i + 1 < n) || *at(i) < *at(i + 1);
        if (rightInOrder) {
            if (i == 0) return false;
            if (*at(i - 1) < *at(i)) return false;
        }
        Node* node = nodes_[i];
        nodes_.erase(nodes_.begin() + i);
        removed = node;
        int result = kAllocationFailed;
        Insert(result, node);  // the slot just freed is still there: nothing is allocated
        if (result == kInserted) {
            removed = nullptr;
            return true;
        }
        if (result == kDuplicateEntry) {
            Lost(node->id);
            return true;
        }
        NOCRT_CHECK(false, "false", 199);
        return false;
    }

    std::uint32_t NextId() { return ++maxId_; }

    // Works on a marked list too: the destructor relies on it. The nodes go first to last,
    // the order a decoder made them in, which the heap frees many times faster than the
    // reverse; each is out of the list before it is deleted.
    void clear() {
        const std::uint32_t n = nodes_.s_;
        for (std::uint32_t k = 0; k < n; ++k) {
            Node* node = nodes_.p_[k];
            nodes_.p_[k] = nullptr;
            delete node;
        }
        nodes_.s_ = 0;
        maxId_ = 0;
        topId_ = 0;
    }

    void EraseAt(std::uint32_t i) {
        Node* node = nodes_[i];
        nodes_.erase(nodes_.begin() + i);
        Lost(node->id);
        delete node;
    }

    std::uint32_t size() const { return nodes_.size(); }
    bool empty() const { return nodes_.empty(); }
    T* at(std::uint32_t i) { return nodes_.at(i)->entry; }
    const T* at(std::uint32_t i) const { return nodes_.at(i)->entry; }
    const T& operator[](std::uint32_t i) const { return *at(i); }
    std::uint32_t IdAt(std::uint32_t i) const { return nodes_[i]->id; }

    // Where an entry belongs, by binary search after a look at the last entry, so that
    // entries arriving in order cost one comparison each. True when an entry equal to it
    // is there already (at pos).
    bool FindPlace(const T& entry, std::uint32_t& pos) const {
        std::uint32_t high = nodes_.size();
        if (high == 0 || *nodes_[high - 1]->entry < entry) {
            pos = high;
            return false;
        }
        // Entries below low are less than entry; the one at high is not.
        std::uint32_t low = 0;
        --high;
        while (low < high) {
            std::uint32_t mid = low + (high - low) / 2;
            if (*nodes_[mid]->entry < entry)
                low = mid + 1;
            else
                high = mid;
        }
        pos = low;
        return !(entry < *nodes_[low]->entry);
    }

    int FindIndexById(std::uint32_t id) const {
        if (id > topId_) return -1;
        for (std::uint32_t k = 0; k < nodes_.size(); ++k) {
            if (nodes_[k]->id == id) return static_cast<int>(k);
        }
        return -1;
    }

private:
    // The largest id that a node in the list holds, 0 while it holds none. An id above it
    // is free without a look at the nodes, so that a list filled under new ids, or under
    // ascending ids as a script of the list gives them, is filled in linear time.
    std::uint32_t topId_ = 0;

    void Took(std::uint32_t id) {
        if (id > topId_) topId_ = id;
    }
    // After the node with this id left the list.
    void Lost(std::uint32_t id) {
        if (id == topId_) FindTopId();
    }
    void FindTopId() {
        topId_ = 0;
        for (std::uint32_t k = 0; k < nodes_.s_; ++k) Took(nodes_.p_[k]->id);
    }

    // The store has room for it.
    void AppendNode(Node* node) {
        nodes_.p_[nodes_.s_++] = node;
        Took(node->id);
    }

    // The order of SortAppended: the entries' own, then the ids, so that of equal entries
    // the oldest comes first.
    static bool Before(const Node* a, const Node* b) {
        if (*a->entry < *b->entry) return true;
        if (*b->entry < *a->entry) return false;
        return a->id < b->id;
    }

    // In place, so that sorting needs no memory; any order of T keeps it within bounds.
    static void HeapSort(Node** p, std::uint32_t n) {
        for (std::uint32_t i = n / 2; i-- > 0;) SiftDown(p, i, n);
        for (std::uint32_t end = n; end-- > 1;) {
            Node* top = p[0];
            p[0] = p[end];
            p[end] = top;
            SiftDown(p, 0, end);
        }
    }

    static void SiftDown(Node** p, std::uint32_t root, std::uint32_t n) {
        for (;;) {
            std::uint64_t child = 2 * std::uint64_t(root) + 1;
            if (child >= n) return;
            if (child + 1 < n && Before(p[child], p[child + 1])) ++child;
            if (!Before(p[root], p[child])) return;
            Node* parent = p[root];
            p[root] = p[child];
            p[child] = parent;
            root = static_cast<std::uint32_t>(child);
        }
    }
};
