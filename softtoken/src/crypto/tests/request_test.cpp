#include <gtest/gtest.h>

#include <sstream>

#include "test_ca.h"

namespace softtoken::crypto {
namespace {

using namespace testing_tools;

struct SubjectEntry {
    std::string type;
    std::string value;
    std::string parsedName;    // the attribute as openssl asn1parse names it
    std::string stringType;    // the string type asn1parse shows
    std::string certtoolText;  // the attribute and value as certtool prints them
};

const std::vector<SubjectEntry> kSubject{
    {"CN", "Иванов Иван Иванович", "commonName", "UTF8STRING", "CN=Иванов Иван Иванович"},
    {"C", "RU", "countryName", "PRINTABLESTRING", "C=RU"},
    {"ST", "77 г. Москва", "stateOrProvinceName", "UTF8STRING", "ST=77 г. Москва"},
    {"L", "Москва", "localityName", "UTF8STRING", "L=Москва"},
    {"O", "ООО \"Ромашка\"", "organizationName", "UTF8STRING", "O=ООО \\\"Ромашка\\\""},
    {"OU", "Бухгалтерия", "organizationalUnitName", "UTF8STRING", "OU=Бухгалтерия"},
    {"2.5.4.12", "Главный бухгалтер", "title", "UTF8STRING", "title=Главный бухгалтер"},
    {"1.2.643.3.131.1.1", "007701234567", "INN", "NUMERICSTRING", "INN=007701234567"},
    {"1.2.643.100.1", "1027700132195", "OGRN", "NUMERICSTRING", "OGRN=1027700132195"},
    {"1.2.643.100.5", "304500116000157", "OGRNIP", "NUMERICSTRING", "OGRNIP=304500116000157"},
    {"1.2.643.100.3", "11223344595", "SNILS", "NUMERICSTRING", "SNILS=11223344595"},
    {"1.2.840.113549.1.9.1", "user@example.ru", "emailAddress", "IA5STRING",
     "EMAIL=user@example.ru"},
    {"2.5.4.9", "ул. Ленина, д. 1", "streetAddress", "UTF8STRING", "street=ул. Ленина\\, д. 1"},
    {"2.5.4.4", "Иванов", "surname", "UTF8STRING", "surName=Иванов"},
    {"2.5.4.42", "Иван Иванович", "givenName", "UTF8STRING", "givenName=Иван Иванович"},
    // certtool shows this attribute as the hex of its DER: a UTF8String here.
    {"1.2.840.113549.1.9.2", "КПП=770101001", "unstructuredName", "UTF8STRING",
     "1.2.840.113549.1.9.2=#0c10d09ad09fd09f3d373730313031303031"},
};

const StringPairs kExtensions{
    {"keyUsage", "digitalSignature,keyEncipherment,dataEncipherment,nonRepudiation"},
    {"extendedKeyUsage",
     "1.3.6.1.5.5.7.3.4,1.3.6.1.5.5.7.3.2,1.2.643.2.2.34.6,1.2.643.5.1.28.2,1.2.643.5.1.28.3,"
     "1.2.643.5.1.28.4,1.2.643.3.6.0.15,1.2.643.3.6.78.4.5"},
    {"1.2.643.100.111",
     "DER:0C59D0A1D09AD097D09820C2ABD09AD180D0B8D0BFD182D0BED182D0BED0BAD0B5D0BDC2BB20D0B220D181"
     "D0BED181D182D0B0D0B2D0B520D0B8D0B7D0B4D0B5D0BBD0B8D18F20C2AB4A61436172746120D093D09ED0A1D0"
     "A2C2BB"},
    {"2.5.29.32", "DER:3014300806062A8503647101300806062A8503647102"},
};

// Minimal DER writing, so the expected extensions do not come from the code under test.
Bytes Tlv(unsigned char tag, const Bytes& content) {
    Bytes out{tag};
    if (content.size() < 0x80) {
        out.push_back(static_cast<unsigned char>(content.size()));
    } else if (content.size() < 0x100) {
        out.insert(out.end(), {0x81, static_cast<unsigned char>(content.size())});
    } else {
        out.insert(out.end(), {0x82, static_cast<unsigned char>(content.size() >> 8),
                               static_cast<unsigned char>(content.size() & 0xFF)});
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes Oid(const std::string& dotted) {
    std::vector<unsigned long> arcs;
    std::stringstream in(dotted);
    std::string arc;
    while (std::getline(in, arc, '.')) {
        arcs.push_back(std::stoul(arc));
    }
    Bytes content{static_cast<unsigned char>(arcs[0] * 40 + arcs[1])};
    for (std::size_t i = 2; i < arcs.size(); ++i) {
        Bytes groups;
        unsigned long v = arcs[i];
        do {
            groups.insert(groups.begin(), static_cast<unsigned char>((v & 0x7F) | 0x80));
            v >>= 7;
        } while (v != 0);
        groups.back() &= 0x7F;
        content.insert(content.end(), groups.begin(), groups.end());
    }
    return Tlv(0x06, content);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes Extension(const std::string& oid, const Bytes& value) {
    return Tlv(0x30, Concat({Oid(oid), Tlv(0x04, value)}));
}

// The extensionRequest attribute the four pairs must give, byte for byte.
Bytes ExpectedExtensionRequest() {
    Bytes usages;
    for (const char* oid :
         {"1.3.6.1.5.5.7.3.4", "1.3.6.1.5.5.7.3.2", "1.2.643.2.2.34.6", "1.2.643.5.1.28.2",
          "1.2.643.5.1.28.3", "1.2.643.5.1.28.4", "1.2.643.3.6.0.15", "1.2.643.3.6.78.4.5"}) {
        usages = Concat({usages, Oid(oid)});
    }
    Bytes extensions = Concat({
        Extension("2.5.29.15", {0x03, 0x02, 0x04, 0xF0}),
        Extension("2.5.29.37", Tlv(0x30, usages)),
        Extension("1.2.643.100.111", FromHex(kExtensions[2].second.substr(4))),
        Extension("2.5.29.32", FromHex(kExtensions[3].second.substr(4))),
    });
    return Tlv(0x30, Concat({Oid("1.2.840.113549.1.9.14"), Tlv(0x31, Tlv(0x30, extensions))}));
}

bool Contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

StringPairs Pairs(const std::vector<SubjectEntry>& entries) {
    StringPairs out;
    for (const auto& e : entries) {
        out.emplace_back(e.type, e.value);
    }
    return out;
}

class RequestTest : public ::testing::Test {
  protected:
    std::string Make(const StringPairs& subject, const StringPairs& extensions) {
        return MakeCertificateRequest(kCryptoProA, keys_.privateKey, keys_.publicValue, subject,
                                      extensions);
    }
    std::string Tool(const std::string& command, const std::string& pem) {
        WriteFile(dir_.File("request.pem"), pem);
        auto result = RunTool(command + " " + Quote(dir_.File("request.pem")));
        EXPECT_EQ(result.status, 0) << command << "\n" << result.output;
        return result.output;
    }

    TempDir dir_;
    KeyPair keys_ = GenerateKeyPair(kCryptoProA);
};

TEST_F(RequestTest, SubjectKeepsOrderAndStringTypes) {
    std::string pem = Make(Pairs(kSubject), kExtensions);
    ASSERT_EQ(pem.rfind("-----BEGIN CERTIFICATE REQUEST-----\n", 0), 0u) << pem;

    // Each attribute name line of asn1parse followed by its string line.
    std::istringstream parsed(Tool("openssl asn1parse -in", pem));
    std::vector<std::pair<std::string, std::string>> seen;
    std::string line;
    std::string pendingObject;
    while (std::getline(parsed, line)) {
        auto colon = line.find(':', line.find("prim:") + 5);
        if (line.find("prim: OBJECT") != std::string::npos) {
            pendingObject = line.substr(colon + 1);
            continue;
        }
        if (!pendingObject.empty() && line.find("STRING") != std::string::npos &&
            line.find("OCTET STRING") == std::string::npos &&
            line.find("BIT STRING") == std::string::npos) {
            std::istringstream fields(line.substr(line.find("prim:") + 5));
            std::string type;
            fields >> type;
            seen.emplace_back(pendingObject, type + " " + line.substr(colon + 1));
        }
        pendingObject.clear();
    }
    std::vector<std::pair<std::string, std::string>> expected;
    std::string certtoolSubject;
    for (const auto& e : kSubject) {
        expected.emplace_back(e.parsedName, e.stringType + " " + e.value);
        // certtool prints the last RDN first.
        certtoolSubject = e.certtoolText + (certtoolSubject.empty() ? "" : "," + certtoolSubject);
    }
    EXPECT_EQ(seen, expected);

    std::string info = Tool("certtool --crq-info --infile", pem);
    EXPECT_NE(info.find("Subject: " + certtoolSubject + "\n"), std::string::npos) << info;
}

TEST_F(RequestTest, CarriesTheExtensionsExactlyAndVerifies) {
    std::string pem = Make({{"CN", "Проверка"}}, kExtensions);
    EXPECT_TRUE(Contains(PemToDer(dir_, "req", pem), ExpectedExtensionRequest()));

    std::string info = Tool("certtool --crq-info --infile", pem);
    EXPECT_NE(info.find("Self signature: verified"), std::string::npos) << info;
    std::size_t at = 0;
    for (const char* expected :
         {"Key Usage (not critical):", "Digital signature.", "Non repudiation.",
          "Key encipherment.", "Data encipherment.",
          "Key Purpose (not critical):", "Email protection.", "TLS WWW Client.", "1.2.643.2.2.34.6",
          "1.2.643.5.1.28.2", "1.2.643.5.1.28.3", "1.2.643.5.1.28.4", "1.2.643.3.6.0.15",
          "1.2.643.3.6.78.4.5", "СКЗИ «Криптотокен» в составе изделия «JaCarta ГОСТ»",
          "Certificate Policies", "1.2.643.100.113.1", "1.2.643.100.113.2"}) {
        auto found = info.find(expected, at);
        ASSERT_NE(found, std::string::npos) << expected << " in order in\n" << info;
        at = found;
    }
    EXPECT_NE(Tool("openssl req -engine gost -verify -noout -in", pem).find("verify OK"),
              std::string::npos);
    EXPECT_NE(Tool("openssl req -engine gost -text -noout -in", pem)
                  .find("Signature Algorithm: GOST R 34.10-2012 with GOST R 34.11-2012 (256 bit)"),
              std::string::npos);
}

TEST_F(RequestTest, NoExtensionsGivesNoExtensionRequest) {
    std::string pem = Make({{"CN", "Без расширений"}}, {});
    EXPECT_FALSE(Contains(PemToDer(dir_, "req", pem), Oid("1.2.840.113549.1.9.14")));
    EXPECT_NE(Tool("certtool --crq-info --infile", pem).find("Self signature: verified"),
              std::string::npos);
}

TEST_F(RequestTest, ShortExtensionNameWithDerValue) {
    std::string pem = Make({{"CN", "x"}}, {{"basicConstraints", "DER:3000"}});
    EXPECT_TRUE(Contains(PemToDer(dir_, "req", pem), Extension("2.5.29.19", {0x30, 0x00})));
}

TEST_F(RequestTest, PublicValueOfAnotherKeyIsRefused) {
    Bytes other = GenerateKeyPair(kCryptoProA).publicValue;
    EXPECT_THROW(MakeCertificateRequest(kCryptoProA, keys_.privateKey, other, {{"CN", "x"}}, {}),
                 CryptoError);
}

struct BadRequestCase {
    const char* name;
    StringPairs subject;
    StringPairs extensions;
    friend void PrintTo(const BadRequestCase& c, std::ostream* os) { *os << c.name; }
};

class BadRequestTest : public RequestTest, public ::testing::WithParamInterface<BadRequestCase> {};

TEST_P(BadRequestTest, IsRefusedAsBadArguments) {
    try {
        Make(GetParam().subject, GetParam().extensions);
        FAIL() << "a request was made";
    } catch (const CryptoError& e) {
        EXPECT_EQ(e.rv(), static_cast<CK_RV>(CKR_ARGUMENTS_BAD)) << e.what();
    }
}

const StringPairs kCn{{"CN", "Тест"}};

INSTANTIATE_TEST_SUITE_P(
    Inputs, BadRequestTest,
    ::testing::Values(
        BadRequestCase{"UnknownShortName", {{"SN", "Иванов"}}, {}},
        BadRequestCase{"LowerCaseShortName", {{"cn", "Иванов"}}, {}},
        BadRequestCase{"MalformedOid", {{"1.2.x.4", "v"}}, {}},
        BadRequestCase{"EmptyType", {{"", "v"}}, {}},
        BadRequestCase{"LettersInInn", {{"1.2.643.3.131.1.1", "77012345AB"}}, {}},
        BadRequestCase{"LettersInSnils", {{"1.2.643.100.3", "112-233-445 95"}}, {}},
        BadRequestCase{"OgrnipTooLong", {{"1.2.643.100.5", "3045001160001571"}}, {}},
        BadRequestCase{"CountryOfThreeLetters", {{"C", "RUS"}}, {}},
        BadRequestCase{"CyrillicCountry", {{"C", "РФ"}}, {}},
        BadRequestCase{"InvalidUtf8", {{"CN", "\xC3\x28"}}, {}},
        BadRequestCase{"UnknownKeyUsage", kCn, {{"keyUsage", "digitalSignature,signing"}}},
        BadRequestCase{"CriticalIsNotAKeyUsage", kCn, {{"keyUsage", "critical,digitalSignature"}}},
        BadRequestCase{"EmptyKeyUsageItem", kCn, {{"keyUsage", "digitalSignature,"}}},
        BadRequestCase{"EmptyKeyUsage", kCn, {{"keyUsage", ""}}},
        BadRequestCase{"NamedExtendedKeyUsage", kCn, {{"extendedKeyUsage", "clientAuth"}}},
        BadRequestCase{"EmptyArcInExtendedKeyUsage", kCn, {{"extendedKeyUsage", "1.3.6.1..5"}}},
        BadRequestCase{"SingleArcInExtendedKeyUsage", kCn, {{"extendedKeyUsage", "1"}}},
        BadRequestCase{"EmptyArcInType", {{"1.2.643..1", "v"}}, {}},
        BadRequestCase{"NonHexDer", kCn, {{"2.5.29.32", "DER:30G0"}}},
        BadRequestCase{"OddHexDer", kCn, {{"2.5.29.32", "DER:300"}}},
        BadRequestCase{"EmptyDer", kCn, {{"2.5.29.32", "DER:"}}},
        BadRequestCase{"DerWithTrailingBytes", kCn, {{"2.5.29.32", "DER:3000FF"}}},
        BadRequestCase{"TruncatedDer", kCn, {{"2.5.29.32", "DER:3005300306"}}},
        BadRequestCase{"IndefiniteLengthDer", kCn, {{"2.5.29.32", "DER:30800000"}}},
        BadRequestCase{"UnknownExtensionName", kCn, {{"policies", "DER:3000"}}},
        BadRequestCase{"PlainValueForOtherExtension", kCn, {{"2.5.29.32", "1.2.643.100.113.1"}}}),
    CaseName());

}  // namespace
}  // namespace softtoken::crypto
