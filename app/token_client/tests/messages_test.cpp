#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "certdesk/codec.h"
#include "certdesk/token_client.h"
#include "token_library.h"

namespace certdesk {
namespace {

struct CodeCase {
    int code;
    const char* message;  // UTF-8
};

class ResultCodeText : public ::testing::TestWithParam<CodeCase> {};

TEST_P(ResultCodeText, IsTheMessageShown) {
    EXPECT_EQ(Utf8FromAnsi(TokenErrorText(GetParam().code)), GetParam().message);
}

constexpr const char* kSlots = "Ошибка получения список слотов с поключенными токенами";
constexpr const char* kNoMatch =
    "Работать с выбранным сертификатом невозможно, т.к. он не соответствует ключам, имеющимся на "
    "JaCarta";

INSTANTIATE_TEST_SUITE_P(
    Codes, ResultCodeText,
    ::testing::Values(CodeCase{-1, "Ошибка инициализации библиотеки jaCarta"}, CodeCase{-2, kSlots},
                      CodeCase{-3, kSlots},
                      CodeCase{-4, "Ошибка получения слота с доступным токеном"},
                      CodeCase{-5, "Ошибка открытия сессии"},
                      CodeCase{-6, "Ошибка подключения к токену"},
                      CodeCase{-7, "Ошибка генерации ключевой пары"},
                      CodeCase{-8, "Ошибка генерации запроса на сертификат"},
                      CodeCase{-10, "Ошибка записи сертификата пользователя на токен"},
                      CodeCase{-20, kNoMatch}, CodeCase{-30, kNoMatch},
                      // Codes without an entry of their own.
                      CodeCase{-9, "Ошибка с кодом -9"}, CodeCase{0, "Ошибка с кодом 0"},
                      CodeCase{1, "Ошибка с кодом 1"}, CodeCase{-11, "Ошибка с кодом -11"},
                      CodeCase{-21, "Ошибка с кодом -21"}, CodeCase{42, "Ошибка с кодом 42"},
                      CodeCase{INT_MIN, "Ошибка с кодом -2147483648"}),
    [](const ::testing::TestParamInfo<CodeCase>& caseInfo) {
        const long long code = caseInfo.param.code;
        return code < 0 ? "minus" + std::to_string(-code) : std::to_string(code);
    });

struct LoadCase {
    const char* name;
    const char* library;
    int code;
    const char* systemMessage;  // as the loader gives it, UTF-8
    const char* message;        // UTF-8
};

class LoadFailureText : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LoadFailureText, NamesTheLibraryAndTheReason) {
    const LoadCase& param = GetParam();
    EXPECT_EQ(Utf8FromAnsi(LoadFailureMessage(param.library, param.code, param.systemMessage)),
              param.message);
}

constexpr const char* kMissing =
    "libKeyPorter.so: cannot open shared object file: No such file or directory";

INSTANTIATE_TEST_SUITE_P(
    Failures, LoadFailureText,
    ::testing::Values(
        LoadCase{"WithCode", "libKeyPorter.so", 2, kMissing,
                 "Ошибка Win32.  Код: 2.\nlibKeyPorter.so: cannot open shared object file: No "
                 "such file or directory"},
        LoadCase{"NoCode", "libKeyPorter.so", 0, kMissing,
                 "Ошибка функции Win32 API\nlibKeyPorter.so: cannot open shared object file: No "
                 "such file or directory"},
        LoadCase{"FoundUnderAPath", "libKeyPorter.so", 0, "/opt/k/libKeyPorter.so: file too short",
                 "Ошибка функции Win32 API\n/opt/k/libKeyPorter.so: file too short"},
        LoadCase{"MissingDependency", "libKeyPorter.so", 0,
                 "libsofttoken.so: cannot open shared object file: No such file or directory",
                 "Ошибка функции Win32 API\nlibKeyPorter.so: libsofttoken.so: cannot open shared "
                 "object file: No such file or directory"},
        LoadCase{"NoText", "libKeyPorter.so", 0, nullptr,
                 "Ошибка функции Win32 API\nlibKeyPorter.so"},
        LoadCase{"EmptyText", "/opt/k/libKeyPorter.so", 0, "",
                 "Ошибка функции Win32 API\n/opt/k/libKeyPorter.so"},
        // A localised loader speaks UTF-8; the program shows Windows-1251.
        LoadCase{"LocalisedText", "/home/пользователь/libKeyPorter.so", 13,
                 "/home/пользователь/libKeyPorter.so: отказано в доступе",
                 "Ошибка Win32.  Код: 13.\n/home/пользователь/libKeyPorter.so: отказано в "
                 "доступе"}),
    [](const ::testing::TestParamInfo<LoadCase>& caseInfo) { return caseInfo.param.name; });

}  // namespace
}  // namespace certdesk
