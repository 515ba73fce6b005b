#include <gtest/gtest.h>

#include <string>

#include "certdesk/codec.h"
#include "certdesk/text_utils.h"

namespace certdesk {
namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

TEST(Codec, EveryByteSurvivesTheRoundTrip) {
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        const std::u16string wide = Utf16FromAnsi(byte);
        ASSERT_EQ(wide.size(), 1u) << b;
        EXPECT_EQ(AnsiFromUtf16(wide), byte) << b;
        EXPECT_EQ(AnsiFromUtf8(Utf8FromAnsi(byte)), byte) << b;
    }
}

struct CodecCase {
    int byte;
    char16_t unit;
};

class CodecTable : public ::testing::TestWithParam<CodecCase> {};

TEST_P(CodecTable, MapsByteToCharacter) {
    const CodecCase& c = GetParam();
    EXPECT_EQ(Utf16FromAnsi(std::string(1, static_cast<char>(c.byte))), std::u16string(1, c.unit));
}

INSTANTIATE_TEST_SUITE_P(Windows1251, CodecTable,
                         ::testing::Values(CodecCase{0x41, u'A'}, CodecCase{0x80, u'Ђ'},
                                           CodecCase{0x88, u'€'}, CodecCase{0x98, 0x0098},
                                           CodecCase{0xA0, 0x00A0}, CodecCase{0xA8, u'Ё'},
                                           CodecCase{0xB8, u'ё'}, CodecCase{0xB9, u'№'},
                                           CodecCase{0xC0, u'А'}, CodecCase{0xDF, u'Я'},
                                           CodecCase{0xE0, u'а'}, CodecCase{0xFF, u'я'}));

struct UnmappableCase {
    const char* name;
    std::u16string utf16;
    std::string ansi;
};

class Unmappable : public ::testing::TestWithParam<UnmappableCase> {};

TEST_P(Unmappable, BecomesQuestionMark) {
    EXPECT_EQ(AnsiFromUtf16(GetParam().utf16), GetParam().ansi);
}

INSTANTIATE_TEST_SUITE_P(Windows1251, Unmappable,
                         ::testing::Values(UnmappableCase{"latin", u"caf\u00e9", "caf?"},
                                           UnmappableCase{"cjk", u"\u5f20\u0416",
                                                          Bytes({'?', 0xC6})},
                                           UnmappableCase{"pair", u"a\U0001F600b", "a?b"},
                                           UnmappableCase{"lone_surrogate", u"a\xD83D", "a?"}),
                         [](const auto& p) { return std::string(p.param.name); });

struct Utf8LiteralCase {
    const char* name;
    std::string utf8;
    std::string ansi;
};

class Utf8Literal : public ::testing::TestWithParam<Utf8LiteralCase> {};

TEST_P(Utf8Literal, BecomesProgramText) {
    EXPECT_EQ(AnsiFromUtf8(GetParam().utf8), GetParam().ansi);
}

INSTANTIATE_TEST_SUITE_P(
    Windows1251, Utf8Literal,
    ::testing::Values(Utf8LiteralCase{"russian", "Ошибка",
                                      Bytes({0xCE, 0xF8, 0xE8, 0xE1, 0xEA, 0xE0})},
                      Utf8LiteralCase{"yo_and_number", "Ёё№", Bytes({0xA8, 0xB8, 0xB9})},
                      Utf8LiteralCase{"four_bytes", "x\U0001F600y", "x?y"},
                      Utf8LiteralCase{"truncated", Bytes({'a', 0xD0}), "a?"},
                      Utf8LiteralCase{"overlong", Bytes({0xC0, 0x80}), "??"},
                      Utf8LiteralCase{"encoded_surrogate", Bytes({0xED, 0xA0, 0xBD}), "???"}),
    [](const auto& p) { return std::string(p.param.name); });

struct EncodeCase {
    const char* name;
    std::u16string text;
    std::string utf8;
};

class EncodeUtf8Table : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeUtf8Table, WritesEachUnitAlone) {
    EXPECT_EQ(EncodeUtf8(GetParam().text), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Units, EncodeUtf8Table,
    ::testing::Values(EncodeCase{"empty", u"", ""}, EncodeCase{"ascii", u"A\x7F", "A\x7F"},
                      EncodeCase{"inn", u"ИНН", Bytes({0xD0, 0x98, 0xD0, 0x9D, 0xD0, 0x9D})},
                      EncodeCase{"euro", u"\u20AC", Bytes({0xE2, 0x82, 0xAC})},
                      EncodeCase{"two_byte_edge", u"\u0080\u07FF", Bytes({0xC2, 0x80, 0xDF, 0xBF})},
                      EncodeCase{"three_byte_edge", u"\u0800\uFFFF",
                                 Bytes({0xE0, 0xA0, 0x80, 0xEF, 0xBF, 0xBF})},
                      EncodeCase{"surrogate_pair_split", u"\U0001F600",
                                 Bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80})}),
    [](const auto& p) { return std::string(p.param.name); });

struct DecodeCase {
    const char* name;
    std::string utf8;
    std::u16string text;
};

class DecodeUtf8Table : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeUtf8Table, FollowsTheBitFiveRule) {
    EXPECT_EQ(DecodeUtf8(GetParam().utf8), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, DecodeUtf8Table,
    ::testing::Values(DecodeCase{"empty", "", u""}, DecodeCase{"pe", Bytes({0xD0, 0x9F}), u"П"},
                      DecodeCase{"lead_alone", Bytes({0xD0}), u""},
                      DecodeCase{"bad_continuation", Bytes({0xD0, 0x41}), u""},
                      DecodeCase{"bad_second_continuation", Bytes({0xE2, 0x82, 0x41}), u""},
                      DecodeCase{"ends_inside", Bytes({'a', 0xE2, 0x82}), u""},
                      DecodeCase{"malformed_later_empties_all", Bytes({'a', 'b', 0xC3}), u""},
                      DecodeCase{"euro", Bytes({0xE2, 0x82, 0xAC}), u"\u20AC"},
                      DecodeCase{"f0_takes_two", Bytes({0xF0, 0x9F, 0x98}), u"\u07D8"},
                      DecodeCase{"f0_leaves_stray", Bytes({0xF0, 0x9F, 0x98, 0x80}), u""},
                      DecodeCase{"stray_continuation_as_lead", Bytes({0x80, 0x80}),
                                 std::u16string(1, u'\0')},
                      DecodeCase{"surrogates_stay_units",
                                 Bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80}), u"\xD83D\xDE00"},
                      DecodeCase{"mixed", "Aж1", u"Aж1"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Utf8ToAnsiText, ConvertsValidAndEmptiesInvalid) {
    EXPECT_EQ(Utf8ToAnsiText(Bytes({0xD0, 0x9F, 0xD1, 0x80, 0xD0, 0xB8})), Ansi("При"));
    EXPECT_EQ(Utf8ToAnsiText(Bytes({0xD0, 0x41})), "");
    EXPECT_EQ(Utf8ToAnsiText("\xE5\xBC\xA0"), "?");
}

struct PadCase {
    const char* name;
    std::string text;
    std::size_t width;
    char fill;
    std::string expected;
};

class PadLeftTable : public ::testing::TestWithParam<PadCase> {};

TEST_P(PadLeftTable, TrimsThenPads) {
    const PadCase& c = GetParam();
    EXPECT_EQ(PadLeft(c.text, c.width, c.fill), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Inn, PadLeftTable,
    ::testing::Values(PadCase{"ten_digits_blanks", " 1234567890 ", 12, '0', "001234567890"},
                      PadCase{"twelve", "123456789012", 12, '0', "123456789012"},
                      PadCase{"thirteen", "1234567890123", 12, '0', "1234567890123"},
                      PadCase{"empty", "", 12, '0', "000000000000"},
                      PadCase{"controls", "\t12\r\n", 12, '0', "000000000012"},
                      PadCase{"inner_blank_kept", " 1 2 ", 5, '*', "**1 2"},
                      PadCase{"nbsp_is_not_blank",
                              "\xA0"
                              "1",
                              4, '0',
                              "00\xA0"
                              "1"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(IncludeTrailingSlash, AddsOneSeparator) {
    EXPECT_EQ(IncludeTrailingSlash(""), "/");
    EXPECT_EQ(IncludeTrailingSlash("/tmp"), "/tmp/");
    EXPECT_EQ(IncludeTrailingSlash("/tmp/"), "/tmp/");
}

struct DateCase {
    const char* name;
    std::uint32_t seconds;
    CalendarTime expected;
};

class UnixToDateTimeTable : public ::testing::TestWithParam<DateCase> {};

TEST_P(UnixToDateTimeTable, GoesThroughThePackedForm) {
    const CalendarTime got = DecodeDateTime(UnixToDateTime(GetParam().seconds));
    const CalendarTime& want = GetParam().expected;
    EXPECT_EQ(got.year, want.year);
    EXPECT_EQ(got.month, want.month);
    EXPECT_EQ(got.day, want.day);
    EXPECT_EQ(got.hour, want.hour);
    EXPECT_EQ(got.minute, want.minute);
    EXPECT_EQ(got.second, want.second);
    EXPECT_EQ(got.millisecond, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Seconds, UnixToDateTimeTable,
    ::testing::Values(DateCase{"start", 1298937600, {2011, 3, 1, 0, 0, 0, 0}},
                      DateCase{"odd_second_dropped", 1298937601, {2011, 3, 1, 0, 0, 0, 0}},
                      DateCase{"even_second_kept", 1298937602, {2011, 3, 1, 0, 0, 2, 0}},
                      DateCase{"end_of_day", 1298937599, {2011, 2, 28, 23, 59, 58, 0}},
                      DateCase{"leap_day", 1709164800, {2024, 2, 29, 0, 0, 0, 0}},
                      DateCase{"first_packed", 315532800, {1980, 1, 1, 0, 0, 0, 0}},
                      DateCase{"before_1980_clamped", 0, {1980, 1, 1, 0, 0, 0, 0}},
                      DateCase{"last_32_bit", 4294967295u, {2106, 2, 7, 6, 28, 14, 0}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(UnixToDateTime, CountsDaysFrom1899) {
    EXPECT_DOUBLE_EQ(UnixToDateTime(1298937600), 40603.0);
    EXPECT_DOUBLE_EQ(UnixToDateTime(1298937600 + 43200), 40603.5);
    EXPECT_EQ(DateText(UnixToDateTime(1298937600)), "01.03.2011");
    EXPECT_EQ(DateText(UnixToDateTime(1330560000)), "01.03.2012");
}

}  // namespace
}  // namespace certdesk
