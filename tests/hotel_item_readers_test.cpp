#include <gtest/gtest.h>
#include <tinyxml.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "NalPoiComm.h"
#include "reply/hotel_item_readers.h"

using namespace nalpoicomm;

namespace {

using Slot = std::array<std::string, 4>;  // Name, Mark, Agr, Bref

struct Hotel {
    std::string id, tel, addr, hn;
    const char* con;  // null: `Con` stays null
    std::vector<Slot> pri;
};

template <typename Record>
void ExpectHotel(const Record& record, const Hotel& expected) {
    EXPECT_STREQ(record.ID, expected.id.c_str());
    EXPECT_STREQ(record.Tel, expected.tel.c_str());
    EXPECT_STREQ(record.Addr, expected.addr.c_str());
    EXPECT_STREQ(record.HN, expected.hn.c_str());
    if (expected.con == nullptr || record.Con == nullptr) {
        EXPECT_EQ(record.Con == nullptr, expected.con == nullptr);
    } else {
        EXPECT_STREQ(record.Con, expected.con);
    }
    const Slot empty;
    for (std::size_t i = 0; i < 3; ++i) {
        const Slot& slot = i < expected.pri.size() ? expected.pri[i] : empty;
        EXPECT_STREQ(record.Pri[i].Name, slot[0].c_str()) << "slot " << i;
        EXPECT_STREQ(record.Pri[i].Mark, slot[1].c_str()) << "slot " << i;
        EXPECT_STREQ(record.Pri[i].Agr, slot[2].c_str()) << "slot " << i;
        EXPECT_STREQ(record.Pri[i].Bref, slot[3].c_str()) << "slot " << i;
    }
}

// The item element of `text`, kept alive by `document`.
const TiXmlElement* Item(TiXmlDocument& document, const std::string& text) {
    document.Parse(text.c_str());
    return document.FirstChildElement();
}

}  // namespace

TEST(HotelItemReaders, AddAndUpdateItemsFillTheirFields) {
    const struct {
        std::string item;
        Hotel expected;
    } cases[] = {
        {"<Item><ID>i</ID><Tel>t</Tel><Con>c</Con><Addr>a</Addr><HN>h</HN></Item>",
         {"i", "t", "a", "h", "c", {}}},
        // Any item name; other names, prefixes and other letter case fill nothing.
        {"<NotNamedAfterTheSection><IDs>1</IDs><Telephone>2</Telephone><id>3</id><TEL>4</TEL>"
         "<Conx>5</Conx></NotNamedAfterTheSection>",
         {"", "", "", "", nullptr, {}}},
        {"<I><Con></Con><Con/><Con><!--c--></Con><ID/></I>", {"", "", "", "", nullptr, {}}},
        {"<I><Con>one</Con><Con>two &amp; more</Con><ID>a</ID><ID>b</ID></I>",
         {"b", "", "", "", "two & more", {}}},
        {"<I><Tel>" + std::string(19, '1') + "</Tel><ID>" + std::string(60, 'i') + "</ID><HN>" +
             std::string(120, 'h') + "</HN><Addr>" + std::string(50, 'a') + "</Addr></I>",
         {std::string(49, 'i'), std::string(19, '1'), std::string(49, 'a'), std::string(99, 'h'),
          nullptr, {}}},
        {"<I><IDXXXXXXXXXXXXXXXXXX>x</IDXXXXXXXXXXXXXXXXXX><HN>Caf\xC3\xA9</HN></I>",
         {"", "", "", "Caf\xC3\xA9", nullptr, {}}},
        {"<I><Pri><S><Name>n0</Name><Agr>a0</Agr><Bref>b0</Bref></S>"
         "<T><Name>n1</Name><Mark>m1</Mark><Agr>a1</Agr><Bref>b1</Bref></T></Pri></I>",
         {"", "", "", "", nullptr, {{"n0", "", "a0", "b0"}, {"n1", "m1", "a1", "b1"}}}},
        // A slot of other names stays empty and the next slot element fills
        // the next slot; the fourth slot element is ignored.
        {"<I><Pri><S><Other>o</Other></S><S><Name>n1</Name></S><S><Mark>m2</Mark></S>"
         "<S><Name>n3</Name></S></Pri></I>",
         {"", "", "", "", nullptr, {{}, {"n1", "", "", ""}, {"", "m2", "", ""}}}},
        // A second Pri starts at slot 0 and keeps the fields it does not carry.
        {"<I><Pri><S><Name>a</Name><Mark>b</Mark></S><S><Name>c</Name></S></Pri>"
         "<Pri><S><Name>A</Name></S></Pri></I>",
         {"", "", "", "", nullptr, {{"A", "b", "", ""}, {"c", "", "", ""}}}},
        {"<I><Pri><S><Name>" + std::string(64, 'n') + "</Name><Mark>" + std::string(10, 'm') +
             "</Mark></S></Pri></I>",
         {"", "", "", "", nullptr, {{std::string(63, 'n'), std::string(9, 'm'), "", ""}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.item);
        TiXmlDocument document;
        const TiXmlElement* item = Item(document, c.item);
        __ADDHOTEL__ added;
        __UPDHOTEL__ updated;
        std::memset(&added, 0, sizeof added);
        std::memset(&updated, 0, sizeof updated);
        ReadAddItem(item, added);
        ReadUpdItem(item, updated);
        ExpectHotel(added, c.expected);
        ExpectHotel(updated, c.expected);
        std::free(added.Con);
        std::free(updated.Con);
    }
}

TEST(HotelItemReaders, OnlyThePriNamesAreClearedFirst) {
    TiXmlDocument document;
    const TiXmlElement* item = Item(document, "<I><Tel>t</Tel></I>");
    __ADDHOTEL__ record;
    std::memset(&record, 'Z', sizeof record);
    record.Con = nullptr;
    __ADDHOTEL__ expected = record;
    for (__PRIITEM__& slot : expected.Pri) slot.Name[0] = 0;
    std::memcpy(expected.Tel, "t", 2);
    ReadAddItem(item, record);
    EXPECT_EQ(std::memcmp(&record, &expected, sizeof record), 0);
}

TEST(HotelItemReaders, DeleteItemsTakeOnlyIdAndHn) {
    const struct {
        std::string item, id, hn;
    } cases[] = {
        {"<Del><ID>i</ID><HN>h</HN></Del>", "i", "h"},
        {"<Del><Tel>t</Tel><Con>c</Con><Addr>a</Addr><Pri><S><Name>n</Name></S></Pri>"
         "<HN>h</HN></Del>",
         "", "h"},
        {"<Del><HN>h</HN><Tel>telephone</Tel></Del>", "", "h"},  // a Tel after HN is not HN
        {"<Del><ID>a</ID><ID/><ID>b</ID><HN>" + std::string(100, 'h') + "</HN></Del>", "b",
         std::string(99, 'h')},
        {"<Del><id>x</id><HNs>y</HNs></Del>", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.item);
        TiXmlDocument document;
        __DELHOTEL__ record;
        std::memset(&record, 0, sizeof record);
        ReadDelItem(Item(document, c.item), record);
        EXPECT_STREQ(record.ID, c.id.c_str());
        EXPECT_STREQ(record.HN, c.hn.c_str());
        // Nothing else is written: the bytes after each text stay zero.
        __DELHOTEL__ rebuilt;
        std::memset(&rebuilt, 0, sizeof rebuilt);
        std::strcpy(rebuilt.ID, record.ID);
        std::strcpy(rebuilt.HN, record.HN);
        EXPECT_EQ(std::memcmp(&record, &rebuilt, sizeof record), 0);
    }
}
