// SPDX-License-Identifier: MIT
// The bounded wide-string formatters with 16-bit WCHAR.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "sim.h"

namespace {

std::u16string text_of(const WCHAR *chars, size_t count)
{
    std::u16string text;
    for (size_t i = 0; i < count; ++i) {
        text.push_back(char16_t(chars[i]));
    }
    return text;
}

struct FormatCase {
    const char *name;
    std::function<NTSTATUS(WCHAR *, size_t)> format;
    size_t bytes;  // of the destination, allocated exactly
    NTSTATUS status;
    std::u16string expected;  // the terminated text in the destination
};

class WidePrintfTest : public ::testing::TestWithParam<FormatCase> {
protected:
    vsim::Simulator sim;
};

TEST_P(WidePrintfTest, FormatsTruncatesAndTerminates)
{
    const FormatCase &c = GetParam();
    auto dest = std::make_unique<WCHAR[]>(c.bytes / sizeof(WCHAR));
    EXPECT_EQ(c.format(dest.get(), c.bytes), c.status);
    if (NT_SUCCESS(c.status) || c.status == STATUS_BUFFER_OVERFLOW) {
        size_t length = 0;
        while (dest[length] != 0) {
            ++length;
        }
        EXPECT_EQ(text_of(dest.get(), length), c.expected);
    }
}

#define CASE(name, bytes, status, expected, ...)                                                                     \
    FormatCase                                                                                                       \
    {                                                                                                                \
        name, [](WCHAR *d, size_t cb) { return RtlStringCbPrintfW(d, cb, __VA_ARGS__); }, bytes, status, expected \
    }

INSTANTIATE_TEST_SUITE_P(
    Formats, WidePrintfTest,
    ::testing::Values(
        CASE("IdentifierWithHighBits", 34, STATUS_SUCCESS, u"fedcba9876543210", L"%0*I64x", 16,
             0xfedcba9876543210ULL),
        CASE("WideStrings", 64, STATUS_SUCCESS, u"ab-cd", L"%s-%ws", L"ab", L"cd"),
        CASE("NarrowString", 64, STATUS_SUCCESS, u"<xyz>", L"<%hs>", "xyz"),
        CASE("Integers", 64, STATUS_SUCCESS, u"-5|7|4294967295", L"%d|%i|%u", -5, 7, 4294967295u),
        CASE("Hexadecimal", 64, STATUS_SUCCESS, u"beef BEEF 0000002A", L"%x %X %08X", 0xbeef, 0xbeef, 0x2a),
        CASE("LongIsThirtyTwoBits", 64, STATUS_SUCCESS, u"ffffffff", L"%lx", 0xffffffffu),
        CASE("LongLong", 64, STATUS_SUCCESS, u"-9000000000", L"%lld", -9000000000LL),
        CASE("Short", 64, STATUS_SUCCESS, u"4464", L"%hd", 70000),
        CASE("Justified", 64, STATUS_SUCCESS, u"42   |   42|", L"%-5d|%5d|", 42, 42),
        CASE("StarWidth", 64, STATUS_SUCCESS, u"   -12", L"%*d", 6, -12),
        CASE("ZeroPaddedNegative", 64, STATUS_SUCCESS, u"-0042", L"%05d", -42),
        CASE("Characters", 64, STATUS_SUCCESS, u"Az%", L"%c%c%%", L'A', L'z'),
        CASE("ExactFit", 8, STATUS_SUCCESS, u"abc", L"abc"),
        CASE("Overflow", 8, STATUS_BUFFER_OVERFLOW, u"abc", L"%s", L"abcdef"),
        CASE("OneCharacterBuffer", 2, STATUS_BUFFER_OVERFLOW, u"", L"x")),
    [](const auto &info) { return std::string(info.param.name); });

TEST(WidePrintf, RefusesNullArgumentsAndImpossibleSizes)
{
    vsim::Simulator sim;
    WCHAR dest[4];
    EXPECT_EQ(RtlStringCbPrintfW(dest, 0, L"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbPrintfW(dest, 1, L"x"), STATUS_INVALID_PARAMETER) << "no room for a terminator";
    EXPECT_EQ(RtlStringCbPrintfW(dest, size_t(0x7FFFFFFE) * 2 + 2, L"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbPrintfW(nullptr, 8, L"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbPrintfW(dest, sizeof dest, nullptr), STATUS_INVALID_PARAMETER);
    UNICODE_STRING string{4, 2, dest};  // Length beyond MaximumLength
    EXPECT_EQ(RtlUnicodeStringPrintf(&string, L"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlUnicodeStringPrintf(nullptr, L"x"), STATUS_INVALID_PARAMETER);
}

TEST(WidePrintf, UnicodeStringGetsItsLengthAndNoTerminator)
{
    vsim::Simulator sim;
    auto buffer = std::make_unique<WCHAR[]>(5);  // exactly MaximumLength bytes
    UNICODE_STRING string;
    RtlInitEmptyUnicodeString(&string, buffer.get(), 10);

    EXPECT_EQ(RtlUnicodeStringPrintf(&string, L"%s%d", L"ab", 123), STATUS_SUCCESS);
    EXPECT_EQ(string.Length, 10) << "five characters fill the buffer, no terminator needed";
    EXPECT_EQ(text_of(string.Buffer, 5), u"ab123");

    EXPECT_EQ(RtlUnicodeStringPrintf(&string, L"%s", L"abcdefg"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(string.Length, 10);
    EXPECT_EQ(text_of(string.Buffer, 5), u"abcde");
}

}  // namespace
