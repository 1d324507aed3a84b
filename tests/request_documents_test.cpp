#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "encoding/base64.h"
#include "encoding/request_documents.h"
#include "support/record_fields.h"

using namespace nalpoicomm;
using testsupport::Put;

namespace {

__POIINFO__ Query(const std::string& type, const std::string& time, const std::string& id,
                  const std::string& name) {
    __POIINFO__ q;
    std::memset(&q, 0, sizeof q);
    Put(q.Type, type);
    Put(q.Time, time);
    Put(q.ID, id);
    Put(q.Name, name);
    return q;
}

__POIINFO2__ Batch(const std::string& type, const std::string& time) {
    __POIINFO2__ q;
    std::memset(&q, 0, sizeof q);
    Put(q.Type, type);
    Put(q.Time, time);
    return q;
}

std::string Take(char* block) {
    std::unique_ptr<char[]> owned(block);
    return std::string(owned.get());
}

}  // namespace

TEST(UpdateRequest, WorkedExample) {
    const __POIINFO__ q = Query("1", "20", "123", "abc");
    EXPECT_EQ(UpdateRequestDocument(q),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Poi><Type>1</Type><Time>20</Time>"
              "<ID>123</ID><Name>abc</Name></Poi>");
    EXPECT_EQ(Take(BuildUpdateRequest(q)),
              "PD94bWwgdmVyc2lvbj0iMS4wIiBlbmNvZGluZz0iVVRGLTgiPz48UG9pPjxU\r\n"
              "eXBlPjE8L1R5cGU+PFRpbWU+MjA8L1RpbWU+PElEPjEyMzwvSUQ+PE5hbWU+\r\n"
              "YWJjPC9OYW1lPjwvUG9pPg==");
}

TEST(BatchRequest, WorkedExample) {
    const __POIINFO2__ q = Batch("2", "20");
    EXPECT_EQ(BatchRequestDocument(q),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Bat><Type>2</Type><Time>20</Time></Bat>");
    EXPECT_EQ(Take(BuildBatchRequest(q)),
              "PD94bWwgdmVyc2lvbj0iMS4wIiBlbmNvZGluZz0iVVRGLTgiPz48QmF0PjxU\r\n"
              "eXBlPjI8L1R5cGU+PFRpbWU+MjA8L1RpbWU+PC9CYXQ+");
}

TEST(RequestDocuments, EmptyFieldsGiveTheFixedPieces) {
    const std::string update = UpdateRequestDocument(Query("", "", "", ""));
    const std::string batch = BatchRequestDocument(Batch("", ""));
    EXPECT_EQ(update.size(), 97u);
    EXPECT_EQ(batch.size(), 75u);
    EXPECT_NE(update.find("<ID></ID>"), std::string::npos);
    EXPECT_EQ(Take(BuildUpdateRequest(Query("", "", "", ""))).size(), 136u);
    EXPECT_EQ(Take(BuildBatchRequest(Batch("", ""))).size(), 102u);
}

TEST(RequestDocuments, FieldsPassByteForByte) {
    const struct { std::string type, time, id, name; } cases[] = {
        {"ABCD", std::string(19, 'T'), std::string(49, 'I'), std::string(99, 'N')},  // full fields
        {"<&", "a&b", "<ID>", "\"q'"},                                              // markup
        {"\x80\xFF", "\xC3\xA9t\xE9", "\x9F", "Caf\xC3\xA9"},                       // high bytes
    };
    for (const auto& c : cases) {
        const __POIINFO__ q = Query(c.type, c.time, c.id, c.name);
        const std::string expected = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Poi><Type>" +
                                     c.type + "</Type><Time>" + c.time + "</Time><ID>" + c.id +
                                     "</ID><Name>" + c.name + "</Name></Poi>";
        EXPECT_EQ(UpdateRequestDocument(q), expected);
        const std::string encoded = Take(BuildUpdateRequest(q));
        EXPECT_EQ(encoded.size(), Base64EncodedLength(static_cast<uint32_t>(expected.size())));
        EXPECT_EQ(Base64Decode(encoded), expected);

        const std::string batch = BatchRequestDocument(Batch(c.type, c.time));
        EXPECT_EQ(batch, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Bat><Type>" + c.type +
                             "</Type><Time>" + c.time + "</Time></Bat>");
        EXPECT_EQ(Base64Decode(Take(BuildBatchRequest(Batch(c.type, c.time)))), batch);
    }
}

TEST(RequestDocuments, UnterminatedFieldIsReadOnlyToItsWidth) {
    __POIINFO2__ q;
    std::memset(&q, 'x', sizeof q);  // no zero byte anywhere in the record
    const std::string document = BatchRequestDocument(q);
    EXPECT_NE(document.find("<Type>xxxxx</Type><Time>" + std::string(20, 'x') + "</Time>"),
              std::string::npos);
}
