// The argument and state checks of createCSR, pkcs7Sign and freeBuffer; what the request and
// the signature hold is checked by tools nobody here wrote, in external/.
#include <gtest/gtest.h>

#include <cstring>

#include "token_fixture.h"

namespace softtoken::test {
namespace {

using CreateCsr = decltype(&createCSR);
using Pkcs7Sign = decltype(&pkcs7Sign);
using FreeBuffer = decltype(&freeBuffer);

class ExtensionChecksTest : public TokenTest {
  protected:
    void SetUp() override {
        TokenTest::SetUp();
        makeRequest = gost.Symbol<CreateCsr>("createCSR");
        sign = gost.Symbol<Pkcs7Sign>("pkcs7Sign");
        release = gost.Symbol<FreeBuffer>("freeBuffer");
        ASSERT_TRUE(makeRequest && sign && release);
        session = UserSession();
        ASSERT_EQ(GenerateKeyPair(session, "7707083893", "7707083893", &publicKey, &privateKey),
                  CKR_OK);
    }

    CK_RV Request(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, CK_ULONG subjectCount,
                  CK_BYTE_PTR* out, CK_ULONG* length) {
        return makeRequest(s, key, const_cast<char**>(subject), subjectCount, out, length, 0,
                           nullptr, 0, const_cast<char**>(extensions), 2);
    }

    const char* subject[4] = {"CN", "Test holder", "C", "RU"};
    const char* extensions[2] = {"keyUsage", "digitalSignature"};
    CreateCsr makeRequest = nullptr;
    Pkcs7Sign sign = nullptr;
    FreeBuffer release = nullptr;
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
};

TEST_F(ExtensionChecksTest, RequestComesInAFreeableBuffer) {
    CK_BYTE_PTR request = nullptr;
    CK_ULONG length = 0;
    ASSERT_EQ(Request(session, publicKey, 4, &request, &length), CKR_OK);
    std::string pem(reinterpret_cast<char*>(request), length);
    EXPECT_EQ(pem.rfind("-----BEGIN CERTIFICATE REQUEST-----", 0), 0u) << pem;
    EXPECT_EQ(release(request), CKR_OK);
    EXPECT_EQ(release(request), CKR_ARGUMENTS_BAD) << "released once only";
    unsigned char foreign[4];
    EXPECT_EQ(release(foreign), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(release(nullptr), CKR_OK);
}

TEST_F(ExtensionChecksTest, BufferOutlivesFinalize) {
    CK_BYTE_PTR request = nullptr;
    CK_ULONG length = 0;
    ASSERT_EQ(Request(session, publicKey, 4, &request, &length), CKR_OK);
    ASSERT_EQ(gost->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(release(request), CKR_OK) << "the bridge releases after its teardown";
    ASSERT_EQ(gost->C_Initialize(nullptr), CKR_OK);
}

TEST_F(ExtensionChecksTest, RequestRefusesAndCreatesNothing) {
    CK_OBJECT_HANDLE certificate = CreateCertificate(session, "cert", ToBytes("not DER"));
    // A public key whose private half is not on the token.
    CK_OBJECT_CLASS keyClass = CKO_PUBLIC_KEY;
    CK_KEY_TYPE k = CKK_GOSTR3410;
    Bytes value(64, 0x11);
    std::string id = "7707083893";
    CK_OBJECT_HANDLE orphan = Create(
        session,
        {{CKA_CLASS, &keyClass, sizeof keyClass},
         {CKA_KEY_TYPE, &k, sizeof k},
         {CKA_ID, id.data(), id.size()},
         {CKA_GOSTR3410_PARAMS, const_cast<unsigned char*>(kCryptoProA.data()), kCryptoProA.size()},
         {CKA_VALUE, value.data(), value.size()}});
    // A real pair whose ID names another key pair.
    CK_OBJECT_HANDLE otherPublic, otherPrivate;
    ASSERT_EQ(GenerateKeyPair(session, "other", "other", &otherPublic, &otherPrivate), CKR_OK);
    CK_ATTRIBUTE relabel{CKA_ID, id.data(), id.size()};
    ASSERT_EQ(gost->C_SetAttributeValue(session, otherPublic, &relabel, 1), CKR_OK);
    std::size_t objects = Find(session, {}).size();
    CK_SESSION_HANDLE loggedOut = Open();
    struct Case {
        const char* name;
        CK_SESSION_HANDLE session;
        CK_OBJECT_HANDLE key;
        CK_ULONG count;
        CK_RV expected;
    };
    for (const Case& t : std::vector<Case>{
             {"InvalidSession", 9999, publicKey, 4, CKR_SESSION_HANDLE_INVALID},
             {"UnknownHandle", session, 9999, 4, CKR_KEY_HANDLE_INVALID},
             {"NotAKey", session, certificate, 4, CKR_KEY_TYPE_INCONSISTENT},
             {"PrivateKey", session, privateKey, 4, CKR_KEY_TYPE_INCONSISTENT},
             {"NoPrivateKey", session, orphan, 4, CKR_KEY_HANDLE_INVALID},
             {"PrivateKeyOfAnotherPair", session, otherPublic, 4, CKR_KEY_HANDLE_INVALID},
             {"OddCount", session, publicKey, 3, CKR_ARGUMENTS_BAD},
             {"ZeroCount", session, publicKey, 0, CKR_ARGUMENTS_BAD}}) {
        CK_BYTE_PTR request = nullptr;
        CK_ULONG length = 0;
        EXPECT_EQ(Request(t.session, t.key, t.count, &request, &length), t.expected) << t.name;
        EXPECT_EQ(request, nullptr) << t.name;
    }
    ASSERT_EQ(gost->C_Logout(session), CKR_OK);
    CK_BYTE_PTR request = nullptr;
    CK_ULONG length = 0;
    EXPECT_EQ(Request(loggedOut, publicKey, 4, &request, &length), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(Login(session), CKR_OK);
    EXPECT_EQ(Find(session, {}).size(), objects);
}

TEST_F(ExtensionChecksTest, RequestReportsWhatCryptoRefuses) {
    const char* badSubject[2] = {"INN", "12"};
    CK_BYTE_PTR request = nullptr;
    CK_ULONG length = 0;
    EXPECT_NE(makeRequest(session, publicKey, const_cast<char**>(badSubject), 2, &request, &length,
                          0, nullptr, 0, nullptr, 0),
              CKR_OK);
    const char* badUsage[2] = {"keyUsage", "noSuchUsage"};
    EXPECT_NE(makeRequest(session, publicKey, const_cast<char**>(subject), 4, &request, &length, 0,
                          nullptr, 0, const_cast<char**>(badUsage), 2),
              CKR_OK);
    EXPECT_EQ(request, nullptr);
}

TEST_F(ExtensionChecksTest, SignatureNeedsTheCertificatesOwnKey) {
    CK_OBJECT_HANDLE junk = CreateCertificate(session, "7707083893", ToBytes("not DER"));
    Bytes data = ToBytes("data");
    CK_BYTE_PTR signature = nullptr;
    CK_ULONG length = 0;
    struct Case {
        const char* name;
        CK_SESSION_HANDLE session;
        CK_OBJECT_HANDLE certificate;
        CK_ULONG flags;
        CK_RV expected;
    };
    for (const Case& t :
         std::vector<Case>{{"InvalidSession", 9999, junk, 1, CKR_SESSION_HANDLE_INVALID},
                           {"UnknownHandle", session, 9999, 1, CKR_OBJECT_HANDLE_INVALID},
                           {"NotACertificate", session, publicKey, 1, CKR_OBJECT_HANDLE_INVALID},
                           {"ValueDoesNotDecode", session, junk, 1, CKR_ATTRIBUTE_VALUE_INVALID},
                           {"UnknownFlags", session, junk, 2, CKR_ARGUMENTS_BAD}}) {
        EXPECT_EQ(sign(t.session, data.data(), data.size(), t.certificate, &signature, &length, 0,
                       nullptr, 0, t.flags),
                  t.expected)
            << t.name;
        EXPECT_EQ(signature, nullptr) << t.name;
    }
    ASSERT_EQ(gost->C_Logout(session), CKR_OK);
    EXPECT_EQ(sign(session, data.data(), data.size(), junk, &signature, &length, 0, nullptr, 0, 1),
              CKR_USER_NOT_LOGGED_IN);
}

TEST_F(ExtensionChecksTest, CertificateOfAKeyElsewhereFindsNoKey) {
    std::filesystem::path der = dir.path() / "other.der";
    std::string output;
    ASSERT_EQ(RunCommand("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                         "-keyout '" +
                             (dir.path() / "k").string() +
                             "' -subj /CN=Other -days 1 "
                             "-outform DER -out '" +
                             der.string() + "'",
                         &output),
              0)
        << output;
    std::string bytes = ReadFile(der);
    CK_OBJECT_HANDLE certificate = CreateCertificate(session, "7707083893", ToBytes(bytes));
    Bytes data = ToBytes("data");
    CK_BYTE_PTR signature = nullptr;
    CK_ULONG length = 0;
    EXPECT_EQ(
        sign(session, data.data(), data.size(), certificate, &signature, &length, 0, nullptr, 0, 1),
        CKR_KEY_HANDLE_INVALID);
}

}  // namespace
}  // namespace softtoken::test
