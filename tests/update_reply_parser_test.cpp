#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "NalPoiComm.h"
#include "reply/update_reply_parser.h"
#include "support/install_tree.h"
#include "support/replies.h"

using namespace nalpoicomm;

namespace {

using Slot = std::array<std::string, 4>;  // Name, Mark, Agr, Bref

struct Expected {
    int result;
    std::string tel, addr, time;
    const char* con;         // null: `Con` stays null
    std::vector<Slot> pri;   // slots not listed stay empty
};

std::string Bytes(const void* data, std::size_t size) {
    return std::string(static_cast<const char*>(data), size);
}

// Parses `reply` into a record full of garbage (a null `Con` aside), checks
// the record and the cache file, and releases `Con` as a host would.
void ExpectReading(const std::string& reply, const Expected& expected) {
    SCOPED_TRACE(reply);
    testsupport::WriteFile(testsupport::ReplyCachePath(), "stale");
    __POICONTENT__ content;
    std::memset(&content, 0x5A, sizeof content);
    content.Con = nullptr;
    EXPECT_EQ(ParseUpdateReply(reply.c_str(), testsupport::ReplyCachePath().c_str(), content), expected.result);
    EXPECT_EQ(testsupport::ReadFile(testsupport::ReplyCachePath()),
              testsupport::TinyXmlSaved(reply));
    EXPECT_STREQ(content.Tel, expected.tel.c_str());
    EXPECT_STREQ(content.Addr, expected.addr.c_str());
    EXPECT_STREQ(content.Time, expected.time.c_str());
    if (expected.con == nullptr) {
        EXPECT_EQ(content.Con, nullptr);
    } else if (content.Con != nullptr) {
        EXPECT_STREQ(content.Con, expected.con);
    } else {
        ADD_FAILURE() << "Con is null";
    }
    const Slot empty;
    for (std::size_t i = 0; i < 3; ++i) {
        const Slot& slot = i < expected.pri.size() ? expected.pri[i] : empty;
        EXPECT_STREQ(content.Pri[i].Name, slot[0].c_str()) << "slot " << i;
        EXPECT_STREQ(content.Pri[i].Mark, slot[1].c_str()) << "slot " << i;
        EXPECT_STREQ(content.Pri[i].Agr, slot[2].c_str()) << "slot " << i;
        EXPECT_STREQ(content.Pri[i].Bref, slot[3].c_str()) << "slot " << i;
    }
    // Every byte not filled is zero: no residue of the garbage, Reserved included.
    __POICONTENT__ rebuilt;
    std::memset(&rebuilt, 0, sizeof rebuilt);
    std::strcpy(rebuilt.Tel, content.Tel);
    std::strcpy(rebuilt.Addr, content.Addr);
    std::strcpy(rebuilt.Time, content.Time);
    rebuilt.Con = content.Con;
    std::memcpy(rebuilt.Pri, content.Pri, sizeof rebuilt.Pri);
    EXPECT_EQ(Bytes(&content, sizeof content), Bytes(&rebuilt, sizeof rebuilt));
    std::free(content.Con);
}

}  // namespace

TEST(UpdateReplyParser, ReadsTheRootsChildren) {
    const std::string longText(70, 'L');
    const struct {
        std::string reply;
        Expected expected;
    } cases[] = {
        {"<R><Tel>1</Tel><Addr>A</Addr><Time>T</Time><Con>C</Con></R>",
         {1, "1", "A", "T", "C", {}}},
        {"<?xml version=\"1.0\"?><Any a='1'><Tel>1</Tel></Any><Second><Tel>2</Tel></Second>",
         {1, "1", "", "", nullptr, {}}},
        {"<R><Telephone>1</Telephone><Times>2</Times><Con2>3</Con2><TEL>4</TEL><tel>5</tel></R>",
         {1, "", "", "", nullptr, {}}},
        {"<R><Tel>1</Tel><Tel>22</Tel><Tel/><Addr>a</Addr><Addr>b</Addr><Time>t</Time>"
         "<Time><!--c-->x</Time></R>",
         {1, "22", "b", "t", nullptr, {}}},
        {"<R><Tel></Tel><Con></Con><Con/><Con><X>t</X></Con></R>", {1, "", "", "", nullptr, {}}},
        {"<R><Con>first</Con><Con>second &amp; last</Con><Con/></R>",
         {1, "", "", "", "second & last", {}}},
        {"<R><Tel>&lt;1&gt;</Tel><Con><![CDATA[a<b>]]></Con><Addr>Caf\xC3\xA9</Addr></R>",
         {1, "<1>", "Caf\xC3\xA9", "", "a<b>", {}}},
        // Texts cut to their fields' capacity; 19 characters fit whole.
        {"<R><Tel>" + std::string(19, '9') + "</Tel><Time>" + std::string(25, 'T') +
             "</Time><Addr>" + longText + "</Addr></R>",
         {1, std::string(19, '9'), std::string(49, 'L'), std::string(19, 'T'), nullptr, {}}},
        // A name of 20 characters or more matches nothing.
        {"<R><StatusXXXXXXXXXXXXXX>0</StatusXXXXXXXXXXXXXX>"
         "<TelXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX>1</TelXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX></R>",
         {1, "", "", "", nullptr, {}}},
        // The part built before a syntax error is read.
        {"<R><Tel>1</Tel><Addr>x</Add><Time>t</Time></R>", {1, "1", "x", "", nullptr, {}}},
    };
    for (const auto& c : cases) ExpectReading(c.reply, c.expected);
}

TEST(UpdateReplyParser, StatusEndsTheParse) {
    const std::string before = "<R><Tel>1</Tel><Con>c</Con>";
    const std::string after = "<Addr>a</Addr></R>";
    // TinyXML's white-space condensing trims " 0 " to "0"; nothing else
    // trims or cuts a status text.
    const struct {
        std::string status;
        int result;
    } cases[] = {
        {"<Status>0</Status>", 219},    {"<Status>2</Status>", 620},
        {"<Status>1</Status>", 1},      {"<Status>3</Status>", 1},
        {"<Status> 0 </Status>", 219},  {"<Status>00</Status>", 1},
        {"<Status>0abc</Status>", 1},   {"<Status>00000</Status>", 1},
        {"<Status>22222</Status>", 1},  {"<Status/>", 1},
        {"<Status><X>0</X></Status>", 1}, {"<StatusCode>0</StatusCode>", 1},
        {"<status>0</status>", 1},      {"<Status>1</Status><Status>2</Status>", 620},
    };
    for (const auto& c : cases) {
        const bool stopped = c.result != 1;
        ExpectReading(before + c.status + after,
                      {c.result, "1", stopped ? "" : "a", "", "c", {}});
    }
}

TEST(UpdateReplyParser, FillsPriSlotsInOrder) {
    const std::string name70(70, 'n');
    const struct {
        std::string pri;
        std::vector<Slot> slots;
    } cases[] = {
        {"<Pri><A><Name>n0</Name><Mark>m0</Mark><Agr>a0</Agr><Bref>b0</Bref></A>"
         "<Any><Name>n1</Name><Agr>a1</Agr><Mark>m1</Mark></Any></Pri>",
         {{"n0", "m0", "a0", "b0"}, {"n1", "m1", "a1", ""}}},
        // A slot without usable children still takes its slot; fourth slots are ignored.
        {"<Pri><S><Other>x</Other><Name/></S><S><Name>n1</Name><NAME>N</NAME></S>"
         "<S><Name>n2</Name></S><S><Name>n3</Name></S></Pri>",
         {{"", "", "", ""}, {"n1", "", "", ""}, {"n2", "", "", ""}}},
        // A second Pri starts again at slot 0 and overwrites only what it carries.
        {"<Pri><S><Name>a</Name><Mark>b</Mark></S><S><Name>c</Name></S></Pri>"
         "<Pri><S><Mark>B</Mark></S></Pri>",
         {{"a", "B", "", ""}, {"c", "", "", ""}}},
        {"<Pri><S><Name>" + name70 + "</Name><Mark>0123456789AB</Mark><Bref>xyz</Bref>"
         "<Bref>last</Bref></S></Pri>",
         {{std::string(63, 'n'), "012345678", "", "last"}}},
        {"<Pri>text<S/></Pri>", {{"", "", "", ""}}},
    };
    for (const auto& c : cases) {
        ExpectReading("<R><Tel>t</Tel>" + c.pri + "</R>", {1, "t", "", "", nullptr, c.slots});
    }
}

TEST(UpdateReplyParser, ReplyWithoutElementGivesMinusOne) {
    const std::string replies[] = {
        "", "   ", "plain text", "<?xml version=\"1.0\"?>", "<!-- only a comment -->",
        "<?xml version=\"1.0\"?>\n<!-- c -->\n", "</R>", "\xEF\xBB\xBF",
    };
    for (const std::string& reply : replies) {
        ExpectReading(reply, {-1, "", "", "", nullptr, {}});
    }
}

TEST(UpdateReplyParser, CacheFileKeepsTheByteOrderMark) {
    const std::string reply = "\xEF\xBB\xBF<R><Tel>1</Tel></R>";
    ExpectReading(reply, {1, "1", "", "", nullptr, {}});
    EXPECT_EQ(testsupport::ReadFile(testsupport::ReplyCachePath()).substr(0, 3), "\xEF\xBB\xBF");
}

TEST(UpdateReplyParser, UnwritableCacheDoesNotChangeTheResult) {
    const std::string configDir = testsupport::ConfigDir();
    const std::string moved = configDir + ".away";
    ASSERT_EQ(std::rename(configDir.c_str(), moved.c_str()), 0);
    __POICONTENT__ content;
    const int result = ParseUpdateReply("<R><Tel>1</Tel><Status>2</Status></R>", testsupport::ReplyCachePath().c_str(), content);
    ASSERT_EQ(std::rename(moved.c_str(), configDir.c_str()), 0);
    EXPECT_EQ(result, 620);
    EXPECT_STREQ(content.Tel, "1");
}
