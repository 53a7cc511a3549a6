#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RoVodEre/NoCrtSortedList.h"
#include "RoVodEre/tests/check_failure.h"

namespace {

int g_comparisons = 0;
int g_alive = 0;
std::vector<int>* g_destroyedKeys = nullptr;  // when set, entries note their keys as they go

struct Entry {
    int key;
    bool madeByFactory;
    Entry() : key(0), madeByFactory(false) { ++g_alive; }
    explicit Entry(int k) : key(k), madeByFactory(false) { ++g_alive; }
    Entry(const Entry& o) : key(o.key), madeByFactory(false) { ++g_alive; }
    virtual ~Entry()
    {
        --g_alive;
        if (g_destroyedKeys)
            g_destroyedKeys->push_back(key);
    }
};
bool operator<(const Entry& a, const Entry& b) {
    ++g_comparisons;
    return a.key < b.key;
}

typedef NoCrtSortedList<Entry> List;

std::vector<int> Keys(const List& list) {
    std::vector<int> keys;
    for (std::uint32_t i = 0; i < list.size(); ++i) keys.push_back(list[i].key);
    return keys;
}
std::vector<std::uint32_t> Ids(const List& list) {
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < list.size(); ++i) ids.push_back(list.IdAt(i));
    return ids;
}

class SortedListTest : public ::testing::Test {
protected:
    void SetUp() override { g_alive = 0; }
    void TearDown() override { EXPECT_EQ(0, g_alive); }
};

TEST_F(SortedListTest, InsertKeepsOrderAndRefusesEqualEntries) {
    List list;
    int result = -1;
    List::Node* first = new List::Node(5, new Entry(20));
    list.Insert(result, first);
    EXPECT_EQ(0, result);
    EXPECT_EQ(0, list.FindIndexById(5));

    List::Node* twin = new List::Node(6, new Entry(20));
    list.Insert(result, twin);
    EXPECT_EQ(1, result);
    EXPECT_EQ(1u, list.size());
    EXPECT_EQ(0u, list.maxId_);
    delete twin;  // still the caller's

    // Entries that arrive in ascending order cost one comparison each.
    for (int k = 21; k < 25; ++k) {
        g_comparisons = 0;
        list.Insert(result, new List::Node(k, new Entry(k + 10)));
        EXPECT_EQ(1, g_comparisons);
    }
    list.Insert(result, new List::Node(1, new Entry(25)));
    list.Insert(result, new List::Node(2, new Entry(5)));
    EXPECT_EQ((std::vector<int>{5, 20, 25, 31, 32, 33, 34}), Keys(list));
    EXPECT_EQ(-1, list.FindIndexById(99));
}

TEST_F(SortedListTest, ClearFreesEntriesInListOrderAndKeepsTheStore)
{
    List list;
    int result = -1;
    for (int key : {30, 10, 20})
        list.AddWithNewId(result, new Entry(key));
    std::vector<int> destroyed;
    g_destroyedKeys = &destroyed;
    list.clear();
    g_destroyedKeys = nullptr;
    EXPECT_EQ((std::vector<int>{10, 20, 30}), destroyed);
    EXPECT_EQ(0u, list.size());
    EXPECT_GE(list.nodes_.cap_, 3u);
}

TEST_F(SortedListTest, NewIdsGrowUntilCleared) {
    List list;
    int result = -1;
    list.AddWithNewId(result, new Entry(30));
    list.AddWithNewId(result, new Entry(10));
    list.AddWithNewId(result, new Entry(20));
    EXPECT_EQ((std::vector<std::uint32_t>{2, 3, 1}), Ids(list));

    list.EraseAt(list.FindIndexById(3));
    list.AddWithNewId(result, new Entry(40));
    EXPECT_EQ(4u, list.IdAt(list.FindIndexById(4)));

    Entry* duplicate = new Entry(40);
    list.AddWithNewId(result, duplicate);
    EXPECT_EQ(1, result);
    delete duplicate;  // refused entries stay the caller's
    list.AddWithNewId(result, new Entry(50));
    EXPECT_EQ(-1, list.FindIndexById(5));  // consumed by the refusal
    EXPECT_GE(list.FindIndexById(6), 0);

    list.clear();
    EXPECT_EQ(0u, list.size());
    list.AddWithNewId(result, new Entry(1));
    EXPECT_EQ(1u, list.IdAt(0));

    // A counter at its limit hands out no id that could repeat one in use.
    list.maxId_ = 0xFFFFFFFFu;
    Entry* late = new Entry(2);
    list.AddWithNewId(result, late);
    EXPECT_EQ(2, result);
    EXPECT_EQ(1u, list.size());
    delete late;
}

TEST_F(SortedListTest, InsertWithIdRaisesCounterAndRefusesUsedIds) {
    List list;
    int result = -1;
    for (int k = 0; k < 3; ++k) list.AddWithNewId(result, new Entry(k));
    List::Node* node = new List::Node(10, new Entry(1));  // equal to a present entry
    list.InsertWithId(result, node);
    EXPECT_EQ(1, result);
    EXPECT_EQ(10u, list.maxId_);
    delete node;
    list.AddWithNewId(result, new Entry(7));
    EXPECT_EQ(11u, list.IdAt(3));

    g_comparisons = 0;
    List::Node* used = new List::Node(2, new Entry(99));
    list.InsertWithId(result, used);
    EXPECT_EQ(2, result);
    EXPECT_EQ(0, g_comparisons);
    delete used;
}

TEST_F(SortedListTest, ResortMovesChangedEntriesOrHandsThemBack) {
    List list;
    int result = -1;
    List::Node* removed = nullptr;
    list.AddWithNewId(result, new Entry(10));
    EXPECT_FALSE(list.Resort(0, removed));

    list.AddWithNewId(result, new Entry(20));
    list.AddWithNewId(result, new Entry(30));
    list.at(1)->key = 25;  // still in order
    EXPECT_FALSE(list.Resort(1, removed));
    list.at(0)->key = 27;  // past its right neighbour
    EXPECT_TRUE(list.Resort(0, removed));
    EXPECT_EQ(nullptr, removed);
    EXPECT_EQ((std::vector<int>{25, 27, 30}), Keys(list));
    EXPECT_EQ(1u, list.IdAt(1));
    list.at(2)->key = 5;  // before its left neighbour
    EXPECT_TRUE(list.Resort(2, removed));
    EXPECT_EQ((std::vector<int>{5, 25, 27}), Keys(list));

    list.at(2)->key = 25;  // now equal to a neighbour: taken out and handed back
    EXPECT_TRUE(list.Resort(2, removed));
    ASSERT_NE(nullptr, removed);
    EXPECT_EQ(25, removed->entry->key);
    EXPECT_EQ(2u, list.size());
    delete removed;
}

// Every id that the list holds is found at its entry and refused to another node.
void ExpectEveryIdInUse(List& list, const char* after) {
    for (std::uint32_t i = 0; i < list.size(); ++i) {
        const std::uint32_t id = list.IdAt(i);
        EXPECT_EQ(static_cast<int>(i), list.FindIndexById(id)) << after << ", id " << id;
        List::Node* other = new List::Node(id, new Entry(1000 + static_cast<int>(i)));
        int result = -1;
        list.InsertWithId(result, other);
        EXPECT_EQ(2, result) << after << ", id " << id;
        if (result != 0) delete other;
    }
}

// Ids are found however they came in, and an id is free again once its entry left.
TEST_F(SortedListTest, IdsAreFoundUntilTheirEntryLeaves) {
    List list;
    int result = -1;
    list.Insert(result, new List::Node(4, new Entry(40)));
    list.InsertWithId(result, new List::Node(9, new Entry(90)));
    list.AddWithNewId(result, new Entry(10));  // id 10
    list.AppendWithNewId(result, new Entry(95));  // id 11
    list.AppendWithNewId(result, new Entry(5));   // id 12
    list.SortAppended();
    EXPECT_EQ((std::vector<std::uint32_t>{12, 10, 4, 9, 11}), Ids(list));
    ExpectEveryIdInUse(list, "filled");
    EXPECT_EQ(-1, list.FindIndexById(13));
    List copy(list);
    ExpectEveryIdInUse(copy, "copied");

    list.EraseAt(0);  // id 12
    ExpectEveryIdInUse(list, "erased");
    EXPECT_EQ(-1, list.FindIndexById(12));

    List::Node* removed = nullptr;
    list.at(3)->key = 40;  // id 11 now equals id 4's entry: handed back
    EXPECT_TRUE(list.Resort(3, removed));
    ASSERT_NE(nullptr, removed);
    delete removed;
    ExpectEveryIdInUse(list, "handed back");
    EXPECT_EQ(-1, list.FindIndexById(11));

    list.AppendWithNewId(result, new Entry(40));  // id 13, equal to id 4's entry: dropped
    EXPECT_EQ(1u, list.SortAppended());
    ExpectEveryIdInUse(list, "dropped");
    EXPECT_EQ(-1, list.FindIndexById(13));
    List::Node* reused = new List::Node(13, new Entry(60));
    list.InsertWithId(result, reused);
    EXPECT_EQ(0, result);
    EXPECT_EQ((std::vector<std::uint32_t>{10, 4, 13, 9}), Ids(list));

    list.clear();
    EXPECT_EQ(-1, list.FindIndexById(4));
}

TEST_F(SortedListTest, AppendedEntriesAreOrderedAtOnceKeepingTheOldestOfEqualOnes) {
    List list;
    int result = -1;
    list.AddWithNewId(result, new Entry(20));
    for (int key : {30, 10, 20, 10, 5}) {
        list.AppendWithNewId(result, new Entry(key));
        EXPECT_EQ(0, result);
    }
    EXPECT_EQ(2u, list.SortAppended());  // the second 20 and the second 10
    EXPECT_EQ((std::vector<int>{5, 10, 20, 30}), Keys(list));
    EXPECT_EQ((std::vector<std::uint32_t>{6, 3, 1, 2}), Ids(list));
    list.AddWithNewId(result, new Entry(1));
    EXPECT_EQ(7u, list.IdAt(0));

    // Entries appended in order cost one comparison each.
    List ordered;
    for (int key = 0; key < 50; ++key) ordered.AppendWithNewId(result, new Entry(key));
    g_comparisons = 0;
    EXPECT_EQ(0u, ordered.SortAppended());
    EXPECT_EQ(49, g_comparisons);
}

// Inserting one by one and appending then sorting give the list that an insert of each
// key in turn would: ascending, each key once under the id of its first occurrence.
TEST_F(SortedListTest, InsertAndAppendAgreeOnAnyOrder) {
    std::vector<int> keys;
    std::uint32_t state = 12345;
    for (int k = 0; k < 3000; ++k) {
        state = state * 1103515245u + 12345u;
        keys.push_back(static_cast<int>((state >> 8) % 1000));
    }
    for (int k = 0; k < 500; ++k) keys.push_back(2000 - k);  // a descending run
    std::vector<int> expectedKeys;
    std::vector<std::uint32_t> expectedIds;
    for (int key = 0; key <= 2000; ++key) {
        for (std::size_t k = 0; k < keys.size(); ++k) {
            if (keys[k] == key) {
                expectedKeys.push_back(key);
                expectedIds.push_back(static_cast<std::uint32_t>(k + 1));
                break;
            }
        }
    }

    List inserted, appended;
    int result = -1;
    for (int key : keys) {
        Entry* e = new Entry(key);
        inserted.AddWithNewId(result, e);
        if (result != 0) delete e;
        appended.AppendWithNewId(result, new Entry(key));
    }
    EXPECT_EQ(keys.size() - expectedKeys.size(), appended.SortAppended());
    EXPECT_EQ(expectedKeys, Keys(inserted));
    EXPECT_EQ(expectedIds, Ids(inserted));
    EXPECT_EQ(expectedKeys, Keys(appended));
    EXPECT_EQ(expectedIds, Ids(appended));
}

Entry* MarkingFactory(const Entry* source) {
    Entry* e = source ? new Entry(*source) : new Entry(100);
    e->madeByFactory = true;
    return e;
}
Entry* FailingFactory(const Entry*) { return nullptr; }

TEST_F(SortedListTest, CopiesKeepIdsAndUseTheTargetsFactory) {
    List source;
    source.SetFactory(FailingFactory);
    int result = -1;
    source.InsertWithId(result, new List::Node(7, new Entry(2)));
    source.InsertWithId(result, new List::Node(2, new Entry(1)));
    source.maxId_ = 9;

    List copy(source);  // no factory: T's copy constructor
    EXPECT_EQ(0, copy.af_);
    EXPECT_EQ((std::vector<std::uint32_t>{2, 7}), Ids(copy));
    EXPECT_EQ(7u, copy.maxId_);
    EXPECT_EQ(8u, copy.NextId());
    EXPECT_NE(source.at(0), copy.at(0));

    List made;
    made.SetFactory(MarkingFactory);
    made.AddWithNewId(result, new Entry(50));
    made = source;
    EXPECT_EQ((std::vector<int>{1, 2}), Keys(made));
    EXPECT_TRUE(made.at(0)->madeByFactory);
    Entry* fresh = made.NewEntry(nullptr);
    EXPECT_EQ(100, fresh->key);
    delete fresh;

    List failing;
    failing.SetFactory(FailingFactory);
    failing = source;
    EXPECT_EQ(static_cast<int>(sizeof(Entry)), failing.af_);
    EXPECT_EQ(0u, failing.nodes_.s_);
    failing = copy;  // a marked list ignores assignment
    EXPECT_EQ(0u, failing.nodes_.s_);

    List marked;
    marked.af_ = 8;
    copy = marked;
    EXPECT_EQ(8, copy.af_);
}

TEST_F(SortedListTest, FailedChecks) {
    CheckFailure failure = RunExpectingCheckFailure([] {
        List list;
        list.af_ = 4;
        int result;
        list.Insert(result, nullptr);
    });
    EXPECT_EQ(0x8805u, failure.exitCode);
    EXPECT_NE(std::string::npos, failure.message.find("NoCrtSortedList.h', line 220:\r\n!af_\r\n"));
    failure = RunExpectingCheckFailure([] {
        List list;
        list.at(0);
    });
    EXPECT_NE(std::string::npos, failure.message.find(LineAndText(301, "!af_ && i<s_")));
    g_alive = 0;  // the failing threads never destroyed their lists
}

}  // namespace
