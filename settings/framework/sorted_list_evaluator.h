// A settings list of records: a NoCrtSortedList that the settings language can address,
// with at most one pending "New" entry that is built up member by member and then
// committed into the list.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "RoVodEre/NoCrtSortedList.h"
#include "settings/framework/evaluator.h"
#include "settings/framework/expression.h"

template <class T>
class SortedListEvaluator : public NoCrtSortedList<T>, public Evaluator {
public:
    typedef NoCrtSortedList<T> List;
    typedef typename List::Node Node;

    // Entry ids run from 1 to kMaxId, so the id counter never wraps and an id always fits
    // the signed numbers of the language.
    static const std::uint32_t kMaxId = 0x7FFFFFFFu;

    // Results of NewCommit and CreateNewWithId.
    enum {
        kCommitted = 0,
        kStaged = 0,
        kDuplicateEntry = List::kDuplicateEntry,  // NewCommit: equal in order to an entry
        kInvalidId = 1,                           // CreateNewWithId: 0 or above kMaxId
        kIdInUse = List::kIdInUse,
        kAllocationFailed = List::kAllocationFailed,
    };

    // When true, SetDefaults leaves one default entry and IsDefault expects exactly one.
    bool m_bKeepDefaultEntry;
    // The pending New entry, or null.
    std::unique_ptr<Node> m_pNewEntry;

    SortedListEvaluator() : m_bKeepDefaultEntry(false) {}
    // The copy has no factory and no flag of its own: those belong to the list class.
    SortedListEvaluator(const SortedListEvaluator& src) : List(), Evaluator(), m_bKeepDefaultEntry(false)
    {
        *this = src;
    }
    ~SortedListEvaluator() override { NewClear(); }

    // Clones the entries with their ids through this list's own factory, and the pending
    // New entry with its id; this list keeps its factory and its flag.
    SortedListEvaluator& operator=(const SortedListEvaluator& src)
    {
        if (&src == this)
            return *this;
        List::operator=(src);
        NewClear();
        if (src.m_pNewEntry) {
            T* clone = this->NewEntry(src.m_pNewEntry->entry);
            if (!clone) {
                if (!this->af_)
                    this->af_ = nocrt::FailureMark(1, sizeof(T));
                return *this;
            }
            m_pNewEntry.reset(MakeNode(src.m_pNewEntry->id, clone));
        }
        return *this;
    }

    // Assignment from other without the clones, for a list whose factory makes the same
    // records as other's (a list of the same class): the entries with their ids and the
    // pending New entry change places with other's, so other keeps this list's old ones.
    // A list marked by a failed allocation, on either side, is assigned as usual.
    void TakeEntries(SortedListEvaluator& other)
    {
        if (&other == this)
            return;
        if (this->af_ || other.af_) {
            *this = other;
            return;
        }
        this->SwapNodes(other);
        m_pNewEntry.swap(other.m_pNewEntry);
    }

    void TypeName(std::wstring& out) const override { out = L"sorted list"; }

    // Empties the list; with m_bKeepDefaultEntry it then holds one fresh entry, id 1.
    void SetDefaults(int) override
    {
        Clear();
        if (m_bKeepDefaultEntry)
            NewCommit();
    }

    bool IsDefault() override
    {
        if (!m_bKeepDefaultEntry)
            return this->size() == 0;
        return this->size() == 1 && this->at(0)->IsDefault();
    }

    void Instruction(const std::wstring& text, RootEvaluator& root) override;
    void Expression(const std::wstring& text, RootEvaluator& root, const std::wstring& path,
                    const std::wstring& indent, ExpressionResult& result) override;
    void Init(HINSTANCE) override {}

    // The pending New record, made (fresh from the factory, next id) when none is pending.
    T* New()
    {
        if (!m_pNewEntry) {
            if (this->maxId_ >= kMaxId)
                throw EvaluationErr(L"SortedListEvaluator: no entry id is left for a new entry; clear the list first");
            T* entry = this->NewEntry(nullptr);
            if (!entry)
                throw std::bad_alloc();
            m_pNewEntry.reset(MakeNode(this->NextId(), entry));
        }
        return m_pNewEntry->entry;
    }

    std::uint32_t NewId()
    {
        New();
        return m_pNewEntry->id;
    }

    // Commits the New entry (a fresh one when none is pending): 0, or kDuplicateEntry,
    // kIdInUse or kAllocationFailed with the New entry still pending.
    int NewCommit()
    {
        New();
        if (this->af_)
            return kAllocationFailed;
        int result = kAllocationFailed;
        this->InsertWithId(result, m_pNewEntry.get());
        if (result == List::kInserted)
            m_pNewEntry.release();  // the list owns the node now
        return result;
    }

    // For decoders that fill the list in one go: the New entry (a fresh one when none is
    // pending) goes to the end of the list without a search for its place, and
    // SortAppended later orders the list at once. 0, or kAllocationFailed with the New
    // entry still pending. Its id is free: both ways of staging it make sure of that, and
    // nothing adds an entry while it is pending.
    int NewAppend()
    {
        New();
        if (this->af_)
            return kAllocationFailed;
        int result = kAllocationFailed;
        this->AppendWithId(result, m_pNewEntry.get());
        if (result == List::kInserted)
            m_pNewEntry.release();
        return result;
    }

    void NewClear() { m_pNewEntry.reset(); }

    // Stages a fresh New entry under the given id: 0, kInvalidId (0 or above kMaxId) or
    // kIdInUse. Any pending New entry is discarded first, also when the call fails.
    int CreateNewWithId(std::uint32_t id)
    {
        NewClear();
        if (id == 0 || id > kMaxId)
            return kInvalidId;
        if (this->FindIndexById(id) >= 0)
            return kIdInUse;
        T* entry = this->NewEntry(nullptr);
        if (!entry)
            throw std::bad_alloc();
        m_pNewEntry.reset(MakeNode(id, entry));
        return kStaged;
    }

    // Every entry and the New entry go; ids start again at 1.
    void Clear()
    {
        this->clear();
        NewClear();
    }

    void SetKeepDefaultEntry(bool keep) { m_bKeepDefaultEntry = keep; }

    // Puts the entry at index back in order after instruction text changed it; true when
    // it moved. An entry now equal in order to another leaves the list, becomes the New
    // entry (replacing a pending one) and EvaluationErr tells the user.
    bool ResortAfterInstruction(const std::wstring& text, std::uint32_t index)
    {
        Node* removed = nullptr;
        bool moved = this->Resort(index, removed);
        if (!removed)
            return moved;
        m_pNewEntry.reset(removed);
        throw EvaluationErr(L"SortedListEvaluator: Instruction '" + text + L"': entry number " +
                            UIntToWString(index, 10, 0) +
                            L" has a non-unique sort key after processing of this instruction; the entry was "
                            L"removed from the list and is now accessible through 'New'. The entry should be "
                            L"corrected and re-added with 'NewCommit'. If the state is saved or exported at this "
                            L"point, this entry will not be included in the saved or exported state.");
    }

private:
    // Takes entry; a node that cannot be made deletes it and throws.
    static Node* MakeNode(std::uint32_t id, T* entry)
    {
        Node* node = nullptr;
        try {
            node = nocrt::NewObject<Node>(id, entry);
        } catch (...) {
            delete entry;
            throw;
        }
        if (!node) {
            delete entry;
            throw std::bad_alloc();
        }
        return node;
    }
};

#include "settings/framework/sorted_list_language.h"
