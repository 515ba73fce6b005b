#include "certdesk/token_client.h"

#include <KeyPorter.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "certdesk/codec.h"
#include "certdesk/error.h"
#include "token_library.h"

namespace certdesk {
namespace {

// The library reads its subject from an array with room for this many strings.
constexpr std::size_t kSubjectRoom = 128;

// A buffer of the library, handed back through FreeBuffMemory when the library has it.
struct BufferRelease {
    FreeBuffMemoryFn release;
    void operator()(unsigned char* buffer) const noexcept {
        if (release != nullptr) {
            release(buffer);
        }
    }
};
using LibraryBuffer = std::unique_ptr<unsigned char, BufferRelease>;

std::string CopyBytes(const unsigned char* data, CK_ULONG length) {
    if (data == nullptr) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(data), length);
}

const unsigned char* Bytes(const std::string& bytes) {
    return reinterpret_cast<const unsigned char*>(bytes.data());
}

// The subject as the library takes it: its own copy of every string, NUL-terminated.
class SubjectStrings {
  public:
    explicit SubjectStrings(const std::vector<std::string>& subject)
        : strings_(subject), pointers_(std::max(kSubjectRoom, subject.size()), nullptr) {
        std::transform(strings_.begin(), strings_.end(), pointers_.begin(),
                       [](std::string& text) { return text.data(); });
    }
    SubjectStrings(const SubjectStrings&) = delete;
    SubjectStrings& operator=(const SubjectStrings&) = delete;

    SubjectArray Array() { return pointers_.data(); }
    CK_ULONG Count() const { return strings_.size(); }

  private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

void RaiseOnFailure(int result) {
    if (result != RES_OK) {
        throw Error(TokenErrorText(result));
    }
}

template <typename Generate>
std::string GenerateRequest(const TokenLibraryBinding& library, Generate generate) {
    const auto release = library.Find<FreeBuffMemoryFn>("FreeBuffMemory");
    unsigned char* request = nullptr;
    CK_ULONG requestLength = 0;
    const int result = generate(&request, &requestLength);
    // Whatever the library handed out goes back to it, also with a failure code.
    const LibraryBuffer owned(request, BufferRelease{release});
    RaiseOnFailure(result);
    return CopyBytes(request, requestLength);
}

// Moves the entries into the list in one step, so that a failure leaves the list as it was.
void AppendAll(std::vector<std::string>& list, std::vector<std::string>& entries) {
    list.reserve(list.size() + entries.size());
    std::move(entries.begin(), entries.end(), std::back_inserter(list));
}

}  // namespace

std::string TokenErrorText(int code) {
    switch (code) {
        case RES_ERR_INITIALIZE:
            return Ansi("Ошибка инициализации библиотеки jaCarta");
        case RES_ERR_SLOT_COUNT:
        case RES_ERR_SLOT_LIST:
            return Ansi("Ошибка получения список слотов с поключенными токенами");
        case RES_ERR_NO_TOKEN:
            return Ansi("Ошибка получения слота с доступным токеном");
        case RES_ERR_OPEN_SESSION:
            return Ansi("Ошибка открытия сессии");
        case RES_ERR_LOGIN:
            return Ansi("Ошибка подключения к токену");
        case RES_ERR_GENERATE_KEY_PAIR:
            return Ansi("Ошибка генерации ключевой пары");
        case RES_ERR_CREATE_REQUEST:
            return Ansi("Ошибка генерации запроса на сертификат");
        case RES_ERR_CREATE_OBJECT:
            return Ansi("Ошибка записи сертификата пользователя на токен");
        case RES_ERR_CERT_NOT_FOUND:
        case RES_ERR_SIGN:
            return Ansi(
                "Работать с выбранным сертификатом невозможно, т.к. он не соответствует ключам, "
                "имеющимся на JaCarta");
        default:
            return Ansi("Ошибка с кодом ") + std::to_string(code);
    }
}

std::string TokenGenCertRequestsEKU(const std::string& pin, const std::string& label,
                                    const std::string& id, const std::string& ekuList,
                                    const std::vector<std::string>& subject) {
    const TokenLibraryBinding library;
    const auto generate = library.Require<GenCertRequestsEKUFn>("GenCertRequestsEKU");
    SubjectStrings strings(subject);
    return GenerateRequest(library, [&](unsigned char** request, CK_ULONG* length) {
        return generate(pin.c_str(), label.c_str(), id.c_str(), ekuList.c_str(), strings.Array(),
                        strings.Count(), request, length);
    });
}

std::string TokenGenCertRequests(const std::string& pin, const std::string& label,
                                 const std::string& id, const std::vector<std::string>& subject) {
    const TokenLibraryBinding library;
    const auto generate = library.Require<GenCertRequestsFn>("GenCertRequests");
    SubjectStrings strings(subject);
    return GenerateRequest(library, [&](unsigned char** request, CK_ULONG* length) {
        return generate(pin.c_str(), label.c_str(), id.c_str(), strings.Array(), strings.Count(),
                        request, length);
    });
}

void TokenInstallCertificate(const std::string& pin, const std::string& label,
                             const std::string& id, const std::string& certificate) {
    const TokenLibraryBinding library;
    const auto install = library.Require<InstallCertificateFn>("InstallCertificate");
    RaiseOnFailure(
        install(pin.c_str(), label.c_str(), id.c_str(), Bytes(certificate), certificate.size()));
}

void TokenGetPublicKeys(std::vector<std::string>& keys) {
    const TokenLibraryBinding library;
    const auto list = library.Require<GetTokenPublicKeysFn>("GetTokenPublicKeys");
    // The array stays the library's: it exports nothing to release it with.
    unsigned char* records = nullptr;
    const int count = list(&records);
    if (count <= 0 || records == nullptr) {
        return;
    }
    std::vector<std::string> entries;
    entries.reserve(static_cast<std::size_t>(count));
    for (int index = 0; index < count; ++index) {
        entries.push_back(
            CopyBytes(records + static_cast<std::size_t>(index) * TOKEN_PUBLIC_KEY_SIZE,
                      TOKEN_PUBLIC_KEY_SIZE));
    }
    AppendAll(keys, entries);
}

void TokenGetCertificates(std::vector<std::string>& certificates, TokenPartition partition) {
    const TokenLibraryBinding library;
    const auto list = library.Require<GetTokenCertificatesFn>(
        partition == TokenPartition::Gost ? "GetTokenCertificates" : "GetTokenCertificatesPKI");
    const auto release = library.Find<FreeTokenCertificatesFn>("FreeTokenCertificates");
    CK_ULONG count = 0;
    TokenCertificate* records = list(&count);
    if (count == 0 || records == nullptr) {
        return;
    }
    const auto releaseRecords = [release, count](TokenCertificate* first) {
        if (release != nullptr) {
            release(first, count);
        }
    };
    const std::unique_ptr<TokenCertificate, decltype(releaseRecords)> owned(records,
                                                                            releaseRecords);
    std::vector<std::string> entries;
    entries.reserve(count);
    for (CK_ULONG index = 0; index < count; ++index) {
        entries.push_back(CopyBytes(records[index].data, records[index].length));
    }
    AppendAll(certificates, entries);
}

std::string TokenSign(const std::string& pin, const std::string& data,
                      const std::string& certificate) {
    const TokenLibraryBinding library;
    const auto sign = library.Require<GetSignFn>("GetSign");
    const auto release = library.Find<FreeBuffMemoryFn>("FreeBuffMemory");
    unsigned char* signature = nullptr;
    CK_ULONG signatureLength = 0;
    const int result = sign(pin.c_str(), Bytes(certificate), certificate.size(), Bytes(data),
                            data.size(), &signature, &signatureLength);
    const LibraryBuffer owned(signature, BufferRelease{release});
    if (result == RES_ERR_CERT_NOT_FOUND) {
        throw Error(Ansi("Указанный сертификат не установлен на jaCarta!"));
    }
    RaiseOnFailure(result);
    return CopyBytes(signature, signatureLength);
}

bool TokenHasEKUSupport() noexcept {
    try {
        TokenLibraryBinding library;
        library.LeaveLoaded();
        return library.Find<GenCertRequestsEKUFn>("GenCertRequestsEKU") != nullptr;
    } catch (...) {
        return false;
    }
}

}  // namespace certdesk
