#include <gtest/gtest.h>
#include <tinyxml.h>

#include <cstdlib>
#include <string>

#include "platform/wide_string.h"
#include "support/install_tree.h"
#include "transport/install_paths.h"
#include "transport/service_config.h"
#include "transport/text_conversion.h"

using namespace nalpoicomm;

namespace {

std::u16string Wide(const std::string& utf8) {
    WCHAR* block = nullptr;
    if (AnsiToWide(utf8.c_str(), &block) == 0) return u"<failed>";
    std::u16string text(block);
    std::free(block);
    return text;
}

// The service URL as 8-bit text, or "<none>".
std::string ReadUrl() {
    WCHAR* url = ReadServiceUrl();
    if (url == nullptr) return "<none>";
    char text[kPathChars];
    WideToAnsi(url, text, sizeof text);
    std::free(url);
    return text;
}

// What TinyXML's own LoadFile makes of the service file, or "<none>".
std::string UrlAsLoadFileReadsIt() {
    TiXmlDocument document(testsupport::ServiceConfigPath().c_str());
    if (!document.LoadFile()) return "<none>";
    const TiXmlElement* root = document.FirstChildElement();
    const TiXmlElement* first = root ? root->FirstChildElement() : nullptr;
    const char* text = first ? first->GetText() : nullptr;
    return text ? text : "<none>";
}

std::string Repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

}  // namespace

TEST(InstallDir, IsTheParentOfTheExecutablesDirectory) {
    const struct { std::u16string modulePath, installDir; } cases[] = {
        {u"/Storage/App/Bin/Host", u"/Storage/App"},
        {u"/App/Host", u""},      // one level: the tree is the root
        {u"/Host", u""},          // at the root
        {u"Host", u"Host"},       // no separator: unchanged
        {u"App/Host", u"App"},  // only one separator to cut at
        {u"", u""},
    };
    for (const auto& c : cases) {
        std::u16string path = c.modulePath;
        InstallDirFromModulePath(&path[0]);
        EXPECT_EQ(std::u16string(path.c_str()), c.installDir);
    }
}

TEST(InstallDir, FollowsTheRunningExecutable) {
    WCHAR store[kModulePathChars];
    GetInstallDir(store);
    EXPECT_EQ(std::u16string(store), Wide(testsupport::InstallRoot()));

    char path[kPathChars];
    ASSERT_TRUE(FormConfigPath(kServiceConfigFormat, path));
    EXPECT_EQ(std::string(path), testsupport::ServiceConfigPath());
    ASSERT_TRUE(FormConfigPath(kReplyCacheFormat, path));
    EXPECT_EQ(std::string(path), testsupport::ReplyCachePath());
}

TEST(ServiceConfig, ReadsTheFirstChildOfTheRootWhateverTheNames) {
    const std::string url99 = "http://127.0.0.1:8080/" + std::string(99 - 22, 'p');
    ASSERT_EQ(url99.size(), 99u);
    const struct { std::string file, url; } cases[] = {
        {"<ServiceConfig><ServiceUrl>http://host/poi</ServiceUrl></ServiceConfig>", "http://host/poi"},
        {"<?xml version=\"1.0\"?><a><b>http://x:81/y?q=1</b><c>http://ignored/</c></a>",
         "http://x:81/y?q=1"},
        {"<!-- note --><root>\n  <anything>http://h/p</anything>\n</root>", "http://h/p"},
        {"<r><u>" + url99 + "</u></r>", url99},
        {"<r><u>" + url99 + "q</u></r>", "<none>"},  // 100 bytes: too long, never cut
        {"", "<none>"},
        {"not xml at all", "<none>"},
        {"<r></r>", "<none>"},                       // no first child
        {"<r><u/></r>", "<none>"},                   // no text
        {"<r><u>&#0;</u></r>", "<none>"},            // a text node whose text is empty
        {"<r><u>&#x;</u></r>", "<none>"},
        {"<r><u><v>http://h/</v></u></r>", "<none>"},  // first child's first node is no text
        {"<r><u>http://h/", "<none>"},               // not well-formed
        {"<r><u>http://h/</u>" + Repeat("<a>", 5000) + Repeat("</a>", 5000) + "</r>",
         "<none>"},  // well-formed, but too deep to parse safely
        {"<r><u>http://h/</u></r>" + std::string(70 * 1024, ' '), "<none>"},   // too large to be one
        {std::string(60 * 1024, '\n') + "<r><u>http://h/</u></r>", "http://h/"},  // read in pieces
    };
    for (const auto& c : cases) {
        testsupport::WriteFile(testsupport::ServiceConfigPath(), c.file);
        EXPECT_EQ(ReadUrl(), c.url) << c.file;
    }
}

// The file is parsed from memory, so its line ends must be made LF exactly as
// LoadFile makes them; inside CDATA they stay visible in the URL.
TEST(ServiceConfig, LineEndsAreReadAsLoadFileReadsThem) {
    const struct { std::string file, url; } cases[] = {
        {"<r>\r\n  <u>http://h/p</u>\r\n</r>\r\n", "http://h/p"},
        {"<r>\r<u>http://h/p</u>\r</r>\r", "http://h/p"},
        {"<r><u>http://h/a\r\nb</u></r>", "http://h/a b"},  // ordinary text: condensed
        {"<r><u><![CDATA[http://h/a\r\nb]]></u></r>", "http://h/a\nb"},
        {"<r><u><![CDATA[http://h/a\rb]]></u></r>", "http://h/a\nb"},
        {"<r><u><![CDATA[http://h/a\r\r\nb]]></u></r>", "http://h/a\n\nb"},
        {"<r><u><![CDATA[http://h/a\n\rb]]></u></r>", "http://h/a\n\nb"},
        {"<r><u><![CDATA[http://h/a\r]]></u></r>\r", "http://h/a\n"},
    };
    for (const auto& c : cases) {
        testsupport::WriteFile(testsupport::ServiceConfigPath(), c.file);
        EXPECT_EQ(UrlAsLoadFileReadsIt(), c.url) << c.file;
        EXPECT_EQ(ReadUrl(), c.url) << c.file;
    }
}

TEST(ServiceConfig, MissingFileIsAFailure) {
    testsupport::RemoveFile(testsupport::ServiceConfigPath());
    EXPECT_EQ(ReadUrl(), "<none>");
}

TEST(ServiceConfig, NonAsciiUrlSurvivesTheWideRoundTrip) {
    testsupport::WriteFile(testsupport::ServiceConfigPath(),
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r><u>http://h/caf\xC3\xA9</u></r>");
    EXPECT_EQ(ReadUrl(), "http://h/caf\xC3\xA9");
}

TEST(TextConversion, IsBoundedByTheDestination) {
    const std::u16string text = u"/path/caf\u00e9";  // 10 characters, 11 bytes in UTF-8
    char exact[12];
    EXPECT_EQ(WideToAnsi(text.c_str(), exact, sizeof exact), 12);
    EXPECT_STREQ(exact, "/path/caf\xC3\xA9");
    char small[11];
    EXPECT_EQ(WideToAnsi(text.c_str(), small, sizeof small), 0);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(WideToAnsi(nullptr, small, sizeof small), 0);

    WCHAR* untouched = nullptr;
    EXPECT_EQ(AnsiToWide(nullptr, &untouched), 0);
    EXPECT_EQ(untouched, nullptr);
}

TEST(TextConversion, IllFormedTextBecomesReplacementCharacters) {
    const struct { std::string in; std::u16string out; } cases[] = {
        {"a\xFF" "b", u"a\uFFFDb"},
        {"\xC3", u"\uFFFD"},                      // cut sequence
        {"\xE2\x82" "x", u"\uFFFDx"},             // maximal subpart replaced once
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
        {"\xF0\x9F\x98\x80", u"\U0001F600"},      // outside the BMP: a surrogate pair
    };
    for (const auto& c : cases) EXPECT_EQ(Wide(c.in), c.out) << c.in;

    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    char out[16];
    ASSERT_GT(WideToAnsi(lone, out, sizeof out), 0);
    EXPECT_STREQ(out, "a\xEF\xBF\xBD" "b");
}

TEST(WideFormat, SubstitutesAndRefusesWhatDoesNotFit) {
    WCHAR out[8];
    EXPECT_TRUE(FormatWide(out, 8, u"%s/c", u"ab"));
    EXPECT_EQ(std::u16string(out), u"ab/c");
    EXPECT_TRUE(FormatWide(out, 8, u"%%%s", u"abcdef"));  // 7 characters + terminator
    EXPECT_EQ(std::u16string(out), u"%abcdef");
    EXPECT_FALSE(FormatWide(out, 8, u"%s/cc.xml", u"abc"));
    EXPECT_EQ(out[0], 0);
}
