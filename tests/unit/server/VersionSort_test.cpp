#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "server/UpdateServerRequest.h"

namespace {

using Sorted = std::vector<std::pair<std::string, std::string>>;

TEST(SplitHalvorineVersion, GivesThreePartsOrNothing) {
    using Parts = std::vector<std::string>;
    EXPECT_EQ(UpdateServerRequest::SplitHalvorineVersion("1.2.3"), (Parts{"1", "2", "3"}));
    EXPECT_EQ(UpdateServerRequest::SplitHalvorineVersion("2.10.4beta"),
              (Parts{"2", "10", "4beta"}));
    EXPECT_EQ(UpdateServerRequest::SplitHalvorineVersion("1..3"), (Parts{"1", "", "3"}));
    EXPECT_EQ(UpdateServerRequest::SplitHalvorineVersion("1.2."), (Parts{"1", "2", ""}));
    for (const char* text : {"", "2.0", "1", "1.2.3.4", "...", "1.2.3."}) {
        EXPECT_TRUE(UpdateServerRequest::SplitHalvorineVersion(text).empty()) << text;
    }
}

TEST(SortBuildsByVersion, NewestVersionFirstComparingNumbers) {
    const Sorted sorted = UpdateServerRequest::SortBuildsByVersion(
        {{"101", "1.2.3"}, {"99", "1.10.0"}, {"7", "0.0 beta.9"}, {"50", "1.2.10"}});
    EXPECT_EQ(sorted,
              (Sorted{{"99", "1.10.0"}, {"50", "1.2.10"}, {"101", "1.2.3"}, {"7", "0.0 beta.9"}}));
}

TEST(SortBuildsByVersion, PartsCountModulo256) {
    // 1.256.0 reads as 1.0.0, below 1.1.0; -1 reads as 255.
    const Sorted sorted = UpdateServerRequest::SortBuildsByVersion(
        {{"a", "1.256.0"}, {"b", "1.1.0"}, {"c", "1.0.-1"}});
    EXPECT_EQ(sorted, (Sorted{{"b", "1.1.0"}, {"c", "1.0.-1"}, {"a", "1.256.0"}}));
}

TEST(SortBuildsByVersion, UncomparableVersionsFollowInListOrder) {
    // Many entries so that a sort given the raw, non-transitive comparison would misbehave.
    UpdateServerRequest::BuildList builds;
    for (int i = 0; i < 200; ++i) {
        const std::string build = std::to_string(1000 + i);
        switch (i % 4) {
            case 0:
                builds[build] = "2.0";
                break;  // two parts
            case 1:
                builds[build] = "x.y.z";
                break;  // not numbers
            case 2:
                builds[build] = std::to_string(i % 7) + ".1." + std::to_string(i);
                break;
            default:
                builds[build] = "";
                break;
        }
    }
    const Sorted sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    ASSERT_EQ(sorted.size(), builds.size());
    size_t i = 0;
    for (; i < sorted.size() && sorted[i].second.find('.', 2) != std::string::npos &&
           sorted[i].second[0] != 'x';
         ++i) {
        if (i > 0) {
            const auto a = UpdateServerRequest::SplitHalvorineVersion(sorted[i - 1].second);
            const auto b = UpdateServerRequest::SplitHalvorineVersion(sorted[i].second);
            const int ka = std::stoi(a[0]) * 65536 + std::stoi(a[1]) * 256 + std::stoi(a[2]) % 256;
            const int kb = std::stoi(b[0]) * 65536 + std::stoi(b[1]) * 256 + std::stoi(b[2]) % 256;
            EXPECT_GE(ka, kb) << sorted[i - 1].second << " before " << sorted[i].second;
        }
    }
    EXPECT_EQ(i, 50u) << "every three-part version comes first";
    // The rest keep the order of the list.
    for (size_t j = i + 1; j < sorted.size(); ++j) EXPECT_LT(sorted[j - 1].first, sorted[j].first);
}

TEST(SortBuildsByVersion, TwoPartVersionsAreNotOrdered) {
    const Sorted sorted = UpdateServerRequest::SortBuildsByVersion({{"1", "2.0"}, {"2", "1.9.9"}});
    EXPECT_EQ(sorted, (Sorted{{"2", "1.9.9"}, {"1", "2.0"}}));
    EXPECT_TRUE(UpdateServerRequest::SortBuildsByVersion({}).empty());
}

}  // namespace
