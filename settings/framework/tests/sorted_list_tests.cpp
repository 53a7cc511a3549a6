#include <gtest/gtest.h>

#include "settings/framework/sorted_list_evaluator.h"
#include "settings/framework/tests/fixture_records.h"

namespace {

typedef SortedListEvaluator<ForwardRule> Rules;

typedef ProductDefaultList<Rules> DefaultRules;

void Commit(Rules& list, std::uint32_t intf, std::uint32_t port)
{
    ForwardRule* entry = list.New();
    entry->m_nListenIntf = intf;
    entry->m_nListenPort = port;
    ASSERT_EQ(0, list.NewCommit());
}

std::vector<std::uint32_t> Ports(const Rules& list)
{
    std::vector<std::uint32_t> ports;
    for (std::uint32_t i = 0; i < list.size(); ++i)
        ports.push_back(list.at(i)->m_nListenPort);
    return ports;
}

TEST(SortedListEvaluator, NewEntryIsPendingUntilCommitted)
{
    Rules list;
    std::wstring type;
    list.TypeName(type);
    EXPECT_EQ(L"sorted list", type);

    ForwardRule* first = list.New();
    EXPECT_EQ(first, list.New());
    EXPECT_EQ(1u, list.NewId());
    EXPECT_EQ(0u, list.size());
    EXPECT_TRUE(list.IsDefault());  // the pending entry does not count

    list.NewClear();
    EXPECT_EQ(2u, list.NewId());  // discarded ids are not reused
    first = list.New();
    first->m_nListenPort = 80;
    EXPECT_EQ(0, list.NewCommit());
    EXPECT_EQ(nullptr, list.m_pNewEntry.get());
    EXPECT_EQ(Ids(list), std::vector<std::uint32_t>{2});

    // Committing with nothing pending adds a fresh default entry under the next id.
    EXPECT_EQ(0, list.NewCommit());
    EXPECT_EQ((std::vector<std::uint32_t>{0, 80}), Ports(list));
    EXPECT_EQ((std::vector<std::uint32_t>{3, 2}), Ids(list));
    EXPECT_FALSE(list.IsDefault());
}

TEST(SortedListEvaluator, RefusedCommitLeavesTheEntryPending)
{
    Rules list;
    Commit(list, 1, 22);
    ForwardRule* dup = list.New();
    dup->m_nListenIntf = 1;
    dup->m_nListenPort = 22;
    EXPECT_EQ(Rules::kDuplicateEntry, list.NewCommit());
    EXPECT_EQ(dup, list.New());
    EXPECT_EQ(1u, list.size());
    dup->m_nListenPort = 23;
    EXPECT_EQ(0, list.NewCommit());
    EXPECT_EQ((std::vector<std::uint32_t>{22, 23}), Ports(list));
}

TEST(SortedListEvaluator, CreateNewWithId)
{
    Rules list;
    Commit(list, 0, 1);
    Commit(list, 0, 2);
    Commit(list, 0, 3);
    list.New();
    EXPECT_EQ(Rules::kInvalidId, list.CreateNewWithId(0));
    EXPECT_EQ(nullptr, list.m_pNewEntry.get());  // discarded even though the call failed
    list.New();
    EXPECT_EQ(Rules::kIdInUse, list.CreateNewWithId(2));
    EXPECT_EQ(nullptr, list.m_pNewEntry.get());
    EXPECT_EQ(Rules::kInvalidId, list.CreateNewWithId(0x80000000u));
    EXPECT_EQ(Rules::kInvalidId, list.CreateNewWithId(0xFFFFFFFFu));

    EXPECT_EQ(0, list.CreateNewWithId(50));
    list.New()->m_nListenPort = 4;
    EXPECT_EQ(0, list.NewCommit());
    EXPECT_EQ((std::vector<std::uint32_t>{1, 2, 3, 50}), Ids(list));
    EXPECT_EQ(51u, list.NewId());

    EXPECT_EQ(0, list.CreateNewWithId(Rules::kMaxId));
    list.New()->m_nListenPort = 5;
    EXPECT_EQ(0, list.NewCommit());
    // The counter stops at the largest id instead of wrapping to 0.
    EXPECT_THROW(list.New(), EvaluationErr);
    list.Clear();
    EXPECT_EQ(1u, list.NewId());
}

TEST(SortedListEvaluator, DefaultsWithoutAndWithAKeptEntry)
{
    Rules plain;
    Commit(plain, 0, 1);
    plain.New();
    plain.SetDefaults(0);
    EXPECT_EQ(0u, plain.size());
    EXPECT_EQ(nullptr, plain.m_pNewEntry.get());
    EXPECT_TRUE(plain.IsDefault());

    DefaultRules kept;
    ASSERT_EQ(1u, kept.size());
    EXPECT_EQ(1u, kept.IdAt(0));
    EXPECT_STREQ("localhost", kept.at(0)->m_sTargetHost.c_str());
    EXPECT_EQ(22u, kept.at(0)->m_nTargetPort);
    EXPECT_TRUE(kept.IsDefault());

    kept.at(0)->m_nTargetPort = 23;
    EXPECT_FALSE(kept.IsDefault());
    kept.at(0)->m_nTargetPort = 22;
    kept.New()->m_nListenPort = 1;
    EXPECT_TRUE(kept.IsDefault());  // pending entries never count
    EXPECT_EQ(0, kept.NewCommit());
    EXPECT_TRUE(kept.at(1)->IsDefault() || kept.at(0)->IsDefault());
    EXPECT_FALSE(kept.IsDefault());  // two entries, however default

    kept.SetDefaults(1);
    ASSERT_EQ(1u, kept.size());
    EXPECT_EQ(1u, kept.IdAt(0));
    EXPECT_TRUE(kept.IsDefault());
}

TEST(SortedListEvaluator, CopiesKeepIdsAndTheNewEntryButNotFactoryOrFlag)
{
    Rules source;
    source.CreateNewWithId(4);
    source.New()->m_nListenPort = 40;
    source.NewCommit();
    source.CreateNewWithId(9);
    source.New()->m_nListenPort = 90;
    source.NewCommit();
    source.New()->m_nListenPort = 100;  // pending, id 10
    ASSERT_EQ(10u, source.NewId());

    Rules copy(source);
    EXPECT_EQ((std::vector<std::uint32_t>{4, 9}), Ids(copy));
    EXPECT_EQ((std::vector<std::uint32_t>{40, 90}), Ports(copy));
    ASSERT_NE(nullptr, copy.m_pNewEntry.get());
    EXPECT_EQ(10u, copy.m_pNewEntry->id);
    EXPECT_NE(source.m_pNewEntry->entry, copy.m_pNewEntry->entry);
    EXPECT_EQ(100u, copy.m_pNewEntry->entry->m_nListenPort);
    EXPECT_FALSE(copy.m_bKeepDefaultEntry);
    EXPECT_EQ(nullptr, copy.factory_);
    EXPECT_NE(source.at(0), copy.at(0));

    // The target keeps its own factory and flag: its clones are of its own record class.
    DefaultRules target;
    target = source;
    EXPECT_TRUE(target.m_bKeepDefaultEntry);
    EXPECT_EQ((std::vector<std::uint32_t>{4, 9}), Ids(target));
    EXPECT_NE(nullptr, dynamic_cast<DefaultForwardRule*>(target.at(0)));
    EXPECT_NE(nullptr, dynamic_cast<DefaultForwardRule*>(target.m_pNewEntry->entry));
    EXPECT_EQ(10u, target.m_pNewEntry->id);
    // A copied New entry's id is not counted until it is committed.
    target.NewClear();
    EXPECT_EQ(10u, target.NewId());

    // A source without a New entry clears the target's.
    Rules empty;
    target = empty;
    EXPECT_EQ(0u, target.size());
    EXPECT_EQ(nullptr, target.m_pNewEntry.get());
}

TEST(SortedListEvaluator, ResortAfterInstruction)
{
    Rules list;
    Commit(list, 0, 10);
    Commit(list, 0, 20);
    Commit(list, 0, 30);

    list.at(1)->m_nListenPort = 25;  // still between its neighbours
    EXPECT_FALSE(list.ResortAfterInstruction(L"2.listenPort 25", 1));
    list.at(0)->m_nListenPort = 40;
    EXPECT_TRUE(list.ResortAfterInstruction(L"1.listenPort 40", 0));
    EXPECT_EQ((std::vector<std::uint32_t>{25, 30, 40}), Ports(list));
    EXPECT_EQ((std::vector<std::uint32_t>{2, 3, 1}), Ids(list));

    list.New()->m_nListenPort = 99;  // pending; replaced by the refused entry below
    list.at(0)->m_nListenPort = 30;
    try {
        list.ResortAfterInstruction(L"2.listenPort 30", 0);
        FAIL();
    } catch (const EvaluationErr& e) {
        EXPECT_EQ(L"SortedListEvaluator: Instruction '2.listenPort 30': entry number 0 has a non-unique sort key "
                  L"after processing of this instruction; the entry was removed from the list and is now "
                  L"accessible through 'New'. The entry should be corrected and re-added with 'NewCommit'. If the "
                  L"state is saved or exported at this point, this entry will not be included in the saved or "
                  L"exported state.",
                  e.WideMessage().text);
    }
    EXPECT_EQ((std::vector<std::uint32_t>{3, 1}), Ids(list));
    ASSERT_NE(nullptr, list.m_pNewEntry.get());
    EXPECT_EQ(2u, list.m_pNewEntry->id);
    EXPECT_EQ(30u, list.m_pNewEntry->entry->m_nListenPort);
    list.New()->m_nListenPort = 35;
    EXPECT_EQ(0, list.NewCommit());
    EXPECT_EQ((std::vector<std::uint32_t>{3, 2, 1}), Ids(list));
}

} // namespace
