// How the reply readers take names and texts from elements: names and status
// texts into small fixed buffers for whole comparison, element texts into the
// records' fixed fields, `Con` texts into heap blocks.
#ifndef NALPOICOMM_REPLY_ELEMENT_TEXT_H
#define NALPOICOMM_REPLY_ELEMENT_TEXT_H

#include <tinyxml.h>

#include <cstddef>
#include <cstring>

namespace nalpoicomm {

constexpr std::size_t kElementNameSize = 20;  // element names of up to 19 characters are compared
constexpr std::size_t kStatusTextSize = 5;    // status texts of up to 4 characters are compared

// An element's name as the readers compare it: copied into a zero-filled
// 20-byte buffer and compared whole, case-sensitively. A name of 20 characters
// or more is held as empty text, which none of the known names equals (and
// TinyXML gives no element an empty name), so it matches nothing.
class ElementName {
public:
    explicit ElementName(const TiXmlElement& element);
    bool Is(const char* known) const { return std::strcmp(text_, known) == 0; }

private:
    char text_[kElementNameSize];
};

// A `Status` element's text in a zero-filled 5-byte buffer, compared whole.
// No text at all, and a text of 5 characters or more, are held as empty text:
// neither can equal a status value, and a cut text could.
class StatusText {
public:
    explicit StatusText(const TiXmlElement& status);
    bool Is(const char* value) const { return std::strcmp(text_, value) == 0; }

private:
    char text_[kStatusTextSize];
};

// Copies `text` into a `width`-byte field with its terminating zero. A text
// longer than the field's capacity less one is cut to that capacity.
void CopyFieldText(char* field, std::size_t width, const char* text);

template <std::size_t Width>
void CopyFieldText(char (&field)[Width], const char* text) {
    CopyFieldText(field, Width, text);
}

// Stores in `block` a new malloc'd copy of `text`: exactly its length plus one
// byte, zero-filled, then filled. The block that `block` held before, from an
// earlier element of the same reply and never handed out, is freed first.
// When the new block cannot be allocated, `block` is left null and
// std::bad_alloc is thrown: a record without its text is not a whole reply.
void ReplaceHeapText(char*& block, const char* text);

}  // namespace nalpoicomm

#endif
