#include <gtest/gtest.h>

#include "agent/name_search.h"

namespace quorvale::agent {
namespace {

TEST(FoldCase, MakesCapitalsOfTheCommonAlphabetsSmallAndLeavesTheRest) {
    const struct {
        const char* text;
        const char* folded;
    } cases[] = {
        {"README.TXT", "readme.txt"},
        {"ÀÉÎÕÜÞ×ß", "àéîõüþ×ß"},        // the multiplication sign is no letter
        {"ĀāĹĺŁłŊŋŸŹź", "āāĺĺłłŋŋÿźź"},  // Latin Extended-A pairs, both parities
        {"ΑΩΆΈΊΌΎΏ", "αωάέίόύώ"},
        {"ДОКУМЕНТЁЂЏ", "документёђџ"},
        {"日本語 ẞ €", "日本語 ẞ €"},            // three-byte characters are left alone
        {"caf\xEF\x9F\xA9", "caf\xEF\x9F\xA9"},  // an escaped byte stays that byte
    };
    for (const auto& c : cases)
        EXPECT_EQ(foldCase(c.text), c.folded) << c.text;
}

}  // namespace
}  // namespace quorvale::agent
