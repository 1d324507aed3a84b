#include "reply/element_text.h"

#include <cstdlib>
#include <new>

namespace nalpoicomm {
namespace {

// Zero-fills `buffer` and copies `text` in when it fits whole; otherwise the
// buffer stays empty.
void HoldWhenItFits(char* buffer, std::size_t size, const char* text) {
    std::memset(buffer, 0, size);
    if (text == nullptr) return;
    const std::size_t length = strnlen(text, size);
    if (length < size) std::memcpy(buffer, text, length);
}

}  // namespace

ElementName::ElementName(const TiXmlElement& element) {
    HoldWhenItFits(text_, sizeof text_, element.Value());
}

StatusText::StatusText(const TiXmlElement& status) {
    HoldWhenItFits(text_, sizeof text_, status.GetText());
}

void CopyFieldText(char* field, std::size_t width, const char* text) {
    const std::size_t length = strnlen(text, width - 1);  // deliberately cut to fit
    std::memcpy(field, text, length);
    field[length] = 0;
}

void ReplaceHeapText(char*& block, const char* text) {
    std::free(block);
    const std::size_t length = std::strlen(text);
    block = static_cast<char*>(std::malloc(length + 1));
    if (block == nullptr) throw std::bad_alloc();
    std::memset(block, 0, length + 1);
    std::memcpy(block, text, length);
}

}  // namespace nalpoicomm
