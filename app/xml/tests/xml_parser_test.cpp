#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "certdesk/codec.h"
#include "certdesk/error.h"
#include "certdesk/xml_parser.h"

namespace certdesk {
namespace {

// name@attr=value..."text"(children) — the whole tree in one comparable line.
std::string Dump(const TquorXMLNode2& node) {
    std::string out = node.Name;
    for (const auto& attribute : node.Attributes) {
        out += "@" + attribute->Name + "=" + attribute->Value;
    }
    if (!node.Text.empty()) {
        out += "\"" + node.Text + "\"";
    }
    if (!node.Children.Empty()) {
        out += "(";
        for (const auto& child : node.Children) {
            if (out.back() != '(') {
                out += ",";
            }
            out += Dump(*child);
        }
        out += ")";
    }
    return out;
}

struct TreeCase {
    const char* label;
    std::string source;
    std::string tree;
};

void PrintTo(const TreeCase& c, std::ostream* os) {
    *os << c.label;
}

class ParseTree : public testing::TestWithParam<TreeCase> {};

TEST_P(ParseTree, BuildsTheTree) {
    TquorXMLParser2 parser;
    parser.LoadFromString(GetParam().source);
    EXPECT_EQ(Dump(parser), GetParam().tree);
}

INSTANTIATE_TEST_SUITE_P(
    Reader, ParseTree,
    testing::Values(
        TreeCase{"OnlyAnEmptyRootWithAttribute", "<root a=\"1\"/>", "root@a=1"},
        TreeCase{"TemplateShape",
                 "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<template>\r\n"
                 "  <subject>CN=x,INN=007</subject>\r\n"
                 "  <subjectAltName><businessCategory>boss</businessCategory></subjectAltName>\r\n"
                 "</template>\r\n",
                 "template(subject\"CN=x,INN=007\",subjectAltName(businessCategory\"boss\"))"},
        TreeCase{"NoDeclarationParsesTheSame", "<r><a>x</a></r>", "r(a\"x\")"},
        TreeCase{"DeclarationWithoutItsEndGivesNothing", "<?xml version=\"1.0\"<r><a/></r>", ""},
        TreeCase{"DeclarationWithNoAttributes", "<?xml?><r/>", "r"},
        TreeCase{"EndTagWithWrongNameClosesTheCurrent", "<r><a><b>x</c><d/></zz><e/></r>",
                 "r(a(b\"x\",d),e)"},
        TreeCase{"EndTagBeforeAnyElementEndsTheScan", "</x><r/>", ""},
        TreeCase{"QuotedGreaterThanStaysInTheTag", "<r a=\"x>y\" b='1>2'><c/></r>",
                 "r@a=x>y@b=1>2(c)"},
        TreeCase{"QuotesOfTheOtherKindInsideAValue", "<r a='say \"hi\" >' b=\"it's\"/>",
                 "r@a=say \"hi\" >@b=it's"},
        TreeCase{"UnclosedQuoteLeavesTheTagOpen", "<r><c a=\"x>y/></r>", "r"},
        TreeCase{"CommentBeforeTheRoot", "<!-- a > b --><r>t</r>", "r\"t\""},
        TreeCase{"CommentBeforeAChild", "<r>t<!-- c --><c/></r>", "r\"t\"(c)"},
        TreeCase{"SecondCommentWithASpaceFailsAsAttributes", "<!-- a --><!-- b --><r/>", "!--"},
        TreeCase{"SecondCommentWithoutSpaceIsAnElement", "<!--a--><!--b--><r/>", "!--b--(r)"},
        TreeCase{"UnclosedCommentEndsTheScan", "<r><!-- no end <c/></r>", "r"},
        TreeCase{"TextIsTrimmedOfBlanksAndControls", "<r> \t\r\n x  y \x01</r>", "r\"x  y\""},
        TreeCase{"OnlyTextBeforeTheFirstChildIsKept", "<r>one<a/>two<b>in</b>three</r>",
                 "r\"one\"(a,b\"in\")"},
        TreeCase{"TextKeepsEntitiesRaw", "<r>a &amp; b</r>", "r\"a &amp; b\""},
        TreeCase{"CdataIsTheRawText", "<r><![CDATA[ a<b>&amp; ]]></r>", "r\"a<b>&amp;\""},
        TreeCase{"TextBeforeCdataIsDropped", "<r>lost<![CDATA[kept]]><c/></r>", "r\"kept\"(c)"},
        TreeCase{"SecondCdataReadsAsATag", "<r><![CDATA[a]]><![CDATA[b]]></r>",
                 "r\"a\"(![CDATA[b]])"},
        TreeCase{"UnclosedCdataEndsTheScan", "<r><![CDATA[abc</r>", "r"},
        TreeCase{"LastOpenElementLosesItsText", "<r><a><b>text", "r(a(b))"},
        TreeCase{"MissingEndTagsKeepWhatWasBuilt", "<r><a>x</a><b>y</b>", "r(a\"x\",b\"y\")"},
        TreeCase{"TagWithoutGreaterThan", "<r><a>x</a><b", "r(a\"x\")"},
        TreeCase{"AnythingAfterTheRootIsIgnored", "<r>t</r><x/>not xml <<< &", "r\"t\""},
        TreeCase{"EmptyRootEndsTheDocument", "<r/><x/>", "r"},
        TreeCase{"RepeatedAttributeReplacesTheValue", "<r a=\"1\" b='2' a=\"3\"/>", "r@a=3@b=2"},
        TreeCase{"SpacesAroundTheEqualsSign", "<r  a  =  \"1\"   b='2'  />", "r@a=1@b=2"},
        TreeCase{"AttributeValuesAreRaw", "<r a=\"&lt;&amp;\"/>", "r@a=&lt;&amp;"},
        TreeCase{"ElementAttributeErrorEndsTheScanQuietly", "<r><c a=1/><d/></r>", "r(c)"},
        TreeCase{"OnlyASpaceSeparatesTheName", "<r\ta=\"1\">x</r>", "r\ta=\"1\"\"x\""},
        TreeCase{"PrefixStaysInTheName", "<ns:r><ns:c/></ns:r>", "ns:r(ns:c)"},
        TreeCase{"Windows1251BytesAsRead", "<r>\xC8\xCD\xCD</r>", "r\"\xC8\xCD\xCD\""},
        TreeCase{"NoTagAtAll", "just text", ""}),
    [](const testing::TestParamInfo<TreeCase>& param) { return param.param.label; });

struct DeclarationCase {
    const char* label;
    std::string source;
    std::string message;
};

void PrintTo(const DeclarationCase& c, std::ostream* os) {
    *os << c.label;
}

class DeclarationFailure : public testing::TestWithParam<DeclarationCase> {};

TEST_P(DeclarationFailure, FailsTheLoadWithItsMessage) {
    TquorXMLParser2 parser;
    try {
        parser.LoadFromString(GetParam().source);
        FAIL() << "the load succeeded";
    } catch (const Error& e) {
        EXPECT_EQ(e.Message(), GetParam().message);
    }
    EXPECT_EQ(Dump(parser), "");
}

INSTANTIATE_TEST_SUITE_P(
    Reader, DeclarationFailure,
    testing::Values(DeclarationCase{"UnquotedValue", "<?xml version=1.0?><r/>",
                                    "missing value delimiter when parsing attributes"},
                    DeclarationCase{"NothingAfterTheEqualsSign", "<?xml version= ?><r/>",
                                    "missing value delimiter when parsing attributes"},
                    DeclarationCase{"NameWithoutValue", "<?xml version?><r/>",
                                    "missing = when parsing attributes"},
                    DeclarationCase{"TrailingWord", "<?xml version=\"1.0\" standalone?><r/>",
                                    "missing = when parsing attributes"},
                    DeclarationCase{"UnclosedDoubleQuote", "<?xml version=\"1.0?><r/>",
                                    "Expected closing \" when parsing attributes"},
                    DeclarationCase{"UnclosedSingleQuote", "<?xml version='1.0?><r/>",
                                    "Expected closing ' when parsing attributes"}),
    [](const testing::TestParamInfo<DeclarationCase>& param) { return param.param.label; });

TEST(Declaration, ReadsItsAttributesAndKeepsThemAcrossLoads) {
    TquorXMLParser2 parser;
    parser.LoadFromString("\r\n<?xml version=\"1.0\" encoding='windows-1251' ?><r/>");
    EXPECT_EQ(Dump(parser.Declaration()), "@version=1.0@encoding=windows-1251");
    EXPECT_EQ(Dump(parser), "r");

    parser.LoadFromString("<?xml version=\"1.1\"?><q/>");
    EXPECT_EQ(Dump(parser.Declaration()), "@version=1.1@encoding=windows-1251");
    EXPECT_EQ(Dump(parser), "q");
}

TEST(Reload, ReplacesTheWholeTree) {
    TquorXMLParser2 parser;
    parser.LoadFromString("<r a=\"1\">t<c/></r>");
    parser.LoadFromString("<s/>");
    EXPECT_EQ(Dump(parser), "s");
    EXPECT_EQ(parser.Parent, nullptr);
}

// Past a handful of attributes the lookup of repeated names goes through an index.
TEST(ManyAttributes, RepeatedNamesReplaceTheirValues) {
    std::string tag = "<r";
    std::string expected = "r";
    for (int i = 0; i < 40; ++i) {
        tag += " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
        expected += "@a" + std::to_string(i) + "=" +
                    (i == 3    ? "x"
                     : i == 38 ? "y"
                               : std::to_string(i));
    }
    tag += " a38=\"y\" a3='x' a38=\"y\"/>";
    TquorXMLParser2 parser;
    parser.LoadFromString(tag);
    EXPECT_EQ(Dump(parser), expected);
}

struct EntityCase {
    std::string raw;
    std::string decoded;
};

void PrintTo(const EntityCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.raw);
}

class Entities : public testing::TestWithParam<EntityCase> {};

TEST_P(Entities, DecodeInOnePass) {
    EXPECT_EQ(DecodeXmlEntities(GetParam().raw), GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(
    Reader, Entities,
    testing::Values(EntityCase{"", ""}, EntityCase{"plain", "plain"},
                    EntityCase{"&apos;&quot;&amp;&lt;&gt;", "'\"&<>"}, EntityCase{"a&#xA;b", "a b"},
                    EntityCase{"&amp;lt;", "&lt;"}, EntityCase{"&amp;amp;", "&amp;"},
                    EntityCase{"&&amp;", "&&"},
                    EntityCase{"&#xa; &#10; &nbsp; &am", "&#xa; &#10; &nbsp; &am"},
                    EntityCase{"x&", "x&"}, EntityCase{"\xD0\xE0&gt;", "\xD0\xE0>"}));

// <r><a>1<x>2</x></a><x>3</x><b><x>4</x></b><subjectAltName/></r>
class Lookup : public testing::Test {
  protected:
    void SetUp() override {
        parser.LoadFromString(
            "<r><a>1<x>2</x></a><x>3</x><b><x>4</x><deep>5</deep></b><subject>s</subject>"
            "<subject>second</subject><amp>A&amp;lt;B&#xA;C</amp></r>");
    }
    std::string Found(std::string_view name, bool recursive) {
        const TquorXMLNode2* node = FindChild(parser, name, recursive);
        return node == nullptr ? "none" : node->Text;
    }
    TquorXMLParser2 parser;
};

TEST_F(Lookup, FindChild) {
    EXPECT_EQ(Found("x", false), "3");
    EXPECT_EQ(Found("x", true), "2");  // a's subtree comes before the next child
    EXPECT_EQ(Found("deep", false), "none");
    EXPECT_EQ(Found("deep", true), "5");
    EXPECT_EQ(Found("X", true), "none");
    EXPECT_EQ(Found("r", true), "none");  // the node itself is not one of its children
    EXPECT_EQ(Found("subject", false), "s");
}

TEST_F(Lookup, ChildText) {
    EXPECT_EQ(ChildText(parser, "subject"), "s");
    EXPECT_EQ(ChildText(parser, "amp"), "A&lt;B C");
    EXPECT_EQ(ChildText(parser, "deep"), "");
    EXPECT_EQ(ChildText(*FindChild(parser, "b", false), "deep"), "5");
}

struct StepCase {
    int children;
    std::size_t kept;
    int steps;
};

void PrintTo(const StepCase& c, std::ostream* os) {
    *os << c.children << " children";
}

class StepLimit : public testing::TestWithParam<StepCase> {};

TEST_P(StepLimit, StopsAfterTheLimitKeepingTheTree) {
    std::string source = "<r>";
    for (int i = 0; i < GetParam().children; ++i) {
        source += "<c/>";
    }
    source += "</r><after/>";
    TquorXMLParser2 parser;
    parser.LoadFromString(source);
    EXPECT_EQ(parser.Children.Count(), GetParam().kept);
    EXPECT_EQ(parser.StepCount(), GetParam().steps);
}

// The root's start tag is step 1, each child one step, the end tag one more.
INSTANTIATE_TEST_SUITE_P(
    Reader, StepLimit,
    testing::Values(StepCase{3, 3, 5},
                    StepCase{TquorXMLParser2::MaxSteps - 2, TquorXMLParser2::MaxSteps - 2,
                             TquorXMLParser2::MaxSteps},
                    StepCase{TquorXMLParser2::MaxSteps - 1, TquorXMLParser2::MaxSteps - 1,
                             TquorXMLParser2::MaxSteps + 1},
                    StepCase{TquorXMLParser2::MaxSteps, TquorXMLParser2::MaxSteps - 1,
                             TquorXMLParser2::MaxSteps + 1}));

class DeepDocument : public testing::TestWithParam<bool> {};

// Neither the scan, the lookup nor the teardown may use stack in proportion to the depth.
TEST_P(DeepDocument, LoadsSearchesAndFreesWithoutRecursion) {
    constexpr int depth = 100000;
    std::string source;
    for (int i = 0; i < depth; ++i) {
        source += "<a>";
    }
    source += "<leaf>bottom";
    if (GetParam()) {
        source += "</leaf>";
        for (int i = 0; i < depth; ++i) {
            source += "</a>";
        }
    }
    auto parser = std::make_unique<TquorXMLParser2>();
    parser->LoadFromString(source);

    int levels = 0;
    const TquorXMLNode2* node = parser.get();
    while (!node->Children.Empty()) {
        ASSERT_EQ(node->Children.Count(), 1u);
        ASSERT_EQ(node->Children[0]->Parent, node);
        node = node->Children[0];
        ++levels;
    }
    EXPECT_EQ(levels, depth);
    EXPECT_EQ(node->Name, "leaf");
    EXPECT_EQ(node->Text, GetParam() ? "bottom" : "");
    EXPECT_EQ(FindChild(*parser, "leaf", true), node);
    parser.reset();
}

INSTANTIATE_TEST_SUITE_P(Reader, DeepDocument, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& param) {
                             return param.param ? "Closed" : "Unclosed";
                         });

class Files : public testing::Test {
  protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("certdesk-xml-" + std::to_string(::getpid()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string Write(const std::string& name, const std::string& content) {
        const auto path = dir / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }
    std::filesystem::path dir;
};

TEST_F(Files, ReadsTheBytesUnconverted) {
    // UTF-8 "Ив" stays two-byte pairs; the declaration's encoding converts nothing.
    TquorXMLParser2 parser;
    parser.LoadFromFile(Write("t.xml",
                              "<?xml version=\"1.0\" encoding=\"UTF-8\"?><t>"
                              "<subject>SN=\xD0\x98\xD0\xB2,L=\xC8</subject></t>"));
    EXPECT_EQ(ChildText(parser, "subject"), "SN=\xD0\x98\xD0\xB2,L=\xC8");
}

TEST_F(Files, UnreadableFileFailsAndKeepsTheTree) {
    TquorXMLParser2 parser;
    parser.LoadFromString("<kept a=\"1\">t</kept>");
    const std::string missing = (dir / "missing.xml").string();
    try {
        parser.LoadFromFile(missing);
        FAIL() << "the load succeeded";
    } catch (const Error& e) {
        EXPECT_EQ(e.Message(), Ansi("Не могу открыть файл ") + missing);
    }
    EXPECT_EQ(Dump(parser), "kept@a=1\"t\"");
}

}  // namespace
}  // namespace certdesk
