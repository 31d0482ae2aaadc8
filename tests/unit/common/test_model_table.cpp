// The model table's composition (on which discovery relies) and its lookups.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/scanner_description.h"

namespace {

constexpr int kRows = 48;
const Scanner_Description* rows = scanner_description_list;

bool proper_prefix(const std::string& a, const std::string& b) {
    return a.size() < b.size() && b.compare(0, a.size(), a) == 0;
}

TEST(ModelTable, VendorRunsAndUniqueIds) {
    std::vector<std::pair<int, int>> runs;  // (vendor, length)
    std::set<std::pair<int, int>> ids;
    for (int i = 0; i < kRows; ++i) {
        if (runs.empty() || runs.back().first != rows[i].vendorID) runs.push_back({rows[i].vendorID, 0});
        ++runs.back().second;
        EXPECT_NE(rows[i].productID, 0) << i;
        EXPECT_TRUE(ids.insert({rows[i].vendorID, rows[i].productID}).second) << "duplicate IDs in row " << i;
    }
    const std::vector<std::pair<int, int>> expected = {
        {kOrvelaVendorId, 24}, {kOrvelaSecondVendorId, 10}, {kOrvelaVendorId, 3}, {kOrvelaSecondVendorId, 11}};
    EXPECT_EQ(runs, expected);
}

TEST(ModelTable, TerminatorEndsEveryWalk) {
    const Scanner_Description& end = rows[kRows];
    EXPECT_EQ(end.modelName, nullptr);
    EXPECT_EQ(end.mibOID, nullptr);
    EXPECT_EQ(end.vendorID, 0);
    EXPECT_EQ(end.productID, 0);
    EXPECT_FALSE(end.isSupportADF);
    EXPECT_FALSE(end.isRightRearBP);
    for (int i = 0; i < kRows; ++i) {
        EXPECT_NE(rows[i].modelName, nullptr);
        EXPECT_NE(rows[i].mibOID, nullptr);
    }
}

TEST(ModelTable, ObjectIdentifierSubtrees) {
    // A view, not a std::string built with +: GCC 12 on i386 takes the
    // latter for an out-of-bounds copy (-Warray-bounds) and fails the build.
    const std::string_view maker = kOrvelaEnterpriseOid;
    ASSERT_EQ(strlen(kOrvelaEnterpriseOid), 17u);
    std::map<std::string, int> per_subtree;  // enterprise number -> rows
    int empty_first = 0, empty_second = 0;
    for (int i = 0; i < kRows; ++i) {
        const std::string oid = rows[i].mibOID;
        if (oid.empty()) {
            (rows[i].vendorID == kOrvelaVendorId ? empty_first : empty_second)++;
            continue;
        }
        ASSERT_EQ(oid.compare(0, 12, "1.3.6.1.4.1."), 0) << oid;
        const std::string enterprise = oid.substr(12, oid.find('.', 12) - 12);
        const int number = std::stoi(enterprise);
        EXPECT_GE(number, 90000);
        EXPECT_LE(number, 99999);
        per_subtree[enterprise]++;
    }
    EXPECT_EQ(empty_first, 8);
    EXPECT_EQ(empty_second, 2);
    ASSERT_EQ(per_subtree.size(), 3u);
    EXPECT_EQ(per_subtree[std::string(kOrvelaEnterpriseOid).substr(12)], 14);
    std::multiset<int> others;
    for (auto& [enterprise, count] : per_subtree)
        if (maker.find(enterprise) == std::string::npos) others.insert(count);
    EXPECT_EQ(others, (std::multiset<int>{9, 15}));
}

TEST(ModelTable, FeederFlagsGoTogether) {
    int first = 0, second = 0;
    for (int i = 0; i < kRows; ++i) {
        EXPECT_EQ(rows[i].isSupportADF, rows[i].isRightRearBP) << i;
        if (rows[i].isSupportADF) (rows[i].vendorID == kOrvelaVendorId ? first : second)++;
    }
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 5);
}

TEST(ModelTable, DuplicateNamesAndObjectIdentifiers) {
    std::map<std::string, std::vector<int>> by_name, by_oid;
    for (int i = 0; i < kRows; ++i) {
        by_name[rows[i].modelName].push_back(i);
        if (*rows[i].mibOID) by_oid[rows[i].mibOID].push_back(i);
    }
    std::vector<std::vector<int>> twice_names, twice_oids;
    for (auto& [name, at] : by_name) {
        ASSERT_LE(at.size(), 2u) << name;
        if (at.size() == 2) twice_names.push_back(at);
    }
    for (auto& [oid, at] : by_oid) {
        ASSERT_LE(at.size(), 2u) << oid;
        if (at.size() == 2) twice_oids.push_back(at);
    }
    ASSERT_EQ(twice_names.size(), 2u);
    ASSERT_EQ(twice_oids.size(), 2u);
    for (auto& at : twice_names) {
        const Scanner_Description &a = rows[at[0]], &b = rows[at[1]];
        EXPECT_NE(a.vendorID, b.vendorID);
        EXPECT_NE(a.productID, b.productID);
        EXPECT_EQ(a.isSupportADF, b.isSupportADF);
        EXPECT_EQ(a.isRightRearBP, b.isRightRearBP);
    }
    // One shared identifier belongs to both rows of one twice-listed name; the
    // other to the later row of the other name and an earlier, different model.
    int same_model = 0, cross_model = 0;
    for (auto& oid_rows : twice_oids) {
        for (auto& name_rows : twice_names) {
            if (oid_rows == name_rows) ++same_model;
            if (oid_rows[1] == name_rows[1] && oid_rows[0] < name_rows[0] &&
                strcmp(rows[oid_rows[0]].modelName, rows[name_rows[0]].modelName) != 0)
                ++cross_model;
        }
    }
    EXPECT_EQ(same_model, 1);
    EXPECT_EQ(cross_model, 1);
}

TEST(ModelTable, PrefixRelations) {
    // Exactly one name is a proper prefix of another, and that other is the row
    // directly before it.
    std::vector<std::pair<int, int>> name_pairs;
    for (int i = 0; i < kRows; ++i)
        for (int j = 0; j < kRows; ++j)
            if (proper_prefix(rows[j].modelName, rows[i].modelName)) name_pairs.push_back({i, j});
    ASSERT_EQ(name_pairs.size(), 1u);
    EXPECT_EQ(name_pairs[0].second, name_pairs[0].first + 1);

    for (int later = 0; later < kRows; ++later)
        for (int earlier = 0; earlier < later; ++earlier)
            if (*rows[later].mibOID) {
                EXPECT_FALSE(proper_prefix(rows[later].mibOID, rows[earlier].mibOID)) << later << " " << earlier;
            }
}

TEST(ModelLookup, UsbProduct) {
    for (int i = 0; i < kRows; ++i) EXPECT_EQ(MatchUSBProduct(rows[i].vendorID, rows[i].productID), i);
    EXPECT_EQ(MatchUSBProduct(kOrvelaVendorId, 0), -1);
    EXPECT_EQ(MatchUSBProduct(0, 0), -1);
    // Both IDs must match in the same row.
    EXPECT_EQ(MatchUSBProduct(kOrvelaVendorId, rows[24].productID), -1);
    EXPECT_EQ(MatchUSBProduct(kOrvelaThirdVendorId, rows[0].productID), -1);
}

TEST(ModelLookup, NetProductByLeadingText) {
    EXPECT_EQ(MatchNetProduct(""), 0);
    EXPECT_EQ(MatchNetModelName(""), 0);
    for (int i = 0; i < kRows; ++i) {
        if (!*rows[i].mibOID) continue;
        const int found = MatchNetProduct(rows[i].mibOID);
        ASSERT_GE(found, 0);
        EXPECT_LE(found, i);
        EXPECT_STREQ(rows[found].mibOID, rows[i].mibOID);
        // Further arcs appended: not recognised.
        EXPECT_EQ(MatchNetProduct((std::string(rows[i].mibOID) + ".1").c_str()), -1);
    }
    // A shared identifier always yields its earlier row, whatever the vendor.
    for (int i = 1; i < kRows; ++i) {
        for (int j = 0; j < i; ++j)
            if (*rows[i].mibOID && strcmp(rows[i].mibOID, rows[j].mibOID) == 0) {
                EXPECT_EQ(MatchNetProduct(rows[i].mibOID), j);
                break;
            }
    }
    // Cut in the middle of the last arc: the first row that continues it.
    const std::string cut = std::string(rows[0].mibOID).substr(0, strlen(rows[0].mibOID) - 1);
    EXPECT_EQ(MatchNetProduct(cut.c_str()), 0);
    EXPECT_EQ(MatchNetProduct("1.3.6.1.4.1.2021"), -1);
    EXPECT_EQ(MatchNetProduct(nullptr), -1);
}

TEST(ModelLookup, ModelNameByLeadingText) {
    for (int i = 0; i < kRows; ++i) {
        const int found = MatchNetModelName(rows[i].modelName);
        ASSERT_GE(found, 0);
        EXPECT_EQ(strncmp(rows[found].modelName, rows[i].modelName, strlen(rows[i].modelName)), 0);
    }
    // The later of the two names in a prefix relation yields the earlier row.
    for (int i = 1; i < kRows; ++i)
        if (proper_prefix(rows[i].modelName, rows[i - 1].modelName)) {
            EXPECT_EQ(MatchNetModelName(rows[i].modelName), i - 1);
        }
    // Case-sensitive.
    std::string lower = rows[0].modelName;
    for (char& c : lower) c = static_cast<char>(tolower(c));
    EXPECT_EQ(MatchNetModelName(lower.c_str()), -1);
}

TEST(ModelLookup, DescriptionIsACopyOfTheRow) {
    const Scanner_Description d = GetScannerDescription(5);
    EXPECT_STREQ(d.modelName, rows[5].modelName);
    EXPECT_EQ(d.productID, rows[5].productID);
    EXPECT_EQ(d.isSupportADF, rows[5].isSupportADF);
}

}  // namespace
