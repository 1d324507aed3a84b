#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "NalPoiComm.h"
#include "interface/exchange_state.h"
#include "reply/batch_reply_parser.h"
#include "support/install_tree.h"
#include "support/replies.h"

using namespace nalpoicomm;

namespace {

// The caller's three lists; the `Con` texts they hold are freed as a host would.
struct Lists {
    std::vector<__ADDHOTEL__> added;
    std::vector<__DELHOTEL__> deleted;
    std::vector<__UPDHOTEL__> updated;
    ~Lists() {
        for (__ADDHOTEL__& record : added) std::free(record.Con);
        for (__UPDHOTEL__& record : updated) std::free(record.Con);
    }
};

void SetSlots(const char* time, int added, int deleted, int updated) {
    std::strcpy(ExchangeState.BatchTime, time);
    ExchangeState.HotelCounts[0] = added;
    ExchangeState.HotelCounts[1] = deleted;
    ExchangeState.HotelCounts[2] = updated;
}

void ExpectSlots(const char* time, int added, int deleted, int updated) {
    EXPECT_STREQ(ExchangeState.BatchTime, time);
    EXPECT_EQ(ExchangeState.HotelCounts[0], added);
    EXPECT_EQ(ExchangeState.HotelCounts[1], deleted);
    EXPECT_EQ(ExchangeState.HotelCounts[2], updated);
}

// BatchTime and HotelCounts are process-wide: each test gives them back.
class BatchReplyParser : public testing::Test {
protected:
    void SetUp() override { saved_ = ExchangeState; }
    void TearDown() override {
        std::memcpy(ExchangeState.BatchTime, saved_.BatchTime, sizeof saved_.BatchTime);
        std::memcpy(ExchangeState.HotelCounts, saved_.HotelCounts, sizeof saved_.HotelCounts);
    }

private:
    ExchangeStateRecord saved_{};
};

// Parses `reply` and checks that the cache file holds TinyXML's print of it.
int Parse(const std::string& reply, Lists& lists) {
    testsupport::WriteFile(testsupport::ReplyCachePath(), "stale");
    const int result = ParseBatchReply(reply.c_str(), testsupport::ReplyCachePath().c_str(), lists.added, lists.deleted,
                                       lists.updated, ExchangeState.Totals());
    EXPECT_EQ(testsupport::ReadFile(testsupport::ReplyCachePath()),
              testsupport::TinyXmlSaved(reply))
        << reply;
    return result;
}

}  // namespace

TEST_F(BatchReplyParser, StatusDecidesWhetherTheReplyIsTaken) {
    const std::string content = "<Time>T</Time><NumA Add='1'><I><ID>x</ID></I></NumA>";
    const struct {
        std::string before, after;
        int result;
    } cases[] = {
        {"", "<Status>1</Status>", 1},  // status after the sections
        {"", "", 1},
        {"<Status>2</Status>", "<Status>0</Status>", 218},
        {"<Status>1</Status>", "<Status>0</Status>", 1},
        {"<Status/>", "", 1},
        {"<Status><X>0</X></Status>", "<Status>0</Status>", 218},
        {"", "<Status>0</Status>", 218},
        {"<StatusCode>0</StatusCode><status>0</status><TimeStamp>9</TimeStamp>", "", 1},
        {"<Status>00</Status><Status>0x</Status><Status>00000</Status><Status>10</Status>", "", 1},
        {"<Status> 0 </Status>", "", 218},  // TinyXML's white-space condensing trims it
        {"<StatusXXXXXXXXXXXXXX>0</StatusXXXXXXXXXXXXXX>", "", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before + "|" + c.after);
        SetSlots("old", 5, 6, 7);
        Lists lists;
        EXPECT_EQ(Parse("<R>" + c.before + content + c.after + "</R>", lists), c.result);
        if (c.result == 1) {
            ExpectSlots("T", 1, 6, 7);
            ASSERT_EQ(lists.added.size(), 1u);
            EXPECT_STREQ(lists.added[0].ID, "x");
        } else {
            ExpectSlots("old", 5, 6, 7);
            EXPECT_TRUE(lists.added.empty());
        }
    }
}

TEST_F(BatchReplyParser, CountsDecideHowManyItemsAreRead) {
    SetSlots("", 9, 9, 9);
    Lists lists;
    __DELHOTEL__ earlier{};
    std::strcpy(earlier.ID, "earlier");
    lists.deleted.push_back(earlier);
    const std::string reply =
        "<R><NumA Add='2'><A><ID>a1</ID></A><B><ID>a2</ID></B><C><ID>a3</ID></C></NumA>"
        "<NumD><I><ID>d</ID></I></NumD>"
        "<NumU Upd='-1'><I><ID>u</ID></I></NumU>"
        "<NumD Del='5'>text<I><ID>d1</ID></I><!--c--><I><ID>d2</ID></I></NumD></R>";
    EXPECT_EQ(Parse(reply, lists), 1);
    ExpectSlots("", 2, 5, -1);
    ASSERT_EQ(lists.added.size(), 2u);
    EXPECT_STREQ(lists.added[0].ID, "a1");
    EXPECT_STREQ(lists.added[1].ID, "a2");
    ASSERT_EQ(lists.deleted.size(), 3u);  // the earlier record stays first
    EXPECT_STREQ(lists.deleted[0].ID, "earlier");
    EXPECT_STREQ(lists.deleted[1].ID, "d1");
    EXPECT_STREQ(lists.deleted[2].ID, "d2");
    EXPECT_TRUE(lists.updated.empty());
}

TEST_F(BatchReplyParser, CountAttributeReadsAsAtoi) {
    const struct {
        const char* attribute;
        int count;
    } cases[] = {
        {"3", 3},           {"12abc", 12},     {" 7", 7},   {"abc", 0},
        {"-1", -1},         {"+2", 2},         {"", 0},     {"2.9", 2},
        {"0x3", 0},         {"99999999999", INT_MAX},       {"-99999999999", INT_MIN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attribute);
        Lists lists;
        const std::string items = "<I><ID>1</ID></I><I><ID>2</ID></I><I><ID>3</ID></I>";
        const std::string reply =
            std::string("<R><NumU Upd=\"") + c.attribute + "\">" + items + "</NumU></R>";
        EXPECT_EQ(Parse(reply, lists), 1);
        EXPECT_EQ(ExchangeState.HotelCounts[2], c.count);
        const int appended = std::max(0, std::min(c.count, 3));  // three items present
        EXPECT_EQ(lists.updated.size(), static_cast<std::size_t>(appended));
    }
}

TEST_F(BatchReplyParser, RepeatedElementsAddUpOrOverwrite) {
    SetSlots("", 0, 0, 0);
    Lists lists;
    const std::string reply =
        "<R><Time>first</Time><NumA Add='1'><I><ID>1</ID></I></NumA><Time/>"
        "<NumA Add='2'><I><ID>2</ID><Con>c2</Con></I><I><ID>3</ID></I></NumA>"
        "<Time>" + std::string(25, '9') + "</Time><Time><!--no text--></Time></R>";
    EXPECT_EQ(Parse(reply, lists), 1);
    ExpectSlots(std::string(19, '9').c_str(), 2, 0, 0);
    ASSERT_EQ(lists.added.size(), 3u);
    EXPECT_STREQ(lists.added[2].ID, "3");
    EXPECT_EQ(lists.added[0].Con, nullptr);
    ASSERT_NE(lists.added[1].Con, nullptr);
    EXPECT_STREQ(lists.added[1].Con, "c2");
}

TEST_F(BatchReplyParser, SlotsPersistAcrossReplies) {
    SetSlots("", 0, 0, 0);
    Lists lists;
    EXPECT_EQ(Parse("<R><Time>T1</Time><NumD Del='3'/><NumU Upd='4'/></R>", lists), 1);
    ExpectSlots("T1", 0, 3, 4);
    EXPECT_EQ(Parse("<R><NumA Add='1'/><Time/></R>", lists), 1);
    ExpectSlots("T1", 1, 3, 4);
    EXPECT_EQ(Parse("<R/>", lists), 1);
    EXPECT_EQ(Parse("<R>text only<!--c--></R>", lists), 1);
    ExpectSlots("T1", 1, 3, 4);
    EXPECT_TRUE(lists.added.empty() && lists.deleted.empty() && lists.updated.empty());
}

TEST_F(BatchReplyParser, RepliesWithoutElementChangeNothing) {
    for (const char* reply : {"", "no element", "<?xml version=\"1.0\"?><!--c-->"}) {
        SetSlots("kept", 1, 2, 3);
        Lists lists;
        lists.added.push_back(__ADDHOTEL__{});
        EXPECT_EQ(Parse(reply, lists), -1);
        ExpectSlots("kept", 1, 2, 3);
        EXPECT_EQ(lists.added.size(), 1u);
    }
}

TEST_F(BatchReplyParser, AppendedRecordsAreZeroFilledCopies) {
    Lists lists;
    const std::string reply =
        "<R><NumU Upd='2'><I><Tel>t</Tel><Pri><S><Mark>m</Mark></S></Pri></I>"
        "<I><HN>h</HN></I></NumU></R>";
    EXPECT_EQ(Parse(reply, lists), 1);
    ASSERT_EQ(lists.updated.size(), 2u);
    __UPDHOTEL__ first;
    __UPDHOTEL__ second;
    std::memset(&first, 0, sizeof first);
    std::memset(&second, 0, sizeof second);
    std::strcpy(first.Tel, "t");
    std::strcpy(first.Pri[0].Mark, "m");
    std::strcpy(second.HN, "h");
    // Byte for byte, the alignment gap before `Con` included: nothing of the
    // first item is left in the second.
    EXPECT_EQ(std::memcmp(&lists.updated[0], &first, sizeof first), 0);
    EXPECT_EQ(std::memcmp(&lists.updated[1], &second, sizeof second), 0);
}
