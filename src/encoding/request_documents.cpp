#include "encoding/request_documents.h"

#include <cstring>
#include <memory>

#include "encoding/base64.h"

namespace nalpoicomm {
namespace {

constexpr char kXmlDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

// A field's text up to its first zero byte, never past its width: a field
// without a terminator must not make us read beyond the record.
template <std::size_t Width>
void AppendField(std::string& document, const char (&field)[Width]) {
    const void* end = std::memchr(field, 0, Width);
    const std::size_t length =
        end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - field) : Width;
    document.append(field, length);
}

char* EncodeDocument(const std::string& document) {
    // The document goes through a zero-terminated copy before encoding.
    const std::size_t w = document.size();
    std::unique_ptr<char[]> copy(new char[w + 1]);
    std::memcpy(copy.get(), document.data(), w);
    copy[w] = 0;
    return Base64Encode(reinterpret_cast<const unsigned char*>(copy.get()),
                        static_cast<std::uint32_t>(w));
}

}  // namespace

std::string UpdateRequestDocument(const __POIINFO__& query) {
    std::string document(kXmlDeclaration);
    document += "<Poi><Type>";
    AppendField(document, query.Type);
    document += "</Type><Time>";
    AppendField(document, query.Time);
    document += "</Time><ID>";
    AppendField(document, query.ID);
    document += "</ID><Name>";
    AppendField(document, query.Name);
    document += "</Name></Poi>";
    return document;
}

std::string BatchRequestDocument(const __POIINFO2__& query) {
    std::string document(kXmlDeclaration);
    document += "<Bat><Type>";
    AppendField(document, query.Type);
    document += "</Type><Time>";
    AppendField(document, query.Time);
    document += "</Time>";
    document += "</Bat>";
    return document;
}

char* BuildUpdateRequest(const __POIINFO__& query) {
    return EncodeDocument(UpdateRequestDocument(query));
}

char* BuildBatchRequest(const __POIINFO2__& query) {
    return EncodeDocument(BatchRequestDocument(query));
}

}  // namespace nalpoicomm
