#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "certdesk/cert_info.h"
#include "certdesk/cert_store.h"
#include "certdesk/codec.h"
#include "certdesk/subject_fill.h"
#include "certdesk/subject_string.h"
#include "test_support.h"

namespace certdesk {
namespace {

namespace fs = std::filesystem;
using testing::Quote;
using testing::ReadBytes;
using testing::RunTool;
using testing::TempDir;
using testing::WriteBytes;

enum class Tool { OpenSsl, CertTool };

// A certificate made by a tool nobody here wrote. For openssl, subject is a -subj argument and
// config the [req] section's extra lines; for certtool, subject holds template lines.
struct MadeCertificate {
    const char* name;
    Tool tool;
    std::string keyType;  // openssl: gost2001, gost2012_256, gost2012_512, ed25519; certtool: its
                          // --key-type
    std::string subject;
    std::string config;
    std::string expectedSubject;  // UTF-8
    std::uint32_t notBefore;      // 0: not checked
    std::uint32_t notAfter;
    std::size_t keyLength;  // of the match key
};

std::string OpenSslEngine(const std::string& keyType) {
    return keyType.starts_with("gost") ? " -engine gost" : "";
}

// Makes the certificate in dir: cert.der, and spki.der (its SubjectPublicKeyInfo) through openssl.
void Make(const MadeCertificate& c, const TempDir& dir) {
    const std::string d = dir.Path().native();
    std::string script = "set -e; cd " + Quote(d) + "; ";
    if (c.tool == Tool::OpenSsl) {
        const std::string engine = OpenSslEngine(c.keyType);
        // The two FSS numbers have no names in OpenSSL; the configuration gives them some.
        WriteBytes(dir / "req.cnf",
                   "oid_section = oids\n[oids]\nrnsFss = 1.2.643.3.141.1.1\n"
                   "kpFss = 1.2.643.3.141.1.2\n[req]\ndistinguished_name = dn\n" +
                       c.config + "\n[dn]\n");
        script += "openssl genpkey" + engine + " -algorithm " + c.keyType +
                  (c.keyType.starts_with("gost") ? " -pkeyopt paramset:A" : "") +
                  " -out key.pem; openssl req" + engine +
                  " -config req.cnf -new -x509 -utf8 -days 30 -key key.pem -subj " +
                  Quote(c.subject) + " -outform DER -out cert.der; ";
    } else {
        WriteBytes(dir / "cert.tmpl", c.subject);
        script += "certtool --generate-privkey --key-type " + c.keyType +
                  " --outfile key.pem; certtool --generate-self-signed --load-privkey key.pem "
                  "--template cert.tmpl --outder --outfile cert.der; ";
    }
    const std::string engine = c.tool == Tool::OpenSsl ? OpenSslEngine(c.keyType) : " -engine gost";
    script += "openssl x509" + engine + " -inform DER -in cert.der -noout -pubkey | openssl pkey" +
              engine + " -pubin -outform DER -out spki.der";
    ASSERT_EQ(RunTool("cd " + Quote(d) + " && (" + script + ") >tool.log 2>&1"), 0)
        << ReadBytes(dir / "tool.log");
}

void PrintTo(const MadeCertificate& c, std::ostream* os) {
    *os << c.name;
}

class MadeCertificateTable : public ::testing::TestWithParam<MadeCertificate> {};

TEST_P(MadeCertificateTable, DecodesRecordAndMatchKey) {
    const MadeCertificate& c = GetParam();
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(Make(c, dir));
    const std::string der = ReadBytes(dir / "cert.der");
    ASSERT_TRUE(DecodeCertificate(der));

    TCertInfo info;
    TVCertMgr::GetCertInfo(der, ciSubject, info);
    EXPECT_EQ(info.Mask, ciSubject);
    EXPECT_EQ(info.Subject, Ansi(c.expectedSubject));
    EXPECT_EQ(info.NotBefore, 0u);
    EXPECT_EQ(info.NotAfter, 0u);
    TVCertMgr::FreeCertInfo(info);

    TVCertMgr::GetCertInfo(der, ciSubject | ciNotBefore | ciNotAfter, info);
    EXPECT_EQ(info.Mask, 100u);
    EXPECT_EQ(info.Subject, Ansi(c.expectedSubject));
    if (c.notBefore) {
        EXPECT_EQ(info.NotBefore, c.notBefore);
        EXPECT_EQ(info.NotAfter, c.notAfter);
    } else {
        EXPECT_EQ(info.NotAfter - info.NotBefore, 30u * 86400u);
    }
    TVCertMgr::FreeCertInfo(info);

    // The key is the tail of the bit string, which ends the SubjectPublicKeyInfo.
    const std::string spki = ReadBytes(dir / "spki.der");
    const std::string key = GetCertMatchKey(der);
    ASSERT_EQ(key.size(), c.keyLength);
    EXPECT_EQ(key, spki.substr(spki.size() - c.keyLength));
}

std::string Repeat(const std::string& text, int count) {
    std::string out;
    for (int i = 0; i < count; ++i)
        out += text;
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Tools, MadeCertificateTable,
    ::testing::Values(
        MadeCertificate{"openssl_2012_256_utf8", Tool::OpenSsl, "gost2012_256",
                        "/unstructuredName=INN=7701234567\\/КПП=770101001/SNILS=12345678901/"
                        "OGRN=1027700132195/INN=007701234567/emailAddress=a@b.ru/GN=Иван Иванович/"
                        "SN=Иванов/title=Директор/C=RU/OU=Отдел/ST=77 г. Москва/L=Москва/"
                        "O=ООО «Ромашка»/CN=Иванов Иван/street=ул. Ленина, д. 1/kpFss=770001/"
                        "rnsFss=7700000001",
                        "",
                        "CN=Иванов Иван,O=ООО «Ромашка»,L=Москва,ST=77 г. Москва,OU=Отдел,C=RU,"
                        "T=Директор,SN=Иванов,GN=Иван Иванович,E=a@b.ru,INN=007701234567,"
                        "RNS-FSS=7700000001,KP-FSS=770001,OGRN=1027700132195,SNILS=12345678901,"
                        "streetAddress=ул. Ленина, д. 1,"
                        "unstructuredName=INN=7701234567/КПП=770101001",
                        0, 0, 64},
        MadeCertificate{"openssl_bmp_without_cn", Tool::OpenSsl, "gost2012_256",
                        "/O=ООО Ромашка/OU=Отдел кадров/L=Москва", "string_mask = default",
                        "CN=Отдел кадров,O=ООО Ромашка,L=Москва,OU=Отдел кадров", 0, 0, 64},
        MadeCertificate{"openssl_2001_long_value", Tool::OpenSsl, "gost2001",
                        "/CN=Пётр/street=" + Repeat("ж", 1500), "",
                        "CN=Пётр,streetAddress=" + Repeat("ж", 1023), 0, 0, 64},
        MadeCertificate{"openssl_2012_512_ogrnip", Tool::OpenSsl, "gost2012_512",
                        "/CN=ИП Сидоров/INN=500100732259/OGRNIP=304500116000157", "",
                        "CN=ИП Сидоров,INN=500100732259,OGRNIP=304500116000157", 0, 0, 64},
        MadeCertificate{"openssl_only_email", Tool::OpenSsl, "gost2012_256",
                        "/emailAddress=x@y.ru/C=RU", "", "CN=x@y.ru,C=RU,E=x@y.ru", 0, 0, 64},
        MadeCertificate{"openssl_outside_code_page", Tool::OpenSsl, "gost2012_256",
                        "/CN=Zhang 张/O=Ωmega", "", "CN=Zhang ?,O=?mega", 0, 0, 64},
        MadeCertificate{"openssl_short_key_whole", Tool::OpenSsl, "ed25519", "/O=Org/OU=Unit", "",
                        "CN=Unit,O=Org,OU=Unit", 0, 0, 32},
        MadeCertificate{"certtool_2012_256_start_2011", Tool::CertTool, "gost12-256",
                        "cn = \"Петров Пётр\"\n"
                        "dn_oid = \"1.2.643.3.131.1.1 123456789012\"\n"
                        "activation_date = \"2011-03-01 00:00:00 UTC\"\n"
                        "expiration_date = \"2012-03-01 00:00:00 UTC\"\nserial = 7\n",
                        "", "CN=Петров Пётр,INN=123456789012", 1298937600, 1330560000, 64},
        MadeCertificate{
            "certtool_2012_512", Tool::CertTool, "gost12-512",
            "cn = \"Кузнецова Анна\"\norganization = \"АО Тест\"\nexpiration_days = 30\n", "",
            "CN=Кузнецова Анна,O=АО Тест", 0, 0, 64},
        MadeCertificate{"certtool_2001", Tool::CertTool, "gost01",
                        "cn = \"Test\"\nunit = \"Unit\"\nexpiration_days = 30\n", "",
                        "CN=Test,OU=Unit", 0, 0, 64}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(CertificateDecoding, NotDerGivesNothing) {
    TempDir dir;
    ASSERT_EQ(
        RunTool("cd " + Quote(dir.Path()) +
                " && (openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A "
                "-out k.pem && openssl req -engine gost -new -x509 -key k.pem -subj /CN=x "
                "-out c.pem && openssl x509 -in c.pem -outform DER -out c.der) >/dev/null 2>&1"),
        0);
    const std::string pem = ReadBytes(dir / "c.pem");
    const std::string der = ReadBytes(dir / "c.der");
    const std::string base64 = pem.substr(pem.find('\n') + 1);
    for (const std::string& bytes :
         {pem, base64, std::string("garbage"), std::string(), der.substr(0, der.size() - 1),
          std::string("\x30\x03\x02\x01\x01", 5)}) {
        EXPECT_FALSE(DecodeCertificate(bytes));
        EXPECT_EQ(GetCertMatchKey(bytes), "");
        TCertInfo info{100, "CN=old", 5, 6};
        TVCertMgr::GetCertInfo(bytes, 100, info);
        EXPECT_EQ(info.Mask, 0u);
        EXPECT_EQ(info.Subject, "");
        EXPECT_EQ(info.NotBefore, 0u);
        EXPECT_EQ(info.NotAfter, 0u);
    }
    EXPECT_TRUE(DecodeCertificate(der));
}

TEST(CertificateLines, ShowNameAndValidity) {
    TCertInfo info;
    info.Mask = 100;
    info.Subject = Ansi("CN=Иванов Иван,O=ООО,INN=007701234567");
    info.NotBefore = 1298937600;
    info.NotAfter = 1330560000;
    EXPECT_EQ(CertificateChoiceLine(info),
              Ansi("Иванов Иван, действует с 01.03.2011 по 01.03.2012"));
    EXPECT_EQ(CertificateListLine(2, info),
              Ansi("2. CN=Иванов Иван,O=ООО,INN=007701234567, действует с 01.03.2011 по "
                   "01.03.2012"));
}

// The personal store, made with certutil in a HOME of the test's own.
class PersonalStore : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* old = std::getenv("HOME");
        savedHome_ = old ? old : "";
        ::setenv("HOME", home_.Path().c_str(), 1);
    }
    void TearDown() override { ::setenv("HOME", savedHome_.c_str(), 1); }

    TempDir home_;
    std::string savedHome_;
};

TEST_F(PersonalStore, MissingDatabaseIsEmpty) {
    EXPECT_EQ(PersonalStoreFolder(), home_.Path() / ".pki" / "nssdb");
    EXPECT_TRUE(ListStoreCertificates().empty());
}

TEST_F(PersonalStore, ListsImportedCertificates) {
    const std::string db = "sql:" + (home_.Path() / ".pki" / "nssdb").native();
    fs::create_directories(home_.Path() / ".pki" / "nssdb");
    std::string script = "set -e; cd " + Quote(home_.Path()) + "; certutil -N -d " + Quote(db) +
                         " --empty-password; ";
    const char* names[] = {"Иванов Иван", "Петров Пётр"};
    for (int i = 0; i < 2; ++i) {
        const std::string n = std::to_string(i);
        // NSS refuses certificates with GOST keys; the store's own logic does not depend on them.
        script +=
            "openssl req -new -x509 -utf8 -days 30 -newkey ec -pkeyopt "
            "ec_paramgen_curve:P-256 -nodes -keyout k" +
            n + ".pem -subj " + Quote(std::string("/CN=") + names[i] + "/O=ООО") +
            " -outform DER -out c" + n + ".der; certutil -A -d " + Quote(db) + " -n " +
            Quote("Сертификат " + n) + " -t ,, -i c" + n + ".der; ";
    }
    ASSERT_EQ(RunTool("cd " + Quote(home_.Path()) + " && (" + script + ") >tool.log 2>&1"), 0)
        << ReadBytes(home_.Path() / "tool.log");

    std::vector<StoreCertificate> store = ListStoreCertificates();
    ASSERT_EQ(store.size(), 2u);
    std::sort(store.begin(), store.end(),
              [](const auto& a, const auto& b) { return a.friendlyName < b.friendlyName; });
    for (int i = 0; i < 2; ++i) {
        const std::string n = std::to_string(i);
        const StoreCertificate& entry = store[static_cast<std::size_t>(i)];
        EXPECT_EQ(entry.der, ReadBytes(home_.Path() / ("c" + n + ".der")));
        ASSERT_TRUE(entry.certificate);
        EXPECT_EQ(entry.issuedTo, Ansi(names[i]));
        EXPECT_EQ(entry.issuedBy, Ansi(names[i]));
        EXPECT_EQ(entry.friendlyName, Ansi("Сертификат " + n));
        EXPECT_EQ(entry.validTo.size(), 10u);
        TCertInfo info;
        TVCertMgr::GetCertInfoFromContext(*entry.certificate, ciSubject, info);
        EXPECT_EQ(info.Subject, Ansi(std::string("CN=") + names[i] + ",O=ООО"));
    }
}

// A certificate fill end to end: the tool's certificate through the record into the mapping.
TEST(CertificateFill, FromAToolMadeCertificate) {
    TempDir dir;
    const MadeCertificate c{"fill",
                            Tool::OpenSsl,
                            "gost2012_256",
                            "/CN=ООО/INN=7701234567/unstructuredName=КПП=770101001/GN=Иван",
                            "",
                            "",
                            0,
                            0,
                            64};
    ASSERT_NO_FATAL_FAILURE(Make(c, dir));
    TCertInfo info;
    TVCertMgr::GetCertInfo(ReadBytes(dir / "cert.der"), ciSubject, info);
    const SubjectFill fill = FillFromCertificateSubject(info.Subject);
    TVCertMgr::FreeCertInfo(info);
    EXPECT_EQ(fill.ownerType, OwnerType::LegalEntity);
    ASSERT_FALSE(fill.assignments.empty());
    EXPECT_EQ(fill.assignments.front(), (FieldAssignment{"edtINN", "007701234567"}));
    EXPECT_EQ(fill.assignments.back(), (FieldAssignment{"edtKPP", "770101001"}));
}

}  // namespace
}  // namespace certdesk
