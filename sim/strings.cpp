// SPDX-License-Identifier: MIT
// The bounded wide-string formatters. WCHAR is 16 bits here as on the target,
// so nothing of the C library's wide-character support applies: the
// formatting is our own. Supported: flags - 0 + space #, width and precision
// (number or *), size prefixes h hh l ll w I I32 I64, conversions
// d i u x X o c C s S p and %%. As on the target, "l" is 32 bits wide, %s and
// %ws take a wide string, %hs and %S a narrow one.
#include "internal.h"
#include "platform_lock.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace {
using WideText = std::u16string;

constexpr size_t kMaxChars = 0x7FFFFFFE;  // the largest buffer, in characters, the formatters accept

struct Directive {
    bool left = false, zero = false, plus = false, space = false, alternate = false;
    int width = 0;
    int precision = -1;
    enum class Size { Default, Short, Char, Long, LongLong, Pointer, Wide } size = Size::Default;
};

void pad(WideText &out, const WideText &body, const Directive &directive, bool zero_fill, size_t sign_chars)
{
    const size_t width = directive.width > 0 ? size_t(directive.width) : 0;
    if (body.size() >= width) {
        out += body;
    } else if (directive.left) {
        out += body;
        out.append(width - body.size(), u' ');
    } else if (zero_fill) {
        out += body.substr(0, sign_chars);
        out.append(width - body.size(), u'0');
        out += body.substr(sign_chars);
    } else {
        out.append(width - body.size(), u' ');
        out += body;
    }
}

void integer(WideText &out, const Directive &directive, char conversion, uint64_t magnitude, bool negative)
{
    const unsigned base = conversion == 'o' ? 8 : (conversion == 'x' || conversion == 'X' || conversion == 'p') ? 16 : 10;
    const char *digits = conversion == 'X' || conversion == 'p' ? "0123456789ABCDEF" : "0123456789abcdef";
    WideText number;
    do {
        number.insert(number.begin(), char16_t(digits[magnitude % base]));
        magnitude /= base;
    } while (magnitude != 0);
    if (directive.precision >= 0 && number.size() < size_t(directive.precision)) {
        number.insert(0, size_t(directive.precision) - number.size(), u'0');
    }
    if (directive.precision == 0 && number == u"0") {
        number.clear();
    }
    WideText sign;
    if (negative) {
        sign = u"-";
    } else if (directive.plus && (conversion == 'd' || conversion == 'i')) {
        sign = u"+";
    } else if (directive.space && (conversion == 'd' || conversion == 'i')) {
        sign = u" ";
    } else if (directive.alternate && base == 16 && conversion != 'p') {
        sign = conversion == 'X' ? u"0X" : u"0x";
    }
    pad(out, sign + number, directive, directive.zero && !directive.left && directive.precision < 0, sign.size());
}

template <class Char>
void string(WideText &out, const Directive &directive, const Char *text)
{
    static const char kNull[] = "(null)";
    WideText body;
    if (text == nullptr) {
        for (const char *p = kNull; *p; ++p) {
            body.push_back(char16_t(*p));
        }
    } else {
        for (size_t i = 0; text[i] != 0 && (directive.precision < 0 || i < size_t(directive.precision)); ++i) {
            body.push_back(char16_t(static_cast<std::make_unsigned_t<Char>>(text[i])));
        }
    }
    pad(out, body, directive, false, 0);
}

const WCHAR *parse_directive(const WCHAR *p, Directive &directive, va_list &arguments)
{
    for (;; ++p) {
        if (*p == L'-') directive.left = true;
        else if (*p == L'0') directive.zero = true;
        else if (*p == L'+') directive.plus = true;
        else if (*p == L' ') directive.space = true;
        else if (*p == L'#') directive.alternate = true;
        else break;
    }
    if (*p == L'*') {
        directive.width = va_arg(arguments, int);
        if (directive.width < 0) {
            directive.left = true;
            directive.width = -directive.width;
        }
        ++p;
    } else {
        for (; *p >= L'0' && *p <= L'9'; ++p) {
            directive.width = directive.width * 10 + (*p - L'0');
        }
    }
    if (*p == L'.') {
        ++p;
        directive.precision = 0;
        if (*p == L'*') {
            directive.precision = va_arg(arguments, int);
            ++p;
        } else {
            for (; *p >= L'0' && *p <= L'9'; ++p) {
                directive.precision = directive.precision * 10 + (*p - L'0');
            }
        }
    }
    using Size = Directive::Size;
    if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') directive.size = Size::LongLong, p += 3;
    else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') directive.size = Size::Long, p += 3;
    else if (p[0] == L'I') directive.size = Size::Pointer, p += 1;
    else if (p[0] == L'l' && p[1] == L'l') directive.size = Size::LongLong, p += 2;
    else if (p[0] == L'h' && p[1] == L'h') directive.size = Size::Char, p += 2;
    else if (p[0] == L'l') directive.size = Size::Long, p += 1;
    else if (p[0] == L'h') directive.size = Size::Short, p += 1;
    else if (p[0] == L'w') directive.size = Size::Wide, p += 1;
    return p;
}

void convert(WideText &out, const Directive &directive, WCHAR conversion, va_list &arguments)
{
    using Size = Directive::Size;
    switch (conversion) {
    case L'd':
    case L'i': {
        int64_t value = directive.size == Size::LongLong ? va_arg(arguments, long long)
                        : directive.size == Size::Pointer ? int64_t(va_arg(arguments, intptr_t))
                                                     : int64_t(va_arg(arguments, int));
        if (directive.size == Size::Short) value = int16_t(value);
        if (directive.size == Size::Char) value = int8_t(value);  // NOLINT(bugprone-signed-char-misuse): %hhd is signed
        integer(out, directive, 'd', value < 0 ? 0 - uint64_t(value) : uint64_t(value), value < 0);
        return;
    }
    case L'u':
    case L'x':
    case L'X':
    case L'o': {
        uint64_t value = directive.size == Size::LongLong ? va_arg(arguments, unsigned long long)
                         : directive.size == Size::Pointer ? uint64_t(va_arg(arguments, uintptr_t))
                                                      : uint64_t(va_arg(arguments, unsigned));
        if (directive.size == Size::Short) value = uint16_t(value);
        if (directive.size == Size::Char) value = uint8_t(value);
        integer(out, directive, char(conversion), value, false);
        return;
    }
    case L'p': {
        Directive pointer = directive;
        pointer.precision = int(sizeof(void *) * 2);
        integer(out, pointer, 'p', uintptr_t(va_arg(arguments, void *)), false);
        return;
    }
    case L'c':
    case L'C': {
        const int value = va_arg(arguments, int);
        const bool narrow = conversion == L'C' ? directive.size != Size::Wide && directive.size != Size::Long
                                               : directive.size == Size::Short;
        pad(out, WideText(1, narrow ? char16_t(uint8_t(value)) : char16_t(value)), directive, false, 0);
        return;
    }
    case L's':
    case L'S': {
        const bool narrow = conversion == L'S' ? directive.size != Size::Wide && directive.size != Size::Long
                                               : directive.size == Size::Short;
        if (narrow) {
            string(out, directive, va_arg(arguments, const char *));
        } else {
            string(out, directive, va_arg(arguments, const WCHAR *));
        }
        return;
    }
    default:
        out.push_back(char16_t(conversion));  // unknown: printed as written
        return;
    }
}

WideText format(const WCHAR *format, va_list &arguments)
{
    WideText out;
    for (const WCHAR *p = format; *p != 0; ++p) {
        if (*p != L'%') {
            out.push_back(char16_t(*p));
            continue;
        }
        if (p[1] == L'%') {
            out.push_back(u'%');
            ++p;
            continue;
        }
        Directive directive;
        p = parse_directive(p + 1, directive, arguments);
        if (*p == 0) {
            break;
        }
        convert(out, directive, *p, arguments);
    }
    return out;
}
}  // namespace

EXTERN_C NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, ...)
{
    auto *sim = vsim::active();
    if (sim != nullptr) {
        vsim::detail::PlatformCall call(sim);
        if (auto status = sim->begin(vsim::Op::RtlStringCbPrintfW)) {
            return *status;
        }
    }
    const size_t capacity = cbDest / sizeof(WCHAR);
    if (pszDest == nullptr || pszFormat == nullptr || cbDest > kMaxChars * sizeof(WCHAR) || capacity == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    va_list arguments;
    va_start(arguments, pszFormat);
    const WideText text = format(pszFormat, arguments);
    va_end(arguments);
    const size_t count = std::min(text.size(), capacity - 1);
    std::memcpy(pszDest, text.data(), count * sizeof(WCHAR));
    pszDest[count] = 0;
    return text.size() < capacity ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

EXTERN_C NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, ...)
{
    auto *sim = vsim::active();
    if (sim != nullptr) {
        vsim::detail::PlatformCall call(sim);
        if (auto status = sim->begin(vsim::Op::RtlUnicodeStringPrintf)) {
            return *status;
        }
    }
    if (DestinationString == nullptr || pszFormat == nullptr ||
        (DestinationString->Buffer == nullptr && DestinationString->MaximumLength != 0) ||
        DestinationString->Length > DestinationString->MaximumLength || DestinationString->Length % 2 != 0 ||
        DestinationString->MaximumLength % 2 != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    va_list arguments;
    va_start(arguments, pszFormat);
    const WideText text = format(pszFormat, arguments);
    va_end(arguments);
    const size_t capacity = DestinationString->MaximumLength / sizeof(WCHAR);
    const size_t count = std::min(text.size(), capacity);
    if (count != 0) {
        std::memcpy(DestinationString->Buffer, text.data(), count * sizeof(WCHAR));
    }
    DestinationString->Length = USHORT(count * sizeof(WCHAR));
    return text.size() <= capacity ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}
