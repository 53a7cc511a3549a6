// A sorted-list evaluator with a binary codec in the record layer. Stored form: a word32
// count, then each entry's own encoding in list order; ids, the pending New entry, the
// factory and the keep-default flag are not stored, and decoded entries get the ids
// 1, 2, 3... in stream order.
#pragma once

#include "RoVodEre/ErrorInfo.h"
#include "settings/framework/record_codec.h"
#include "settings/framework/sorted_list_evaluator.h"

// T adds to the entry requirements of SortedListEvaluator:
//   int Encode(EncodeOutput&)   bytes written, or 0 after adding its texts
//   int Decode(DecodeContext&)  bytes read, or 0 after adding its texts
//   bool IsValid(ErrorInfo&)    false after adding one text
template <class T>
class RuleList : public SortedListEvaluator<T> {
public:
    RuleList() {}
    RuleList(const RuleList& src) : SortedListEvaluator<T>(src) {}
    RuleList& operator=(const RuleList& src)
    {
        SortedListEvaluator<T>::operator=(src);
        return *this;
    }
    ~RuleList() override {}

    int Encode(EncodeOutput& out)
    {
        // A list that lost entries to a failed allocation would be stored without them.
        if (this->af_)
            return CalledFrom(out, "RuleList::Encode()");
        int total = EncodeWord32(out, this->size());
        if (!total)
            return CalledFrom(out, "RuleList::Encode()");
        for (std::uint32_t i = 0; i < this->size(); ++i) {
            int written = this->at(i)->Encode(out);
            if (!written)
                return CalledFrom(out, "RuleList::Encode()");
            total += written;
        }
        return total;
    }

    // Replaces the entries. A record equal in order to an earlier one is dropped with a
    // warning (its bytes still count); a failure leaves the records decoded before it.
    int Decode(DecodeContext& in)
    {
        std::uint32_t count = 0;
        if (!DecodeWord32(in, count))
            return CalledFrom(in, "RuleList::Decode()");
        // A list marked by a failed allocation cannot take entries any more.
        if (this->af_)
            return 0;
        this->Clear();
        // Room for the records up front, as many as the bytes left could hold (each takes
        // one at least): a long list is not copied as it grows, and a count that the data
        // cannot back reserves no more than the data's size.
        const std::uint32_t left = in.HasRemaining(0) ? in.size - in.pos : 0;
        if (this->nodes_.reserve(count < left ? count : left)) {
            this->af_ = this->nodes_.af_;
            return 0;
        }
        int total = 4;
        // Records go in at the end as they come and are put in order once, so that a long
        // list costs n log n in any order rather than a search and a move per record.
        bool decoded = false;
        try {
            decoded = AppendRecords(in, count, total);
        } catch (...) {
            this->SortAppended();
            throw;
        }
        for (std::uint32_t dropped = this->SortAppended(); dropped > 0; --dropped)
            in.AddWarning("RuleList::Decode() - dropping decoded record - is equal in order to a previously "
                          "decoded record");
        return decoded ? total : 0;
    }

    // Stops at the first entry that is not valid; the entries leave the texts.
    bool IsValid(ErrorInfo& info)
    {
        for (std::uint32_t i = 0; i < this->size(); ++i) {
            if (!this->at(i)->IsValid(info))
                return false;
        }
        return true;
    }

private:
    // False after a failure, which has left its texts (none for a failed allocation).
    bool AppendRecords(DecodeContext& in, std::uint32_t count, int& total)
    {
        // A count that the data cannot back ends at the first record that is not there.
        for (std::uint32_t k = 0; k < count; ++k) {
            T* record = this->NewEntry(nullptr);
            if (!record) {
                this->af_ = nocrt::FailureMark(1, sizeof(T));
                return false;
            }
            int read = record->Decode(in);
            if (!read) {
                delete record;
                CalledFrom(in, "RuleList::Decode()");
                return false;
            }
            total += read;
            int result = SortedListEvaluator<T>::kIdInUse;  // every id handed out already
            try {
                if (this->maxId_ < SortedListEvaluator<T>::kMaxId)
                    this->AppendWithNewId(result, record);
            } catch (...) {
                delete record;
                throw;
            }
            if (result == SortedListEvaluator<T>::kCommitted)
                continue;
            delete record;
            if (result != SortedListEvaluator<T>::kAllocationFailed)
                in.AddError("RuleList::Decode() - an unrecognized error occured while inserting the decoded record");
            return false;
        }
        return true;
    }
};
