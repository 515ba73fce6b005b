// A program linked against libsofttoken.so that also loads libasepkcs.so: each library keeps
// answering through its own code, whichever symbol the dynamic linker found first.
#include <gtest/gtest.h>

#include "token_fixture.h"

namespace softtoken::test {
namespace {

std::string Label(const CK_TOKEN_INFO& info) {
    return std::string(reinterpret_cast<const char*>(info.label), 32);
}

TEST(LinkedTest, DirectCallsAndTheLoadedLibraryKeepTheirOwnStores) {
    TempDir dir;
    setenv("SOFTTOKEN_DIR", dir.path().c_str(), 1);
    setenv("SOFTTOKEN_KDF_ITERATIONS", "1000", 1);
    LoadedModule pki(SOFTTOKEN_PKI_MODULE_PATH);
    ASSERT_NE(pki.get(), nullptr);
    CK_FUNCTION_LIST* linked = nullptr;
    ASSERT_EQ(C_GetFunctionList(&linked), CKR_OK);
    ASSERT_NE(linked, pki.get());
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    ASSERT_EQ(pki->C_Initialize(nullptr), CKR_OK);
    std::string gostLabel = "linked gost" + std::string(21, ' ');
    std::string pkiLabel = "loaded pki" + std::string(22, ' ');
    std::string so = kSoPin;
    auto text = [](std::string& s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(s.data()); };
    ASSERT_EQ(C_InitToken(0, text(so), so.size(), text(gostLabel)), CKR_OK);
    ASSERT_EQ(pki->C_InitToken(0, text(so), so.size(), text(pkiLabel)), CKR_OK);
    CK_TOKEN_INFO info;
    ASSERT_EQ(C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(Label(info), gostLabel);
    ASSERT_EQ(linked->C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(Label(info), gostLabel);
    ASSERT_EQ(pki->C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(Label(info), pkiLabel);
    // The plain symbol of the loaded library is its own as well.
    auto pkiGetTokenInfo = pki.Symbol<CK_C_GetTokenInfo>("C_GetTokenInfo");
    ASSERT_NE(pkiGetTokenInfo, nullptr);
    ASSERT_EQ(pkiGetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(Label(info), pkiLabel);
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(pki->C_Finalize(nullptr), CKR_OK);
}

}  // namespace
}  // namespace softtoken::test
