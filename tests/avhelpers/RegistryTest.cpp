#include "avhelpers/Registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

// The registries are process-wide: every test uses names of its own.
namespace {

using namespace avhelpers;

int OpenFirst(const std::string&, int, AVIOContext**) { return 1; }
int OpenSecond(const std::string&, int, AVIOContext**) { return 2; }

long Count(const std::vector<std::string>& names, const std::string& name) {
    return std::count(names.begin(), names.end(), name);
}

class TMarkStage : public TFilterStage {
public:
    explicit TMarkStage(int mark) : FMark(mark) {}
    const int* Formats() const override {
        static const int none[] = {-1};
        return none;
    }
    int Configure(int, int, int, int&, int&) override { return 0; }
    bool WorksInPlace() const override { return true; }
    int FilterFrame(AVFrame*, AVFrame*) override { return FMark; }

private:
    int FMark;
};

TEST(ProtocolRegistry, SameNameTwiceKeepsTheFirstRecord) {
    RegisterProtocolOnce({"regtest-once", OpenFirst});
    RegisterProtocolOnce({"regtest-once", OpenSecond});
    EXPECT_EQ(Count(RegisteredProtocolNames(), "regtest-once"), 1);
    auto found = FindProtocol("regtest-once");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->Open, &OpenFirst);
}

TEST(ProtocolRegistry, NamesAreComparedExactly) {
    RegisterProtocolOnce({"regtest-case", OpenFirst});
    RegisterProtocolOnce({"REGTEST-case", OpenSecond});
    RegisterProtocolOnce({"regtest-cas", OpenSecond});
    const auto names = RegisteredProtocolNames();
    EXPECT_EQ(Count(names, "regtest-case"), 1);
    EXPECT_EQ(Count(names, "REGTEST-case"), 1);
    EXPECT_EQ(Count(names, "regtest-cas"), 1);
    EXPECT_EQ(FindProtocol("REGTEST-case")->Open, &OpenSecond);
    EXPECT_FALSE(FindProtocol("regtest-c"));
}

TEST(ProtocolRegistry, UrlNeedsTheNameFollowedByAColon) {
    RegisterProtocolOnce({"regtest-url", OpenFirst});
    auto found = FindProtocolForUrl("regtest-url:/tmp/a b.avi");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->Name, "regtest-url");
    EXPECT_FALSE(FindProtocolForUrl("regtest-url"));
    EXPECT_FALSE(FindProtocolForUrl("regtest-urlx:/tmp/a"));
    EXPECT_FALSE(FindProtocolForUrl("regtest-ur:/tmp/a"));
    EXPECT_FALSE(FindProtocolForUrl("/tmp/regtest-url:a"));
}

TEST(ProtocolRegistry, LongestMatchingNameWins) {
    RegisterProtocolOnce({"regtest-s", OpenFirst});
    RegisterProtocolOnce({"regtest-s:1", OpenSecond});
    EXPECT_EQ(FindProtocolForUrl("regtest-s:1:name")->Name, "regtest-s:1");
    EXPECT_EQ(FindProtocolForUrl("regtest-s:2:name")->Name, "regtest-s");
}

TEST(FilterRegistry, SameNameTwiceKeepsTheFirstRecord) {
    RegisterFilterOnce({"regtest-filter", "first", [](const std::string&) { return std::make_unique<TMarkStage>(1); }});
    RegisterFilterOnce(
        {"regtest-filter", "second", [](const std::string&) { return std::make_unique<TMarkStage>(2); }});
    RegisterFilterOnce({"regtest-other", "other", nullptr});
    const auto names = RegisteredFilterNames();
    EXPECT_EQ(Count(names, "regtest-filter"), 1);
    EXPECT_EQ(Count(names, "regtest-other"), 1);

    auto found = FindFilter("regtest-filter");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->Description, "first");
    std::unique_ptr<TFilterStage> stage = found->Create("");
    ASSERT_TRUE(stage);
    EXPECT_EQ(stage->FilterFrame(nullptr, nullptr), 1);
    EXPECT_FALSE(FindFilter("regtest-missing"));
}

TEST(FilterRegistry, ConcurrentRegistrationKeepsOneEntryPerName) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 50; ++i) RegisterFilterOnce({"regtest-race-" + std::to_string(i), "", nullptr});
        });
    }
    for (std::thread& t : threads) t.join();
    const auto names = RegisteredFilterNames();
    for (int i = 0; i < 50; ++i) EXPECT_EQ(Count(names, "regtest-race-" + std::to_string(i)), 1) << i;
}

} // namespace
