#include "rpc/line_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace quorvale::rpc;

namespace {

std::vector<std::string> drain(LineBuffer& buffer) {
    std::vector<std::string> lines;
    while (auto line = buffer.nextLine())
        lines.push_back(std::move(*line));
    return lines;
}

TEST(LineBuffer, SplitsMergedLinesAndKeepsTheRest) {
    LineBuffer buffer;
    buffer.append("one\n\ntwo\nthr");
    EXPECT_EQ(drain(buffer), (std::vector<std::string>{"one", "", "two"}));
    EXPECT_EQ(buffer.pendingBytes(), 3u);
    buffer.append("ee\n");
    EXPECT_EQ(drain(buffer), std::vector<std::string>{"three"});
    EXPECT_EQ(buffer.pendingBytes(), 0u);
    EXPECT_FALSE(buffer.nextLine());
}

TEST(LineBuffer, JoinsALineSplitAcrossManyAppends) {
    LineBuffer buffer;
    const std::string line = R"({"jsonrpc":"2.0","id":1,"result":"abc"})";
    for (char c : line) {
        buffer.append(std::string_view(&c, 1));
        EXPECT_FALSE(buffer.nextLine());
    }
    buffer.append("\nnext");
    EXPECT_EQ(drain(buffer), std::vector<std::string>{line});
    buffer.clear();
    buffer.append("fresh\n");
    EXPECT_EQ(drain(buffer), std::vector<std::string>{"fresh"});
}

TEST(LineBuffer, LongLinesInSmallPiecesStayIntact) {
    // 8 MiB lines in 4 KiB reads, interleaved with short lines; the consumer polls after every
    // read, as the transport does.
    LineBuffer buffer;
    std::string big(8 << 20, 'x');
    for (std::size_t i = 0; i < big.size(); i += 4093)
        big[i] = static_cast<char>('a' + i % 26);
    const std::string stream = "a\n" + big + "\nb\n" + big + "\n";
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < stream.size(); i += 4096) {
        buffer.append(std::string_view(stream).substr(i, 4096));
        for (auto& line : drain(buffer))
            lines.push_back(std::move(line));
    }
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "a");
    EXPECT_TRUE(lines[1] == big);
    EXPECT_EQ(lines[2], "b");
    EXPECT_TRUE(lines[3] == big);
    EXPECT_EQ(buffer.pendingBytes(), 0u);
}

TEST(LineBuffer, OverflowsOnAnUnfinishedLinePastTheLimit) {
    LineBuffer buffer(8);
    buffer.append("12345678");
    EXPECT_FALSE(buffer.nextLine());
    EXPECT_FALSE(buffer.overflowed());  // exactly at the limit is fine
    buffer.append("9");
    EXPECT_FALSE(buffer.nextLine());
    EXPECT_TRUE(buffer.overflowed());
    buffer.append("\n");
    EXPECT_FALSE(buffer.nextLine());  // stays refused
    buffer.clear();
    EXPECT_FALSE(buffer.overflowed());
}

TEST(LineBuffer, OverflowsOnACompleteLinePastTheLimit) {
    LineBuffer buffer(8);
    // Short lines before it are delivered; many of them together are no overflow.
    buffer.append("1234\n5678\n123456789\nok\n");
    EXPECT_FALSE(buffer.overflowed());
    EXPECT_EQ(drain(buffer), (std::vector<std::string>{"1234", "5678"}));
    EXPECT_TRUE(buffer.overflowed());

    LineBuffer exact(8);
    exact.append("12345678\n");
    EXPECT_EQ(exact.nextLine(), "12345678");
    EXPECT_FALSE(exact.overflowed());
}

TEST(LineBuffer, FramesAppendOneNewline) {
    EXPECT_EQ(frame("{}"), "{}\n");
}

}  // namespace

TEST(LineBuffer, LongLineFollowedByTheStartOfTheNextComesOutWhole) {
    // A long line handed out with the storage must leave the next line's start behind intact.
    LineBuffer buffer;
    const std::string longLine(200'000, 'a');
    buffer.append(longLine + "\nsecond ");
    EXPECT_EQ(buffer.nextLine(), longLine);
    EXPECT_EQ(buffer.pendingBytes(), 7u);
    buffer.append("line\n" + std::string(100'000, 'b') + "\nthird");
    EXPECT_EQ(buffer.nextLine(), "second line");
    EXPECT_EQ(buffer.nextLine(), std::string(100'000, 'b'));
    EXPECT_EQ(buffer.nextLine(), std::nullopt);
    buffer.append("\n");
    EXPECT_EQ(buffer.nextLine(), "third");
    EXPECT_EQ(buffer.pendingBytes(), 0u);
}
