#include <gtest/gtest.h>
#include <pthread.h>
#include <tinyxml.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "NalPoiComm.h"
#include "interface/exchange_state.h"
#include "reply/batch_reply_parser.h"
#include "xml/xml_nesting.h"
#include "reply/update_reply_parser.h"
#include "support/install_tree.h"

using namespace nalpoicomm;

namespace {

constexpr char kUtf8Declaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
constexpr std::size_t kSmallThreadStack = 256 * 1024;  // TinyXML overflows it at ~1,200 levels

std::string Repeat(const std::string& piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += piece;
    return text;
}

// The nesting TinyXML itself builds, walked without recursion. The text is
// parsed with zero padding, as the library parses it.
std::size_t TinyXmlNesting(const std::string& text) {
    std::vector<char> padded(text.begin(), text.end());
    padded.resize(text.size() + 5, 0);
    TiXmlDocument document;
    document.Parse(padded.data());
    std::size_t deepest = 0;
    std::vector<std::pair<const TiXmlNode*, std::size_t>> pending{{&document, 0}};
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        deepest = std::max(deepest, depth);
        for (const TiXmlElement* child = node->FirstChildElement(); child != nullptr;
             child = child->NextSiblingElement()) {
            pending.push_back({child, depth + 1});
        }
    }
    return deepest;
}

// Runs `work` on a thread with a small stack, as a host's thread may have.
void RunOnSmallStack(const std::function<void()>& work) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kSmallThreadStack);
    pthread_t thread;
    auto body = [](void* argument) -> void* {
        (*static_cast<const std::function<void()>*>(argument))();
        return nullptr;
    };
    auto* argument = const_cast<std::function<void()>*>(&work);
    ASSERT_EQ(pthread_create(&thread, &attributes, body, argument), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

}  // namespace

// Pieces that, repeated, nest one level each in TinyXML while hiding the
// nesting from a reader that does not follow TinyXML's own reading.
TEST(XmlNesting, HiddenNestingIsFound) {
    const struct {
        const char* what;
        std::string prefix, piece;
    } cases[] = {
        {"plain start tags", "", "<a>"},
        {"unclosed tags with attributes", "", "<a b='1' c=2>"},
        {"end tags inside double quotes", "", "<a x=\"</a>\">"},
        {"self-closing inside single quotes", "", "<a x='/>'>"},
        {"'>' and end tags inside comments", "", "<a><!-- > </a> -->"},
        {"'>' and end tags inside CDATA", "", "<a><![CDATA[ ]] > </a>]]>"},
        {"end tags inside a processing instruction", "", "<a><?pi </a>"},
        {"end tags inside a DOCTYPE", "", "<a><!DOCTYPE x </a>"},
        {"end tags inside a declaration's quotes", "", "<a><?xml version=\"</a>\"?>"},
        {"hex entity running over an end tag", "", "<a>&#x</a>x1;"},
        {"decimal entity running over an end tag", "", "<a>&#</a>#1;"},
        {"UTF-8 lead byte eating a quote", kUtf8Declaration, "<a x=\"\xC3\"/>\">"},
        {"UTF-8 lead byte eating an end tag", kUtf8Declaration, "<a>\xE4</a>"},
        {"UTF-8 by byte-order mark", "\xEF\xBB\xBF", "<a>\xE4</a>"},
        {"byte-order mark before a name", kUtf8Declaration, "<\xEF\xBB\xBF" "b></b><a>"},
        {"names of high bytes", "", "<\xC3\xA9>"},
    };
    for (const auto& c : cases) {
        const std::string text = c.prefix + Repeat(c.piece, 150);
        // The case must really nest in TinyXML, or it proves nothing.
        EXPECT_EQ(TinyXmlNesting(text), 150u) << c.what;
        EXPECT_EQ(MeasureXmlNesting(text.c_str()), kMaxXmlNesting + 1) << c.what;
    }
}

TEST(XmlNesting, FlatAndBoundaryNestingIsMeasuredExactly) {
    const struct {
        std::string text;
        std::size_t depth;
    } cases[] = {
        {"", 0},
        {"no markup", 0},
        {"<?xml version=\"1.0\"?><!-- c -->", 0},
        {"<r>" + Repeat("<a x='1'/><b>t</b><!--<c>--><![CDATA[<d>]]>", 500) + "</r>", 2},
        {"<r>" + Repeat("<Item><Pri><S><Name>n</Name></S></Pri></Item>", 200) + "</r>", 5},
        {Repeat("<a>", 100) + Repeat("</a>", 100), 100},
        {Repeat("<a>", 101) + Repeat("</a>", 101), kMaxXmlNesting + 1},
        {"<a></a>" + Repeat("<b>", 101), kMaxXmlNesting + 1},  // a second root counts too
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MeasureXmlNesting(c.text.c_str()), c.depth) << c.text.substr(0, 60);
        EXPECT_EQ(TinyXmlNesting(c.text), std::min<std::size_t>(c.depth, 101))
            << c.text.substr(0, 60);
    }
}

// Random token soup, rich in the constructs TinyXML reads specially: the
// measure is never below TinyXML's nesting, equal to it where no declaration
// settles the encoding, and almost always equal where one does (both of its
// outcomes are followed).
TEST(XmlNesting, NeverBelowTinyXmlOnRandomText) {
    const char* const tokens[] = {
        "<a", "<b", "<_", "<\xC3", ">", "/>", "</a>", "</b>", "</a", "</", " ", "\n", "\"", "'",
        "=", "x", "x=", " y=\"v\"", "<!--", "-->", "<![CDATA[", "]]>", "<?xml", "?>",
        "<!DOCTYPE", "&#x", "&#", ";", "1", "f", "&amp;", "&", "\xC3", "\xE4", "\xF0",
        "\xEF\xBB\xBF", " encoding=\"UTF-8\"", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
        "<?xml version='1.0' encoding='latin1'?>", "<", "/", "<a>", "<b>", "t"};
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(tokens) - 1);
    std::uniform_int_distribution<int> length(1, 40);
    int differing = 0;
    constexpr int kTexts = 60000;
    for (int i = 0; i < kTexts; ++i) {
        std::string text;
        for (int n = length(random); n > 0; --n) text += tokens[pick(random)];
        const std::size_t measured = MeasureXmlNesting(text.c_str());
        const std::size_t built = TinyXmlNesting(text);
        ASSERT_GE(measured, built) << "text: " << text;
        if (text.find("<?xml") == std::string::npos) {
            ASSERT_EQ(measured, built) << "text: " << text;  // no encoding to settle: exact
        } else if (measured != built) {
            ++differing;
        }
    }
    EXPECT_LT(differing, kTexts / 100);
}

// 10,000 levels would overflow a 256 KiB stack inside TinyXML; both parsers
// refuse such a reply as one without an element and leave an empty cache.
TEST(XmlNesting, DeepRepliesAreRefusedOnASmallStack) {
    const std::string replies[] = {
        Repeat("<a>", 10000),
        "<R><Tel>1</Tel>" + Repeat("<a x=\"/>\">", 10000),
        std::string(kUtf8Declaration) + Repeat("<a>\xE4</a>", 10000),
    };
    const std::int32_t savedCount = ExchangeState.HotelCounts[1];
    for (const std::string& reply : replies) {
        testsupport::WriteFile(testsupport::ReplyCachePath(), "old");
        ExchangeState.HotelCounts[1] = 7;
        __POICONTENT__ content;
        std::memset(&content, 0xAB, sizeof content);
        std::vector<__ADDHOTEL__> added;
        std::vector<__DELHOTEL__> deleted;
        std::vector<__UPDHOTEL__> updated;
        int updateResult = 0;
        int batchResult = 0;
        RunOnSmallStack([&] {
            updateResult = ParseUpdateReply(reply.c_str(), testsupport::ReplyCachePath().c_str(), content);
            batchResult = ParseBatchReply(reply.c_str(), testsupport::ReplyCachePath().c_str(), added, deleted, updated,
                                          ExchangeState.Totals());
        });
        EXPECT_EQ(updateResult, -1);
        EXPECT_EQ(batchResult, -1);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&content), sizeof content),
                  std::string(sizeof content, '\0'));
        EXPECT_TRUE(added.empty() && deleted.empty() && updated.empty());
        EXPECT_EQ(ExchangeState.HotelCounts[1], 7);
        EXPECT_TRUE(testsupport::FileExists(testsupport::ReplyCachePath()));
        EXPECT_EQ(testsupport::ReadFile(testsupport::ReplyCachePath()), "");
    }
    ExchangeState.HotelCounts[1] = savedCount;
}

// A reply at the limit is still read, on the same small stack.
TEST(XmlNesting, ReplyAtTheLimitIsRead) {
    const std::string reply = "<R><Tel>5</Tel>" + Repeat("<a>", 99) + Repeat("</a>", 99) + "</R>";
    __POICONTENT__ content;
    int result = 0;
    RunOnSmallStack([&] { result = ParseUpdateReply(reply.c_str(), testsupport::ReplyCachePath().c_str(), content); });
    EXPECT_EQ(result, 1);
    EXPECT_STREQ(content.Tel, "5");
}
