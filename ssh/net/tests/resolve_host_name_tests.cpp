#include "ssh/net/resolve_host_name.h"
#include "ssh/net/tests/winsock_environment.h"

#include <gtest/gtest.h>


namespace {

::testing::Environment* const winsock = ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

const std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network order, as stored

TEST(ResolveHostName, LocalhostThroughItsHolder) {
    ResolveHostNamePtr holder;
    ResolveHostName::Create(holder);
    holder->SetHost("localhost");
    holder->StartThread();
    // The lookup has run inside StartThread: its event is set and the holder still reads it.
    EXPECT_EQ(WaitForSingleObject(holder->CompletionEvent(), 0), WAIT_OBJECT_0);
    ASSERT_TRUE(holder->Succeeded());
    ASSERT_FALSE(holder->GetAddresses().empty());
    EXPECT_EQ(holder->GetAddresses().front(), kLoopback);
    EXPECT_EQ(holder->GetErrorCode(), 0u);
    EXPECT_EQ(holder->GetErrorDesc(), "");

    // A second run appends to the first.
    size_t first = holder->GetAddresses().size();
    holder->StartThread();
    EXPECT_EQ(holder->GetAddresses().size(), 2 * first);
}

TEST(ResolveHostName, DottedTextResolvesToItself) {
    ResolveHostNamePtr holder;
    ResolveHostName::Create(holder);
    holder->SetHost("10.1.2.3");
    holder->StartThread();
    ASSERT_TRUE(holder->Succeeded());
    EXPECT_EQ(holder->GetAddresses(), std::vector<std::uint32_t>{inet_addr("10.1.2.3")});
}

TEST(ResolveHostName, NameWithANulIsNotFound) {
    // The system would see only "localhost" and find it.
    ResolveHostNamePtr holder;
    ResolveHostName::Create(holder);
    holder->SetHost(std::string("localhost\0.example", 18));
    holder->StartThread();
    EXPECT_FALSE(holder->Succeeded());
    EXPECT_TRUE(holder->GetAddresses().empty());
    EXPECT_EQ(holder->GetErrorCode(), std::uint32_t(WSAHOST_NOT_FOUND));
    std::string prefix = "gethostbyname() failed: OS error " + std::to_string(WSAHOST_NOT_FOUND);
    EXPECT_EQ(holder->GetErrorDesc().substr(0, prefix.size()), prefix);
}

TEST(ResolveHostName, UnknownNameGivesTheSocketsError) {
    ResolveHostNamePtr holder;
    ResolveHostName::Create(holder);
    holder->SetHost("no-such-host.invalid");
    holder->StartThread();
    EXPECT_FALSE(holder->Succeeded());
    EXPECT_TRUE(holder->GetAddresses().empty());
    // Without a name server the resolver may answer that it could not ask.
    std::uint32_t code = holder->GetErrorCode();
    EXPECT_TRUE(code == WSAHOST_NOT_FOUND || code == WSATRY_AGAIN || code == WSANO_DATA) << code;
    std::string prefix = "gethostbyname() failed: OS error " + std::to_string(code);
    EXPECT_EQ(holder->GetErrorDesc().substr(0, prefix.size()), prefix);
}

// Counts its own destruction.
class CountedLookup : public ResolveHostName {
public:
    explicit CountedLookup(int& destroyed) : destroyed(destroyed) {}
    ~CountedLookup() override { ++destroyed; }
    void AfterRun() override {
        // While the lookup runs, its accessors refuse.
        for (auto call : {+[](ResolveHostName& r) { r.Succeeded(); }, +[](ResolveHostName& r) { r.GetAddresses(); },
                          +[](ResolveHostName& r) { r.GetErrorCode(); }, +[](ResolveHostName& r) { r.GetErrorDesc(); },
                          +[](ResolveHostName& r) { r.SetHost("x"); }}) {
            try {
                call(*this);
                refusals.push_back("none");
            } catch (const ThreadErr& e) {
                refusals.push_back(e.what());
            }
        }
    }
    int& destroyed;
    std::vector<std::string> refusals;
};

TEST(ResolveHostName, GuardsItsRunAndLivesAsLongAsAHolder) {
    int destroyed = 0;
    {
        ResolveHostNamePtr holder;
        CountedLookup* lookup = new CountedLookup(destroyed);
        holder = lookup;
        holder->SetHost("localhost");
        holder->StartThread();
        EXPECT_EQ(lookup->refusals,
                  (std::vector<std::string>{"ResolveHostName::Succeeded(): thread is running",
                                            "ResolveHostName::GetAddresses(): thread is running",
                                            "ResolveHostName::GetErrorCode(): thread is running",
                                            "ResolveHostName::GetErrorDesc(): thread is running",
                                            "ResolveHostName::SetHost(): thread is running"}));
        EXPECT_TRUE(holder->Succeeded());

        // A second holder keeps the object alive; replacing the first holder's object
        // does not destroy it.
        ResolveHostNamePtr second = holder;
        ResolveHostName::Create(holder);
        EXPECT_EQ(destroyed, 0);
        second.Reset();
        EXPECT_EQ(destroyed, 1);
    }
    EXPECT_EQ(destroyed, 1);
}

TEST(ResolveHostAddress, LoopbackHasAName) {
    ResolveHostAddress* lookup = new ResolveHostAddress;
    RefPtr<ResolveHostAddress> holder;
    holder = lookup;
    holder->SetAddress(kLoopback);
    holder->StartThread();
    ASSERT_TRUE(holder->Succeeded()) << holder->GetErrorDesc();
    ASSERT_FALSE(holder->GetNames().empty());
    EXPECT_FALSE(holder->GetNames().front().empty());
}

}  // namespace
