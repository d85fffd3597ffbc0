// SPDX-License-Identifier: MIT
// Lines of any length, and names made safe to print: paths and section
// names come from the command line and from untrusted modules.
#include "map.h"

#include <charconv>
#include <cstdarg>
#include <cstdio>

namespace {

unsigned char byte_at(std::string_view text, size_t i)
{
    return static_cast<unsigned char>(text[i]);
}

// Length of the well-formed UTF-8 sequence (no overlong form, surrogate or
// code point past U+10FFFF) that starts at text[i], whose code point is left
// in code; 0 where none does.
size_t utf8_length(std::string_view text, size_t i, uint32_t& code)
{
    const unsigned char lead = byte_at(text, i);
    const size_t length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    code = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((byte_at(text, i + k) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte_at(text, i + k) & 0x3F);
    }
    static const uint32_t lowest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (length > 1 && (code < lowest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF))
        return 0;
    return length;
}

// C0 controls, DEL and the C1 controls U+0080 to U+009F, which a terminal
// may act on.
bool is_control(std::string_view text, size_t i, size_t length)
{
    const unsigned char lead = byte_at(text, i);
    return (length == 1 && (lead < 0x20 || lead == 0x7F)) ||
           (length == 2 && lead == 0xC2 && byte_at(text, i + 1) < 0xA0);
}

// The marks, embeddings, overrides and isolates that reorder the text shown
// around them: a name holding one could make a line read as something it is
// not.
bool is_bidi_control(uint32_t code)
{
    return code == 0x061C || code == 0x200E || code == 0x200F || (code >= 0x202A && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069);
}

void append_escape(std::string& out, std::string_view bytes)
{
    static const char digits[] = "0123456789abcdef";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        const char* named = b == '\n' ? "\\n" : b == '\t' ? "\\t" : b == '\r' ? "\\r" : nullptr;
        if (named)
            out += named;
        else
            out += {'\\', 'x', digits[b >> 4], digits[b & 0xF]};
    }
}

// Printable ASCII other than the backslash is copied as it is.
bool plain_text(std::string_view text)
{
    for (const char c : text)
        if (c < 0x20 || c > 0x7E || c == '\\')
            return false;
    return true;
}

} // namespace

void add(LINES& out, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    out.push_back(vformat(fmt, args));
    va_end(args);
}

std::string printable(std::string_view text)
{
    std::string out;
    append_printable(out, text);
    return out;
}

void append_printable(std::string& out, std::string_view text)
{
    if (plain_text(text)) {
        out += text;
        return;
    }
    for (size_t i = 0; i < text.size();) {
        uint32_t code = 0;
        const size_t length = utf8_length(text, i, code);
        if (length == 0) {
            append_escape(out, text.substr(i, 1));
            ++i;
            continue;
        }
        if (is_control(text, i, length))
            append_escape(out, text.substr(i, length));
        else if (is_bidi_control(code))
            out += format("\\u%04x", code);
        else if (text[i] == '\\')
            out += "\\\\";
        else
            out += text.substr(i, length);
        i += length;
    }
}

void append_hex(std::string& out, uint64_t value, int digits)
{
    static const char hex[] = "0123456789abcdef";
    char text[16];
    int length = 0;
    do
        text[15 - length++] = hex[value & 0xF];
    while ((value >>= 4) != 0);
    if (length < digits)
        out.append(static_cast<size_t>(digits - length), '0');
    out.append(text + 16 - length, static_cast<size_t>(length));
}

void append_unsigned(std::string& out, uint64_t value)
{
    char digits[20];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

void append_signed(std::string& out, int64_t value)
{
    char digits[20];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

void append_padded(std::string& out, std::string_view text, size_t width)
{
    out += text;
    if (text.size() < width)
        out.append(width - text.size(), ' ');
}
